// The table a thread counts one part into, then the next.
//
// A part's key paths go to the end of one slot list in the order counted;
// runs say which partition each stretch belongs to. Events come in time
// order, so a part's key paths fall into few partitions, in long runs. One
// list rather than one per partition: each partition grew from 16 slots by
// doubling, a chain of allocations per partition per part that made 47 %
// of the hour/computer/log/event ID grouping's allocations (commit 8b27b8c),
// and the one list is used again part after part without growing. An event
// that goes on in the partition of the run before skips the partition
// finder: one-thread mode 28 over 300 files, the table's samples 439-501 ->
// 321-376 (perf at 2 kHz, commit 2afb3e9).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "counters/count_keys.h"
#include "counters/count_slot.h"
#include "counters/partition_finder.h"
#include "counters/rest_layout.h"

namespace tallymere {

// The table a thread counts one part into, then the next. The slots are one
// list in the order counted, and runs say which partition each stretch of
// it belongs to: a part's events come in time order, so its key paths fall
// into few partitions, in long runs. One list rather than one per
// partition, so that the table counts part after part without growing
// again, and each part's counts are copied out (HeldCounts) in one pass.
class PartCountTable {
 public:
  // Partitions as the count map that takes its counts has them.
  explicit PartCountTable(const RestLayout& layout = RestLayout()) : layout_(layout) {}

  struct Partition {
    uint32_t lead = 0;
    PartitionGroup group = 0;
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
  // `group` is the value of the grouping's group level (or the log).
  uint32_t Add(const KeyPath& key, uint32_t group, uint32_t count, bool& moved);
  CountSlot* slots() { return slots_.data(); }
  const CountSlot* slots() const { return slots_.data(); }
  // Forgets every count, keeping the memory for the next part.
  void Clear();
  // Sums the slots of each key path of the part counted, when that has paid
  // lately; every index is void afterwards. A part keeps a slot for every
  // event the caller's memo misses, and where a part's events repeat their
  // key paths out of order (by computer and category, say), summing them
  // here leaves two thirds to a quarter of the slots to hold, add and keep.
  // Where key paths hardly repeat, the next kPartsBetweenTries parts are
  // held as counted before the sort is tried again.
  void SumRepeats();
  static constexpr uint32_t kPartsBetweenTries = 32;

  size_t size() const { return slots_.size(); }
  // Bytes held, counted or not.
  size_t capacity_bytes() const;
  const std::vector<Partition>& partitions() const { return partitions_; }
  const std::vector<Run>& runs() const { return runs_; }
  const RestLayout& layout() const { return layout_; }

 private:
  // Makes room for one more slot. A large part whose key paths repeat
  // beyond what the caller's memo catches would keep a slot per event, so a
  // full table of many slots sums the slots of each key path first (and
  // returns true: every index is void), as the count map does.
  bool MakeRoom();
  // Starts a run of the partition of (lead, group), found or added.
  void StartRun(uint32_t lead, PartitionGroup group);
  void SumKeyPaths();

  RestLayout layout_;
  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  std::vector<Run> runs_;
  SlotList slots_;
  SlotList gathered_;      // working space of SumKeyPaths
  SlotList sort_scratch_;  // of SortSlots
  bool keep_summing_ = true;
  uint32_t parts_until_try_ = 0;  // of SumRepeats; kept by Clear
};

}  // namespace tallymere
