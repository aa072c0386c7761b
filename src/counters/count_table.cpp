#include "counters/count_table.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tallymere {

namespace {

constexpr size_t kInitialCapacity = 16;
// A partition holding this many slots or more is merged whenever it fills,
// before it grows; smaller ones are merged only for the report.
constexpr size_t kMergeFrom = 4096;

}  // namespace

void MergeSorted(SlotList& slots) {
  size_t kept = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (kept != 0 && SameRest(slots[kept - 1].rest, slots[i].rest) &&
        slots[i].count <= CountSlot::kFull - slots[kept - 1].count) {
      slots[kept - 1].count += slots[i].count;
    } else {
      slots[kept++] = slots[i];
    }
  }
  slots.resize(kept);
}

CountTable::Partition& CountTable::PartitionOf(uint32_t lead, uint32_t group) {
  RecentPartition& recent = recent_[(lead ^ (lead >> 12) ^ group * 0x9E3779B1u) % kRecentPartitions];
  if (recent.index != UINT32_MAX && recent.lead == lead && recent.group == group) return partitions_[recent.index];
  const auto fresh = static_cast<uint32_t>(partitions_.size());
  const uint32_t index = partition_by_lead_.FindOrAdd((uint64_t{lead} << 32) | group, fresh);
  if (index == fresh) partitions_.push_back(Partition{lead, group, {}});
  recent = {lead, group, index};
  return partitions_[index];
}

uint32_t CountTable::PartitionIndex::FindOrAdd(uint64_t key, uint32_t fresh) {
  if (2 * (used_ + 1) > entries_.size()) Grow();
  const size_t mask = entries_.size() - 1;
  for (size_t at = static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> 32) & mask;; at = (at + 1) & mask) {
    Entry& entry = entries_[at];
    if (entry.index == kEmpty) {
      entry = {key, fresh};
      ++used_;
      return fresh;
    }
    if (entry.key == key) return entry.index;
  }
}

void CountTable::PartitionIndex::Grow() {
  std::vector<Entry> old = std::exchange(entries_, std::vector<Entry>(std::max<size_t>(16, 2 * entries_.size())));
  used_ = 0;
  for (const Entry& entry : old) {
    if (entry.index != kEmpty) FindOrAdd(entry.key, entry.index);
  }
}

void CountTable::MakeRoom(Partition& partition, size_t more) {
  SlotList& slots = partition.slots;
  if (slots.capacity() - slots.size() >= more) return;
  if (slots.size() >= kMergeFrom) {
    size_ -= slots.size();
    SortSlots(slots, scratch_);
    MergeSorted(slots);
    size_ += slots.size();
  }
  const size_t needed = slots.size() + more;
  if (needed * 2 > slots.capacity()) slots.reserve(std::max({kInitialCapacity, 2 * slots.capacity(), needed}));
}

CountSlot* CountTable::Add(const KeyPath& key, uint32_t group, uint32_t count, bool& moved) {
  // Slot pointers survive a new partition: moving a partition keeps its array.
  Partition& partition = PartitionOf(key[0], group);
  SlotList& slots = partition.slots;
  moved = slots.size() == slots.capacity();
  if (moved) MakeRoom(partition, 1);
  ++size_;
  return &slots.emplace_back(CountSlot{{key[1], key[2], key[3]}, count});
}

void CountTable::Absorb(CountTable& other) {
  if (partitions_.empty()) {
    std::swap(*this, other);
    other = CountTable();
    return;
  }
  for (Partition& from : other.partitions_) {
    Partition& into = PartitionOf(from.lead, from.group);
    MakeRoom(into, from.slots.size());
    into.slots.insert(into.slots.end(), from.slots.begin(), from.slots.end());
    size_ += from.slots.size();
  }
  other = CountTable();
}

namespace {

constexpr size_t kDigits = sizeof(KeyRest);  // one byte each, least significant first

uint8_t Digit(const CountSlot& slot, size_t digit) {
  return static_cast<uint8_t>(slot.rest[kDigits / 4 - 1 - digit / 4] >> (8 * (digit % 4)));
}

bool SlotBefore(const CountSlot& x, const CountSlot& y) {
  const uint64_t hx = (uint64_t{x.rest[0]} << 32) | x.rest[1];
  const uint64_t hy = (uint64_t{y.rest[0]} << 32) | y.rest[1];
  return hx != hy ? hx < hy : x.rest[2] < y.rest[2];
}

}  // namespace

// A report sorts millions of slots of random keys, where a comparison sort
// spends most of its time on mispredicted branches. A least-significant-digit
// radix sort has none; digits that are the same in every slot (the high bytes
// of small ranks, say) are skipped, so most keys take five or six passes.
void SortSlots(SlotList& slots, SlotList& scratch) {
  constexpr size_t kSmall = 256;  // below this the histograms cost more than they save
  if (slots.size() < kSmall) {
    std::sort(slots.begin(), slots.end(), SlotBefore);
    return;
  }
  std::vector<std::array<uint32_t, 256>> histograms(kDigits);
  for (const CountSlot& slot : slots) {
    for (size_t digit = 0; digit < kDigits; ++digit) ++histograms[digit][Digit(slot, digit)];
  }
  scratch.resize(slots.size());
  for (size_t digit = 0; digit < kDigits; ++digit) {
    std::array<uint32_t, 256>& histogram = histograms[digit];
    if (histogram[Digit(slots[0], digit)] == slots.size()) continue;
    uint32_t start = 0;
    for (uint32_t& bucket : histogram) start += std::exchange(bucket, start);
    for (const CountSlot& slot : slots) scratch[histogram[Digit(slot, digit)]++] = slot;
    slots.swap(scratch);
  }
}

}  // namespace tallymere
