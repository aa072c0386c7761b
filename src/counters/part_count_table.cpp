#include "counters/part_count_table.h"

#include <algorithm>
#include <span>
#include <stdexcept>

#include "counters/slot_sort.h"

namespace tallymere {

namespace {

// The part table as a whole is summed whenever it fills with this many
// slots or more, before it grows.
constexpr size_t kSumFrom = 16384;
// A part of fewer slots is held as counted: too few to repeat much.
constexpr size_t kSumRepeatsFrom = 64;

}  // namespace

uint32_t PartCountTable::Add(const KeyPath& key, uint32_t group, uint32_t count, bool& moved) {
  // A part has at most 2^32 - 1 events, and a slot counts at least one.
  if (slots_.size() >= UINT32_MAX) throw std::length_error("part count table");
  moved = slots_.size() == slots_.capacity() && MakeRoom();
  const KeyRest rest{key[1], key[2], key[3]};
  const PartitionGroup partition_group = layout_.GroupOf(rest, group);
  // Events come in time order, so most go on in the partition of the run
  // before: only a change of partition needs the finder.
  const Partition* last = runs_.empty() ? nullptr : &partitions_[runs_.back().partition];
  if (last == nullptr || last->lead != key[0] || last->group != partition_group) StartRun(key[0], partition_group);
  Run& run = runs_.back();
  const auto index = static_cast<uint32_t>(slots_.size());
  slots_.push_back(CountSlot{rest, count});
  ++partitions_[run.partition].slots;
  run.end = index + 1;
  return index;
}

void PartCountTable::StartRun(uint32_t lead, PartitionGroup group) {
  const auto fresh = static_cast<uint32_t>(partitions_.size());
  const uint32_t partition = finder_.FindOrAdd(lead, group, fresh);
  if (partition == fresh) partitions_.push_back(Partition{lead, group, 0});
  runs_.push_back(Run{partition, 0});
}

bool PartCountTable::MakeRoom() {
  bool summed = false;
  if (keep_summing_ && slots_.size() >= kSumFrom) {
    const size_t before = slots_.size();
    SumKeyPaths();
    summed = true;
    // Key paths that hardly repeat are not worth sorting again.
    keep_summing_ = slots_.size() < before / 4 * 3;
    if (slots_.size() * 2 <= slots_.capacity()) return summed;
  }
  slots_.reserve(RoundedSlotCapacity<3>(2 * slots_.capacity()));
  return summed;
}

// Gathers the slots of each partition from its runs, sorts and sums them,
// and puts them back as one run per partition.
void PartCountTable::SumKeyPaths() {
  std::vector<size_t> starts(partitions_.size());
  size_t at = 0;
  for (size_t p = 0; p < partitions_.size(); ++p) {
    starts[p] = at;
    at += partitions_[p].slots;
  }
  gathered_.resize(slots_.size());
  uint32_t begin = 0;
  for (const Run& run : runs_) {
    std::copy(slots_.begin() + begin, slots_.begin() + run.end,
              gathered_.begin() + static_cast<ptrdiff_t>(starts[run.partition]));
    starts[run.partition] += run.end - begin;
    begin = run.end;
  }
  slots_.clear();
  runs_.clear();
  at = 0;
  for (size_t p = 0; p < partitions_.size(); ++p) {
    const std::span<CountSlot> slots(gathered_.data() + at, partitions_[p].slots);
    at += slots.size();
    SortSlots(slots, sort_scratch_);
    const size_t kept = MergeSorted(slots);
    slots_.insert(slots_.end(), slots.begin(), slots.begin() + static_cast<ptrdiff_t>(kept));
    partitions_[p].slots = kept;
    if (kept != 0) runs_.push_back(Run{static_cast<uint32_t>(p), static_cast<uint32_t>(slots_.size())});
  }
}

void PartCountTable::SumRepeats() {
  if (slots_.size() < kSumRepeatsFrom) return;
  if (parts_until_try_ != 0) {
    --parts_until_try_;
    return;
  }
  // A large part whose sums while it was counted hardly paid would only be
  // sorted again for nothing.
  if (!keep_summing_) {
    parts_until_try_ = kPartsBetweenTries;
    return;
  }
  const size_t before = slots_.size();
  SumKeyPaths();
  if (slots_.size() > before / 16 * 15) parts_until_try_ = kPartsBetweenTries;
}

void PartCountTable::Clear() {
  partitions_.clear();
  finder_.Clear();
  runs_.clear();
  slots_.clear();
  keep_summing_ = true;
}

size_t PartCountTable::capacity_bytes() const {
  return partitions_.capacity() * sizeof(Partition) + runs_.capacity() * sizeof(Run) +
         (slots_.capacity() + gathered_.capacity() + sort_scratch_.capacity()) * sizeof(CountSlot);
}

}  // namespace tallymere
