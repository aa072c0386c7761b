#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

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

namespace {

constexpr size_t kLargePage = size_t{2} << 20;

void* Map(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

}  // namespace

// A block of a large page or more starts on a large page's boundary and is
// asked to be backed by large pages: filling it then costs a fault per
// 2 MiB rather than per 4 KiB, which inside a virtual machine is most of
// the cost of new memory. (Where large pages are off, the advice is void.)
void* MapBlock(size_t bytes) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (bytes > SIZE_MAX - page) return nullptr;
  bytes = (bytes + page - 1) / page * page;  // the tail is unmapped at a page boundary
  if (bytes < kLargePage || bytes > SIZE_MAX - kLargePage) return Map(bytes);
  auto* mapped = static_cast<char*>(Map(bytes + kLargePage));
  if (mapped == nullptr) return nullptr;
  const size_t skip = (kLargePage - reinterpret_cast<uintptr_t>(mapped) % kLargePage) % kLargePage;
  if (skip != 0) munmap(mapped, skip);
  munmap(mapped + skip + bytes, kLargePage - skip);
  char* block = mapped + skip;
#ifdef MADV_HUGEPAGE
  madvise(block, bytes, MADV_HUGEPAGE);  // advice: failing leaves small pages
#endif
  return block;
}

void UnmapBlock(void* block, size_t bytes) { munmap(block, bytes); }

}  // namespace tallymere::platform
