// The count of every key path.
//
// A run may count tens of millions of events into millions of distinct key
// paths. The key paths are split by their first level (the day or hour in the
// period groupings, else the log) and by the log of the events: repository
// files hold their events in time order and the walk visits one log's folder
// after another, so the events of a stretch of time land in the few
// partitions of their periods, and the report sorts one first level at a
// time.
//
// A partition is a list of (key path, count) slots that only grows at its
// end: counting a key path the caller has not seen lately is a store to the
// next slot of its part's table, and adding a part is a copy to the ends of
// partitions. A hash table put each new key path at a random place of ever
// new memory, a cache miss for nearly every event of the groupings whose
// events are mostly new key paths. The caller's memo catches most repeats;
// the slots of a key path it misses are summed when a large partition fills
// up, and for the report.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "buffers/block_pool.h"
#include "counters/count_keys.h"

namespace tallymere {

// The levels of a key path after the first one.
using KeyRest = std::array<uint32_t, kMaxKeyLevels - 1>;

inline bool SameRest(const KeyRest& a, const KeyRest& b) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) == 0;
}

// One stored key with its count: 16 bytes, so four fit a cache line. A
// count of 0 marks an empty slot, since a key is only stored together with
// its first count. A count stops at kFull; the key path then goes on in a
// new slot, and the report sums the slots of a key path in 64 bits.
struct CountSlot;
// Slot lists grow to megabytes and are freed as they are merged and read:
// their large blocks come from the block pool, so that they are used again
// rather than given back to the system and faulted in anew.
using SlotList = std::vector<CountSlot, PooledAllocator<CountSlot>>;

struct CountSlot {
  static constexpr uint32_t kFull = UINT32_MAX;

  KeyRest rest;
  uint32_t count;

  bool empty() const { return count == 0; }
  // Adds 1 unless the count is full.
  bool TryIncrement() {
    if (count == kFull) return false;
    ++count;
    return true;
  }
};

// Finds partitions by first level and group.
class PartitionFinder {
 public:
  // The index recorded for (lead, group); else records `fresh` and returns it.
  uint32_t FindOrAdd(uint32_t lead, uint32_t group, uint32_t fresh);
  // Forgets every partition, keeping the memory.
  void Clear();

 private:
  // Open addressing: a map of nodes took one allocation for every
  // partition of every part.
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Entry {
    uint64_t key = 0;
    uint32_t index = kEmpty;
  };
  uint32_t FindOrAddInIndex(uint64_t key, uint32_t fresh);
  void Grow();
  std::vector<Entry> entries_;  // a power of two, at most half full
  size_t used_ = 0;
  // The partitions found lately: most key paths go to one of the few
  // periods of the part being counted.
  struct Recent {
    uint32_t lead = 0;
    uint32_t group = 0;
    uint32_t index = kEmpty;
  };
  static constexpr size_t kRecentPartitions = 64;
  std::array<Recent, kRecentPartitions> recent_{};
};

// The table a thread counts one part into, then the next. The slots are one
// list in the order counted, and runs say which partition each stretch of
// it belongs to: a part's events come in time order, so its key paths fall
// into few partitions, in long runs. One list rather than one per
// partition, so that the table counts part after part without growing
// again, and each part's counts are copied out (HeldCounts) in one pass.
class PartCountTable {
 public:
  struct Partition {
    uint32_t lead = 0;
    uint32_t group = 0;
    size_t slots = 0;  // in all of its runs
  };
  struct Run {
    uint32_t partition = 0;  // index into partitions()
    uint32_t end = 0;        // slots [end of the run before, end)
  };

  // Adds `count` (1 to kFull) to the count of `key` in a new slot, and
  // returns the slot's index: incrementing that slot later counts the key
  // path again. Indexes stay valid until Clear, or until an Add that sets
  // `moved`; addresses until the next Add.
  uint32_t Add(const KeyPath& key, uint32_t group, uint32_t count, bool& moved);
  CountSlot* slots() { return slots_.data(); }
  const CountSlot* slots() const { return slots_.data(); }
  // Forgets every count, keeping the memory for the next part.
  void Clear();

  size_t size() const { return slots_.size(); }
  // Bytes held, counted or not.
  size_t capacity_bytes() const;
  const std::vector<Partition>& partitions() const { return partitions_; }
  const std::vector<Run>& runs() const { return runs_; }

 private:
  // Makes room for one more slot. A large part whose key paths repeat
  // beyond what the caller's memo catches would keep a slot per event, so a
  // full table of many slots sums the slots of each key path first (and
  // returns true: every index is void), as the count map does.
  bool MakeRoom();
  void SumKeyPaths();

  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  std::vector<Run> runs_;
  SlotList slots_;
  SlotList gathered_;      // working space of SumKeyPaths
  SlotList sort_scratch_;  // of SortSlots
  bool keep_summing_ = true;
};

// The counts of one part as they wait for their turn to be added: those
// of a whole file wait until its parse is known to have succeeded. A copy
// of a part table's counts in memory of just their size, the slots in
// pieces of middle size: once the part is added, the count map's lists
// grow into those pieces, so a large file's waiting counts and the count
// map they become do not take memory twice.
class HeldCounts {
 public:
  HeldCounts() = default;
  explicit HeldCounts(const PartCountTable& table);

  size_t size() const { return size_; }
  const std::vector<PartCountTable::Partition>& partitions() const { return partitions_; }
  const std::vector<PartCountTable::Run>& runs() const { return runs_; }
  // Calls visit(first, count) for the slots [begin, end), piece by piece.
  template <class Visit>
  void ForEachStretch(uint32_t begin, uint32_t end, Visit&& visit) const {
    while (begin < end) {
      const SlotList& piece = pieces_[begin / kPieceSlots];
      const uint32_t offset = begin % kPieceSlots;
      const uint32_t count = std::min<uint32_t>(end - begin, kPieceSlots - offset);
      visit(piece.data() + offset, count);
      begin += count;
    }
  }

 private:
  static constexpr uint32_t kPieceSlots = 2048;  // 32 KiB
  std::vector<PartCountTable::Partition> partitions_;
  std::vector<PartCountTable::Run> runs_;
  std::vector<SlotList> pieces_;
  size_t size_ = 0;
};

class CountTable {
 public:
  // The key paths sharing one first level.
  struct Partition {
    uint32_t lead = 0;   // the first level of its key paths
    uint32_t group = 0;  // the log of its events
    SlotList slots;  // a key path may have several
  };

  // Adds every count of one part. Slots are copied as they are; a key
  // path's slots are summed when its partition fills up, and for the report.
  void Absorb(const HeldCounts& part);

  // Slots stored (at least the number of distinct key paths).
  size_t size() const { return size_; }
  std::vector<Partition>& partitions() { return partitions_; }
  const std::vector<Partition>& partitions() const { return partitions_; }

 private:
  uint32_t IndexOf(uint32_t lead, uint32_t group);
  // Makes room for `more` slots at the partition's end, summing the slots of
  // a large partition before it grows.
  void MakeRoom(Partition& partition, size_t more);

  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  size_t size_ = 0;
  SlotList scratch_;
  std::vector<uint32_t> absorbed_into_;  // per partition of the part being absorbed
};

// Sorts slots by rest[0], then rest[1], then rest[2]. `scratch` is working
// space, kept by the caller between calls.
void SortSlots(std::span<CountSlot> slots, SlotList& scratch);
// Sums the counts of neighbouring slots of one key path into the first, as
// far as 32 bits hold the sum, and returns how many slots that leaves at the
// front.
size_t MergeSorted(std::span<CountSlot> slots);
void MergeSorted(SlotList& slots);

}  // namespace tallymere
