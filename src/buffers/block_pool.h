// Large blocks of unpacked file content, kept for reuse.
//
// Every file read unpacks its data buffers into blocks of a few hundred
// kilobytes to several megabytes, of sizes that differ from file to file.
// Freed into the general heap they leave holes that the next file's blocks
// do not quite fit, among the small allocations that live on, and the heap
// grows with the number of files read. Mapped apart from the heap, kept in
// size classes and handed out again, the blocks of one file serve the next
// ones: the memory held stays that of the files in flight, and few pages
// are faulted in afresh. Under wine, whose heap gave such blocks back to the
// system and mapped them anew, mode 8 over 300 files took 4.6-5.1 s instead
// of 6.3 s with count slot lists and report chunks from the pool (commit
// 8fc2fab). A request takes a block the asking thread freed, when one of
// the last few freed in its class is: mode 8 over 300 files, default
// threads, 1.94 -> 1.575 s wall and 3.59 -> 3.07 s processor time (commit
// 320ecce). Middle-sized blocks come from slab_cache.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "buffers/slab_cache.h"

namespace tallymere::block_pool {

// Blocks smaller than this come from the heap, or from the slabs.
inline constexpr size_t kSmallest = kCachedBelow;

// A block of at least `bytes` (>= kSmallest) bytes.
void* Allocate(size_t bytes);
// Gives back a block that Allocate returned.
void Release(void* block) noexcept;

// Blocks kept for reuse and their bytes, and the most bytes ever in use.
// Kept bytes stay within twice the most in use.
struct Stats {
  size_t kept_blocks = 0;
  size_t kept_bytes = 0;
  size_t most_used_bytes = 0;
  // Middle-sized blocks: the slabs' bytes, and the most in use at once.
  size_t slab_bytes = 0;
  size_t most_cached_bytes = 0;
};
Stats Current();

// The address sanitizer checks bounds only in blocks of its own heap, so
// under it every block comes from the heap, of the size asked for.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kEnabled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kEnabled = false;
#else
inline constexpr bool kEnabled = true;
#endif
#else
inline constexpr bool kEnabled = true;
#endif

}  // namespace tallymere::block_pool

namespace tallymere {

// A standard allocator whose large blocks come from the pool.
template <class T>
class PooledAllocator : public std::allocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = PooledAllocator<U>;
  };
  PooledAllocator() = default;
  template <class U>
  PooledAllocator(const PooledAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    if (!block_pool::kEnabled || bytes < block_pool::kSmallestCached) return std::allocator<T>::allocate(n);
    if (bytes < block_pool::kSmallest) return static_cast<T*>(block_pool::AllocateCached(bytes));
    return static_cast<T*>(block_pool::Allocate(bytes));
  }
  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (!block_pool::kEnabled || bytes < block_pool::kSmallestCached) {
      std::allocator<T>::deallocate(p, n);
    } else if (bytes < block_pool::kSmallest) {
      block_pool::ReleaseCached(p, bytes);
    } else {
      block_pool::Release(p);
    }
  }
};

template <class T, class U>
bool operator==(const PooledAllocator<T>&, const PooledAllocator<U>&) noexcept {
  return true;
}

}  // namespace tallymere
