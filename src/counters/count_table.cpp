#include "counters/count_table.h"

#include <algorithm>
#include <span>
#include <type_traits>

namespace tallymere {

namespace {

// A partition holding this many slots or more is merged whenever it fills,
// before it grows; smaller ones are merged only for the report.
constexpr size_t kMergeFrom = 4096;

}  // namespace

template <size_t W>
uint32_t BasicCountTable<W>::IndexOf(uint32_t lead, PartitionGroup group) {
  const auto fresh = static_cast<uint32_t>(partitions_.size());
  const uint32_t index = finder_.FindOrAdd(lead, group, fresh);
  if (index == fresh) partitions_.push_back(Partition{lead, group, {}});
  return index;
}

template <size_t W>
void BasicCountTable<W>::MakeRoom(Partition& partition, size_t more) {
  SlotListOf<W>& slots = partition.slots;
  if (slots.capacity() - slots.size() >= more) return;
  if (slots.size() >= kMergeFrom) {
    size_ -= slots.size();
    SortSlots(std::span<Slot<W>>(slots), scratch_);
    MergeSorted(slots);
    size_ += slots.size();
  }
  // Still over half full after a merge: grow all the same, so as not to
  // merge again soon.
  const size_t needed = slots.size() + more;
  if (needed * 2 > slots.capacity()) slots.reserve(RoundedSlotCapacity<W>(std::max(slots.capacity() + 1, needed)));
}

// Room is made in every partition first, so that a merge cannot change a
// partition while its runs are being copied.
template <size_t W>
void BasicCountTable<W>::Absorb(const BasicHeldCounts<W>& part) {
  absorbed_into_.clear();
  for (const PartCountTable::Partition& from : part.partitions()) {
    const uint32_t index = IndexOf(from.lead, from.group);
    MakeRoom(partitions_[index], from.slots);
    absorbed_into_.push_back(index);
  }
  uint32_t begin = 0;
  for (const PartCountTable::Run& run : part.runs()) {
    SlotListOf<W>& into = partitions_[absorbed_into_[run.partition]].slots;
    part.ForEachStretch(begin, run.end, [&into](const Slot<W>* first, uint32_t count) {
      into.insert(into.end(), first, first + count);
    });
    begin = run.end;
  }
  size_ += part.size();
}

namespace {

OfEveryWidth<BasicCountTable> TableOfWidth(size_t width) {
  if (width == 1) return BasicCountTable<1>();
  return BasicCountTable<RestLayout::kLevels>();
}

}  // namespace

CountTable::CountTable(const RestLayout& layout) : layout_(layout), table_(TableOfWidth(layout.width())) {}

size_t CountTable::size() const {
  return std::visit([](const auto& table) { return table.size(); }, table_);
}

// Counts held in another layout are a fault of the caller; none held (a
// part without events, say) is no count to add.
void CountTable::Absorb(const HeldCounts& part) {
  if (part.size() == 0) return;
  std::visit(
      [&part](auto& table) {
        constexpr size_t kWidth = std::remove_cvref_t<decltype(table)>::kWidth;
        table.Absorb(std::get<BasicHeldCounts<kWidth>>(part.held_));
      },
      table_);
}

template class BasicCountTable<1>;
template class BasicCountTable<3>;

}  // namespace tallymere
