#include "buffers/block_pool.h"

#include <algorithm>
#include <array>
#include <atomic>
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
// Blocks freed last in a class that are looked through for one the asking
// thread freed: about as many as threads free blocks at once.
constexpr size_t kOwnLookout = 4;

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
    uint64_t freed;   // order of release
    unsigned thread;  // ThisThread() of the one that freed it
  };
  platform::Lock mutex;
  std::array<std::deque<Kept>, kClasses> free;
  std::unordered_map<void*, size_t> sizes;  // of every block, in use or kept
  uint64_t releases = 0;
  size_t kept_bytes = 0;
  size_t used_bytes = 0;
  size_t most_used_bytes = 0;

  // The most recently freed block of the smallest class that serves, or,
  // among the few freed last in that class, one this thread freed: its
  // lines are still in this processor's caches. A block another processor
  // wrote last has every line fetched from that processor as it is
  // written again; unpacking into one cost a tenth more time (mode 0 over
  // 300 files, two worker threads).
  void* TakeKept(unsigned id) {
    const unsigned thread = ThisThread();
    for (unsigned up = id; up <= std::min(id + kClassesUp, kClasses - 1); ++up) {
      std::deque<Kept>& blocks = free[up];
      if (blocks.empty()) continue;
      auto pick = blocks.end() - 1;
      const auto lookout = blocks.end() - static_cast<std::ptrdiff_t>(std::min(blocks.size(), kOwnLookout));
      for (auto kept = blocks.end(); kept != lookout;) {
        if ((--kept)->thread == thread) {
          pick = kept;
          break;
        }
      }
      void* block = pick->block;
      blocks.erase(pick);
      kept_bytes -= sizes[block];
      return block;
    }
    return nullptr;
  }
  // A small number for each thread that frees blocks, from 1.
  static unsigned ThisThread() {
    static std::atomic<unsigned> next{1};
    thread_local const unsigned number = next++;
    return number;
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
      pool.free[size_class.id].push_back({block, ++pool.releases, Pool::ThisThread()});
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
// less.
//
// Blocks are buddies: a block of 2^k bytes lies at a multiple of 2^k from
// its slab's start, and its buddy is the other half of the 2^(k+1) block
// it was split from. A freed block merges with its buddy while that is
// free, so the blocks that lists outgrow become large blocks again for the
// lists that grow on. Without merging, a run whose lists all grow side by
// side held twice the slab bytes it ever used. A three-quarter block is a
// half and a quarter of a power of two, the last quarter left free. Slabs
// are never given back to the system: what is held is what was once in use
// at the same time, which the count map's growth decides.
constexpr unsigned kCachedLowestPower = 8;
constexpr unsigned kCachedHighestPower = 16;
constexpr unsigned kOrders = kCachedHighestPower - kCachedLowestPower + 1;
constexpr size_t kUnit = size_t{1} << kCachedLowestPower;
constexpr size_t kLargestCached = size_t{1} << kCachedHighestPower;
constexpr size_t kSlabBytes = size_t{4} << 20;
constexpr size_t kSlabUnits = kSlabBytes / kUnit;

// A size: 2^power bytes, or three quarters of that.
struct CachedClass {
  unsigned power;
  bool three_quarters;

  size_t bytes() const { return three_quarters ? (size_t{3} << power) / 4 : size_t{1} << power; }
};

CachedClass CachedClassOf(size_t bytes) {
  const unsigned power = std::max(kCachedLowestPower, static_cast<unsigned>(std::bit_width(bytes - 1)));
  return {power, power >= kCachedLowestPower + 2 && bytes <= (size_t{3} << power) / 4};
}

// A free block holds its links in its first bytes.
struct FreeBlock {
  FreeBlock* prev;
  FreeBlock* next;
};

struct Slab {
  char* base;
  // For each 256-byte unit: the order plus one of the free block that
  // starts there, else 0. A buddy is free when its first unit says so.
  std::unique_ptr<uint8_t[]> free_order;
};

struct Cache {
  platform::Lock mutex;
  std::array<FreeBlock*, kOrders> free{};  // by order: power - kCachedLowestPower
  std::vector<Slab> slabs;                 // by base address
  size_t slab_bytes = 0;
  size_t used_bytes = 0;
  size_t most_used_bytes = 0;

  Slab& SlabOf(const char* block) {
    const auto after = std::upper_bound(slabs.begin(), slabs.end(), block,
                                        [](const char* at, const Slab& slab) { return at < slab.base; });
    return *(after - 1);
  }
  void Push(Slab& slab, char* block, unsigned order) {
    auto* free_block = reinterpret_cast<FreeBlock*>(block);
    free_block->prev = nullptr;
    free_block->next = free[order];
    if (free[order] != nullptr) free[order]->prev = free_block;
    free[order] = free_block;
    slab.free_order[static_cast<size_t>(block - slab.base) / kUnit] = static_cast<uint8_t>(order + 1);
  }
  void Unlink(Slab& slab, char* block, unsigned order) {
    auto* free_block = reinterpret_cast<FreeBlock*>(block);
    if (free_block->prev != nullptr) free_block->prev->next = free_block->next;
    else free[order] = free_block->next;
    if (free_block->next != nullptr) free_block->next->prev = free_block->prev;
    slab.free_order[static_cast<size_t>(block - slab.base) / kUnit] = 0;
  }
  // A free block of the order, split from the smallest larger one when
  // there is none of its own; the upper halves go to the free lists.
  char* Take(unsigned order) {
    unsigned found = order;
    while (found < kOrders && free[found] == nullptr) ++found;
    if (found == kOrders) {
      AddSlab();
      found = kOrders - 1;
    }
    auto* block = reinterpret_cast<char*>(free[found]);
    Slab& slab = SlabOf(block);
    Unlink(slab, block, found);
    while (found > order) {
      --found;
      Push(slab, block + (kUnit << found), found);
    }
    return block;
  }
  // Frees the block and merges it with its buddy while that is free too.
  void Give(char* block, unsigned order) {
    Slab& slab = SlabOf(block);
    size_t unit = static_cast<size_t>(block - slab.base) / kUnit;
    while (order + 1 < kOrders) {
      const size_t buddy = unit ^ (size_t{1} << order);
      if (slab.free_order[buddy] != order + 1) break;
      Unlink(slab, slab.base + buddy * kUnit, order);
      unit = std::min(unit, buddy);
      ++order;
    }
    Push(slab, slab.base + unit * kUnit, order);
  }
  void AddSlab() {
    auto free_order = std::make_unique<uint8_t[]>(kSlabUnits);
    slabs.reserve(slabs.size() + 1);  // so that recording the slab cannot fail
    auto* base = static_cast<char*>(platform::MapBlock(kSlabBytes));
    if (base == nullptr) throw std::bad_alloc();
    const auto at = std::upper_bound(slabs.begin(), slabs.end(), base,
                                     [](const char* block, const Slab& slab) { return block < slab.base; });
    Slab& slab = *slabs.insert(at, Slab{base, std::move(free_order)});
    for (size_t offset = kSlabBytes; offset > 0; offset -= kLargestCached) {
      Push(slab, base + offset - kLargestCached, kOrders - 1);
    }
    slab_bytes += kSlabBytes;
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
  char* block = cache.Take(size_class.power - kCachedLowestPower);
  if (size_class.three_quarters) {
    // The last quarter stays free.
    const unsigned quarter = size_class.power - 2 - kCachedLowestPower;
    cache.Give(block + (size_t{3} << (size_class.power - 2)), quarter);
  }
  cache.used_bytes += size_class.bytes();
  cache.most_used_bytes = std::max(cache.most_used_bytes, cache.used_bytes);
  return block;
}

void ReleaseCached(void* block, size_t bytes) noexcept {
  const CachedClass size_class = CachedClassOf(bytes);
  Cache& cache = TheCache();
  std::lock_guard<platform::Lock> lock(cache.mutex);
  auto* start = static_cast<char*>(block);
  const unsigned order = size_class.power - kCachedLowestPower;
  if (size_class.three_quarters) {
    cache.Give(start, order - 1);
    cache.Give(start + (size_t{1} << (size_class.power - 1)), order - 2);
  } else {
    cache.Give(start, order);
  }
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
