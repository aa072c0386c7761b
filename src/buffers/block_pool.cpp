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

Stats Current() {
  Pool& pool = ThePool();
  std::lock_guard<platform::Lock> lock(pool.mutex);
  Stats stats;
  for (const std::deque<Pool::Kept>& blocks : pool.free) stats.kept_blocks += blocks.size();
  stats.kept_bytes = pool.kept_bytes;
  stats.most_used_bytes = pool.most_used_bytes;
  const SlabStats slabs = CurrentSlabs();
  stats.slab_bytes = slabs.slab_bytes;
  stats.most_cached_bytes = slabs.most_used_bytes;
  return stats;
}

}  // namespace tallymere::block_pool
