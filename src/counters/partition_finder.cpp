#include "counters/partition_finder.h"

#include <algorithm>
#include <utility>

namespace tallymere {

void PartitionFinder::Clear() {
  std::fill(entries_.begin(), entries_.end(), Entry{});
  used_ = 0;
  recent_.fill(Entry{});
}

uint32_t PartitionFinder::FindOrAddInIndex(uint32_t lead, PartitionGroup group, uint32_t fresh) {
  if (2 * (used_ + 1) > entries_.size()) Grow();
  const size_t mask = entries_.size() - 1;
  for (size_t at = static_cast<size_t>(HashMix(KeyOf(lead, group))) & mask;; at = (at + 1) & mask) {
    Entry& entry = entries_[at];
    if (entry.index == kEmpty) {
      entry = {group, lead, fresh};
      ++used_;
      return fresh;
    }
    if (entry.lead == lead && entry.group == group) return entry.index;
  }
}

void PartitionFinder::Grow() {
  std::vector<Entry> old = std::exchange(entries_, std::vector<Entry>(std::max<size_t>(16, 2 * entries_.size())));
  used_ = 0;
  for (const Entry& entry : old) {
    if (entry.index != kEmpty) FindOrAddInIndex(entry.lead, entry.group, entry.index);
  }
}

}  // namespace tallymere
