// The count of every key path, in open-addressing hash tables.
//
// A run may count tens of millions of events into millions of distinct key
// paths. The key paths are split by their first level (the day or hour in the
// period groupings, else the log) and by the log of the events: repository
// files hold their events in time order and the walk visits one log's folder
// after another, so the events of a stretch of time all land in the few small
// tables of their periods, which stay in the processor's caches, and the
// report sorts one first level at a time. Each table keeps keys and counts
// inline in one array (no node per key) and probes linearly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "counters/count_keys.h"

namespace tallymere {

// The levels of a key path after the first one.
using KeyRest = std::array<uint32_t, kMaxKeyLevels - 1>;

// One stored key with its count. The count is kept as two 32-bit halves so a
// slot is 20 bytes rather than 24; a count of 0 marks an empty slot, since a
// key is only stored together with its first count.
struct CountSlot {
  KeyRest rest;
  uint32_t count_low;
  uint32_t count_high;

  bool empty() const { return (count_low | count_high) == 0; }
  uint64_t count() const { return (uint64_t{count_high} << 32) | count_low; }
  void Increment() {
    if (++count_low == 0) ++count_high;
  }
};

class CountTable {
 public:
  // The key paths sharing one first level.
  struct Partition {
    uint32_t lead = 0;   // the first level of its key paths
    uint32_t group = 0;  // the log of its events
    std::vector<CountSlot> slots;  // size a power of two
    size_t size = 0;
  };

  // Adds 1 to the count of `key` and returns its slot. The slot stays valid
  // until a table grows, which sets `moved`.
  CountSlot* Increment(const KeyPath& key, uint32_t group, bool& moved);

  size_t size() const { return size_; }
  std::vector<Partition>& partitions() { return partitions_; }
  const std::vector<Partition>& partitions() const { return partitions_; }

 private:
  Partition& PartitionOf(uint32_t lead, uint32_t group);

  std::vector<Partition> partitions_;
  std::unordered_map<uint64_t, uint32_t> partition_by_lead_;
  uint32_t last_partition_ = UINT32_MAX;  // most events share the previous one's
  size_t size_ = 0;
};

// Sorts slots by rest[0], then rest[1], then rest[2]. `scratch` is working
// space, kept by the caller between calls.
void SortSlots(std::vector<CountSlot>& slots, std::vector<CountSlot>& scratch);

}  // namespace tallymere
