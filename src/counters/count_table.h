// The count map: the count of every key path of a grouping.
//
// A run may count tens of millions of events into millions of distinct key
// paths. The key paths are split by their first level (the day or hour in
// the period groupings, else the log) and by a group: the log of the events,
// or their event type in the groupings that have one but no log. Repository
// files hold their events in time order and the walk visits one log's folder
// after another, so the events of a stretch of time land in the few
// partitions of their periods, and the report sorts one first level at a
// time. A partition is a list of slots that only grows at its end: adding a
// part is a copy to the ends of partitions, where one hash table put each
// new key path at a random place of ever new memory. With tables per first
// level and log, mode 28 on the 20-million-event benchmark took 6.2 s
// instead of 13.8 s and peaked at 0.60 GB instead of 1.17 GB (commit
// 5f6ceb8). The slots of a key path are summed when a large partition fills
// up, and for the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "counters/count_slot.h"
#include "counters/held_counts.h"
#include "counters/partition_finder.h"
#include "counters/rest_layout.h"
#include "counters/slot_sort.h"

namespace tallymere {

// The key paths sharing one first level and group.
template <size_t W>
struct CountPartition {
  uint32_t lead = 0;  // the first level of its key paths
  PartitionGroup group = 0;
  SlotListOf<W> slots;  // a key path may have several
};

template <size_t W>
class BasicCountTable {
 public:
  using Partition = CountPartition<W>;
  static constexpr size_t kWidth = W;

  // Adds every count of one part. Slots are copied as they are; a key
  // path's slots are summed when its partition fills up, and for the report.
  void Absorb(const BasicHeldCounts<W>& part);

  size_t size() const { return size_; }
  std::vector<Partition>& partitions() { return partitions_; }
  const std::vector<Partition>& partitions() const { return partitions_; }

 private:
  uint32_t IndexOf(uint32_t lead, PartitionGroup group);
  // Makes room for `more` slots at the partition's end, summing the slots of
  // a large partition before it grows.
  void MakeRoom(Partition& partition, size_t more);

  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  size_t size_ = 0;
  SlotListOf<W> scratch_;
  std::vector<uint32_t> absorbed_into_;  // per partition of the part being absorbed
};

// The count map of a grouping (or one thread's share of it): the stored
// levels are the layout's.
class CountTable {
 public:
  explicit CountTable(const RestLayout& layout = RestLayout());

  // Adds every count of one part, held in this table's layout.
  void Absorb(const HeldCounts& part);
  // Slots stored (at least the number of distinct key paths).
  size_t size() const;
  const RestLayout& layout() const { return layout_; }
  // Calls visit(partitions) with the table's vector of CountPartition<W>.
  template <class Visit>
  void VisitPartitions(Visit&& visit) {
    std::visit([&visit](auto& table) { visit(table.partitions()); }, table_);
  }
  // Calls visit(lead, group's value, rest, count) for every slot.
  template <class Visit>
  void ForEachSlot(Visit&& visit) const {
    std::visit(
        [&](const auto& table) {
          for (const auto& partition : table.partitions()) {
            for (const auto& slot : partition.slots) {
              visit(partition.lead, static_cast<uint32_t>(partition.group), layout_.Widen(slot.rest, partition.group),
                    slot.count);
            }
          }
        },
        table_);
  }

 private:
  RestLayout layout_;
  OfEveryWidth<BasicCountTable> table_;
};

}  // namespace tallymere
