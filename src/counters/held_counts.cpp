#include "counters/held_counts.h"

#include <numeric>
#include <span>

namespace tallymere {

namespace {

// The indexes of a table's runs, those of each partition together and in
// their order.
std::vector<uint32_t> RunsByPartition(const PartCountTable& table) {
  const std::vector<PartCountTable::Run>& runs = table.runs();
  std::vector<uint32_t> next(table.partitions().size() + 1, 0);
  for (const PartCountTable::Run& run : runs) ++next[run.partition + 1];
  std::partial_sum(next.begin(), next.end(), next.begin());
  std::vector<uint32_t> order(runs.size());
  for (uint32_t r = 0; r < runs.size(); ++r) order[next[runs[r].partition]++] = r;
  return order;
}

}  // namespace

// The copy has one run per partition. A table's runs alternate between
// partitions when neighbouring key paths differ in their group (their event
// types, say): nearly a run per slot, each a step for the count map to add.
template <size_t W>
BasicHeldCounts<W>::BasicHeldCounts(const PartCountTable& table)
    : partitions_(table.partitions().begin(), table.partitions().end()), size_(table.size()) {
  const RestLayout& layout = table.layout();
  pieces_.reserve((size_ + kPieceSlots - 1) / kPieceSlots);
  runs_.reserve(partitions_.size());
  uint32_t copied = 0;
  for (const uint32_t r : RunsByPartition(table)) {
    const PartCountTable::Run& run = table.runs()[r];
    for (uint32_t i = r == 0 ? 0 : table.runs()[r - 1].end; i < run.end;) {
      if (copied % kPieceSlots == 0) pieces_.emplace_back().reserve(std::min<size_t>(kPieceSlots, size_ - copied));
      SlotListOf<W>& piece = pieces_.back();
      const uint32_t stretch = std::min<uint32_t>(run.end - i, kPieceSlots - copied % kPieceSlots);
      for (const CountSlot& slot : std::span(table.slots() + i, stretch)) {
        piece.push_back(Slot<W>{layout.Narrow<W>(slot.rest), slot.count});
      }
      i += stretch;
      copied += stretch;
    }
    if (runs_.empty() || runs_.back().partition != run.partition) runs_.push_back({run.partition, 0});
    runs_.back().end = copied;
  }
}

namespace {

// The held counts' alternative of the table's width.
OfEveryWidth<BasicHeldCounts> HoldInWidth(const PartCountTable& table) {
  if (table.layout().width() == 1) return BasicHeldCounts<1>(table);
  return BasicHeldCounts<RestLayout::kLevels>(table);
}

}  // namespace

HeldCounts::HeldCounts(const PartCountTable& table) : held_(HoldInWidth(table)) {}

size_t HeldCounts::size() const {
  return std::visit([](const auto& held) { return held.size(); }, held_);
}

template class BasicHeldCounts<1>;
template class BasicHeldCounts<3>;

}  // namespace tallymere
