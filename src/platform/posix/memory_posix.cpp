#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include <sys/mman.h>

#include "platform/platform.h"

namespace tallymere::platform {

void KeepFreedMemory() {
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // glibc maps large blocks on their own and unmaps them when freed, and
  // trims its heaps soon after: both undo themselves file after file. Blocks
  // up to 32 MiB come from the heaps instead, and up to 256 MiB freed at the
  // top of a heap stays there for the next file.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  // Each worker thread keeps a heap of its own (the system's default): the
  // many small allocations of counting parts would contend for one heap,
  // and the large blocks of unpacked content come from the block pool,
  // which all threads share.
}

bool HeapSlowForMiddleSizedBlocks() { return false; }

void* MapBlock(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void UnmapBlock(void* block, size_t bytes) { munmap(block, bytes); }

}  // namespace tallymere::platform
