#include "buffers/slab_cache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/sync.h"

namespace tallymere::block_pool {

namespace {

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
static_assert(kLargestCached == kCachedBelow);
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

SlabStats CurrentSlabs() {
  Cache& cache = TheCache();
  std::lock_guard<platform::Lock> lock(cache.mutex);
  return {cache.slab_bytes, cache.most_used_bytes};
}

}  // namespace tallymere::block_pool
