// Finds the count partitions of a part table or the count map by their
// first level and group.
//
// A map of nodes took one allocation for every partition of every part: a
// third of mode 24's 452,000 allocations on the 300-file repository, 365,000
// with open addressing (commit 3ec4ab3). The partitions found last are
// remembered in front of it: rows come in row order at the end of a part,
// not in time order, and with a memory of one partition mode 28 spent 0.064
// of the inflate time in this lookup, with 64 of them 0.036 (commit
// dc35a37).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "counters/rest_layout.h"
#include "platform/hash_mix.h"

namespace tallymere {

class PartitionFinder {
 public:
  // The index recorded for (lead, group); else records `fresh` and returns
  // it. Inline: a part's table asks at every change of partition, nearly
  // every event in the groupings by event type.
  uint32_t FindOrAdd(uint32_t lead, PartitionGroup group, uint32_t fresh) {
    // The high bits of the mix: periods are multiples of 3600 s, whose low
    // bits never change, and a part's groups (event types) are neighbours.
    Entry& recent = recent_[HashMix(KeyOf(lead, group)) >> (64 - kRecentBits)];
    if (recent.index != kEmpty && recent.lead == lead && recent.group == group) return recent.index;
    const uint32_t index = FindOrAddInIndex(lead, group, fresh);
    recent = {group, lead, index};
    return index;
  }
  // Forgets every partition, keeping the memory.
  void Clear();

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Entry {
    PartitionGroup group = 0;
    uint32_t lead = 0;
    uint32_t index = kEmpty;
  };
  // The first level and the group in one word for the mix. The group's
  // high halves are nearly always 0, so that sharing bits with the first
  // level costs no collisions: every entry compares both in full.
  static uint64_t KeyOf(uint32_t lead, PartitionGroup group) { return group ^ (uint64_t{lead} << 32); }
  uint32_t FindOrAddInIndex(uint32_t lead, PartitionGroup group, uint32_t fresh);
  void Grow();
  std::vector<Entry> entries_;  // a power of two, at most half full
  size_t used_ = 0;
  // The partitions found lately: most key paths go to one of the few
  // periods of the part being counted.
  static constexpr int kRecentBits = 6;
  std::array<Entry, size_t{1} << kRecentBits> recent_{};
};

}  // namespace tallymere
