#include "buffers/block_pool.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/sync.h"

namespace tallymere::block_pool {

namespace {

// Classes step by a quarter of a power of two, so a new block is at most a
// quarter larger than asked for, up to 1 GiB. Larger blocks are rare, and
// large enough, to be given back to the system at once.
constexpr unsigned kStepsPerDoubling = 4;
constexpr unsigned kLargestPower = 29;
constexpr unsigned kClasses = kStepsPerDoubling * (kLargestPower + 1);
// A kept block up to this many classes larger (up to twice the size) serves
// a request rather than a new one: its pages are in memory already.
constexpr unsigned kClassesUp = kStepsPerDoubling;
constexpr size_t kKeptPerUsed = 2;

struct SizeClass {
  unsigned id;
  size_t bytes;
};

// For bytes >= kSmallest: 2^power < bytes <= 2^(power + 1).
SizeClass ClassOf(size_t bytes) {
  const unsigned power = static_cast<unsigned>(std::bit_width(bytes - 1)) - 1;
  const size_t step = (size_t{1} << power) / kStepsPerDoubling;
  const size_t steps = (bytes - (size_t{1} << power) + step - 1) / step;  // 1 to 4
  return {kStepsPerDoubling * power + static_cast<unsigned>(steps) - 1, (size_t{1} << power) + steps * step};
}

// The blocks are mapped from the system, apart from the heap, so one that
// is given back leaves no hole behind. Freed blocks are kept for reuse, the
// ones kept longest given back first, within twice the most bytes ever in
// use at once: what is held for reuse follows the working set of the files
// in flight, however many files are read. (Within once that, one file's
// blocks could not all wait for the next file of other sizes, and blocks
// were mapped anew for a quarter of the files.)
struct Pool {
  struct Kept {
    void* block;
    uint64_t freed;  // order of release
  };
  platform::Lock mutex;
  std::array<std::deque<Kept>, kClasses> free;
  std::unordered_map<void*, size_t> sizes;  // of every block, in use or kept
  uint64_t releases = 0;
  size_t kept_bytes = 0;
  size_t used_bytes = 0;
  size_t most_used_bytes = 0;

  // The most recently freed block of the smallest class that serves.
  void* TakeKept(unsigned id) {
    for (unsigned up = id; up <= std::min(id + kClassesUp, kClasses - 1); ++up) {
      if (free[up].empty()) continue;
      void* block = free[up].back().block;
      free[up].pop_back();
      kept_bytes -= sizes[block];
      return block;
    }
    return nullptr;
  }
  void GiveBackOldest() {
    std::deque<Kept>* oldest = nullptr;
    for (std::deque<Kept>& blocks : free) {
      if (!blocks.empty() && (oldest == nullptr || blocks.front().freed < oldest->front().freed)) oldest = &blocks;
    }
    void* block = oldest->front().block;
    oldest->pop_front();
    const auto found = sizes.find(block);
    kept_bytes -= found->second;
    platform::UnmapBlock(block, found->second);
    sizes.erase(found);
  }
  void NoteUse(void* block) {
    used_bytes += sizes[block];
    most_used_bytes = std::max(most_used_bytes, used_bytes);
  }
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: blocks may be released during exit
  return *pool;
}

}  // namespace

void* Allocate(size_t bytes) {
  const SizeClass size_class = ClassOf(bytes);
  Pool& pool = ThePool();
  std::lock_guard<platform::Lock> lock(pool.mutex);
  if (size_class.id < kClasses) {
    if (void* block = pool.TakeKept(size_class.id)) {
      pool.NoteUse(block);
      return block;
    }
  }
  const size_t mapped = size_class.id < kClasses ? size_class.bytes : bytes;
  pool.sizes.reserve(pool.sizes.size() + 1);  // so that recording it cannot fail
  void* block = platform::MapBlock(mapped);
  if (block == nullptr) throw std::bad_alloc();
  pool.sizes.emplace(block, mapped);
  pool.NoteUse(block);
  return block;
}

// A block goes back to the class of its own size, which may be larger than
// the one asked for.
void Release(void* block) noexcept {
  Pool& pool = ThePool();
  std::lock_guard<platform::Lock> lock(pool.mutex);
  const auto found = pool.sizes.find(block);
  if (found == pool.sizes.end()) return;  // not a block of the pool: nothing is known of it
  const size_t mapped = found->second;
  pool.used_bytes -= mapped;
  const SizeClass size_class = ClassOf(mapped);
  if (size_class.id < kClasses) {
    try {
      pool.free[size_class.id].push_back({block, ++pool.releases});
      pool.kept_bytes += mapped;
      while (pool.kept_bytes > kKeptPerUsed * pool.most_used_bytes) pool.GiveBackOldest();
      return;
    } catch (const std::bad_alloc&) {
      // not kept: given back below
    }
  }
  pool.sizes.erase(found);
  platform::UnmapBlock(block, mapped);
}

namespace {

// Middle-sized blocks, 256 bytes to 64 KiB, carved from slabs of a few
// megabytes. Most of them hold the count map, which grows through the whole
// run in tens of thousands of small lists: from the heap, its pages were
// faulted in one by one, while slabs are backed by large pages where the
// system has them. The sizes are powers of two and, from 768 bytes, three
// quarters of them: a list that grows by doubling holds on average a
// quarter of its bytes unused, and one that steps through both kinds far
// less. A freed block is never given back to the system; it waits in the
// list of its size for the next request, or a power of two is split for a
// smaller one. What is held is then what was once in use at the same time,
// which the count map's growth decides.
constexpr unsigned kCachedLowestPower = 8;
constexpr unsigned kCachedHighestPower = 16;
constexpr size_t kSlabBytes = size_t{4} << 20;

// A size: 2^power bytes, or three quarters of that.
struct CachedClass {
  unsigned power;
  bool three_quarters;

  size_t bytes() const { return three_quarters ? (size_t{3} << power) / 4 : size_t{1} << power; }
  unsigned index() const { return 2 * power + (three_quarters ? 0 : 1); }
};

CachedClass CachedClassOf(size_t bytes) {
  const unsigned power = std::max(kCachedLowestPower, static_cast<unsigned>(std::bit_width(bytes - 1)));
  return {power, power >= kCachedLowestPower + 2 && bytes <= (size_t{3} << power) / 4};
}

// A free block holds the link to the next one of its list.
struct FreeBlock {
  FreeBlock* next;
};

struct Cache {
  platform::Lock mutex;
  std::array<FreeBlock*, 2 * (kCachedHighestPower + 1)> free{};  // by class index
  char* slab_rest = nullptr;  // the part of the newest slab not yet carved
  size_t slab_rest_bytes = 0;
  size_t slab_bytes = 0;
  size_t used_bytes = 0;
  size_t most_used_bytes = 0;

  void Push(void* block, CachedClass size_class) {
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = free[size_class.index()];
    free[size_class.index()] = free_block;
  }
  FreeBlock* Pop(CachedClass size_class) {
    FreeBlock* block = free[size_class.index()];
    if (block != nullptr) free[size_class.index()] = block->next;
    return block;
  }
  // A free block of the class: one of its own, else the head of a power of
  // two split from a larger free one (the rest goes to the lists).
  void* TakeFree(CachedClass size_class) {
    if (void* block = Pop(size_class)) return block;
    for (unsigned up = size_class.power + (size_class.three_quarters ? 0 : 1); up <= kCachedHighestPower; ++up) {
      auto* block = reinterpret_cast<char*>(Pop({up, false}));
      if (block == nullptr) continue;
      for (; up > size_class.power; --up) Push(block + (size_t{1} << (up - 1)), {up - 1, false});
      if (size_class.three_quarters) Push(block + size_class.bytes(), {size_class.power - 2, false});
      return block;
    }
    return nullptr;
  }
  // A new block from the slab, after a new slab when the rest is too short
  // (whose blocks go to the free lists first).
  void* Carve(size_t bytes) {
    if (slab_rest_bytes < bytes) {
      char* slab = static_cast<char*>(platform::MapBlock(kSlabBytes));
      if (slab == nullptr) throw std::bad_alloc();
      KeepRestOfSlab();
      slab_rest = slab;
      slab_rest_bytes = kSlabBytes;
      slab_bytes += kSlabBytes;
    }
    void* block = slab_rest;
    slab_rest += bytes;
    slab_rest_bytes -= bytes;
    return block;
  }
  // Every size carved is a multiple of 256 bytes, so the rest splits into
  // powers of two of at least that.
  void KeepRestOfSlab() {
    while (slab_rest_bytes >= (size_t{1} << kCachedLowestPower)) {
      const auto power = std::min(kCachedHighestPower, static_cast<unsigned>(std::bit_width(slab_rest_bytes)) - 1);
      Push(slab_rest, {power, false});
      slab_rest += size_t{1} << power;
      slab_rest_bytes -= size_t{1} << power;
    }
  }
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // never destroyed: blocks may be released during exit
  return *cache;
}

}  // namespace

void* AllocateCached(size_t bytes) {
  const CachedClass size_class = CachedClassOf(bytes);
  Cache& cache = TheCache();
  std::lock_guard<platform::Lock> lock(cache.mutex);
  void* block = cache.TakeFree(size_class);
  if (block == nullptr) block = cache.Carve(size_class.bytes());
  cache.used_bytes += size_class.bytes();
  cache.most_used_bytes = std::max(cache.most_used_bytes, cache.used_bytes);
  return block;
}

void ReleaseCached(void* block, size_t bytes) noexcept {
  const CachedClass size_class = CachedClassOf(bytes);
  Cache& cache = TheCache();
  std::lock_guard<platform::Lock> lock(cache.mutex);
  cache.Push(block, size_class);
  cache.used_bytes -= size_class.bytes();
}

Stats Current() {
  Pool& pool = ThePool();
  std::lock_guard<platform::Lock> lock(pool.mutex);
  Stats stats;
  for (const std::deque<Pool::Kept>& blocks : pool.free) stats.kept_blocks += blocks.size();
  stats.kept_bytes = pool.kept_bytes;
  stats.most_used_bytes = pool.most_used_bytes;
  Cache& cache = TheCache();
  std::lock_guard<platform::Lock> cache_lock(cache.mutex);
  stats.slab_bytes = cache.slab_bytes;
  stats.most_cached_bytes = cache.most_used_bytes;
  return stats;
}

}  // namespace tallymere::block_pool
