#include "counters/count_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace tallymere {

namespace {

constexpr size_t kInitialBytes = 256;
// A partition holding this many slots or more is merged whenever it fills,
// before it grows; smaller ones are merged only for the report.
constexpr size_t kMergeFrom = 4096;
// The same for a part's table as a whole.
constexpr size_t kSumFrom = 16384;
// A part of fewer slots is held as counted: too few to repeat much.
constexpr size_t kSumRepeatsFrom = 64;

// Room for at least `slots` slots in the smallest block of 2^k or 3 * 2^(k-2)
// bytes that holds them: block sizes the allocator hands out whole. The
// count map's lists grow one such step at a time, by a half or a third, so
// that on average far less of them stands empty than with doubling.
template <size_t W>
size_t RoundedCapacity(size_t slots) {
  const size_t bytes = std::max(kInitialBytes, slots * sizeof(Slot<W>));
  const size_t power = std::bit_ceil(bytes);
  const size_t three_quarters = power / 4 * 3;
  return (power >= 1024 && bytes <= three_quarters ? three_quarters : power) / sizeof(Slot<W>);
}

}  // namespace

template <size_t W>
size_t MergeSorted(std::span<Slot<W>> slots) {
  size_t kept = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (kept != 0 && slots[kept - 1].rest == slots[i].rest &&
        slots[i].count <= Slot<W>::kFull - slots[kept - 1].count) {
      slots[kept - 1].count += slots[i].count;
    } else {
      slots[kept++] = slots[i];
    }
  }
  return kept;
}

RestLayout::RestLayout() : width_(kLevels) {
  for (size_t level = 0; level < kLevels; ++level) {
    level_of_word_[level] = static_cast<uint8_t>(level);
    source_[level] = static_cast<uint8_t>(level);
  }
}

RestLayout::RestLayout(size_t level_count, std::optional<size_t> group) {
  constexpr uint8_t kFromGroup = 0xFE;
  constexpr uint8_t kAbsent = 0xFF;
  for (size_t level = 0; level < kLevels; ++level) {
    const size_t key_level = level + 1;
    if (key_level >= level_count) {
      source_[level] = kAbsent;
    } else if (group == key_level) {
      source_[level] = kFromGroup;
    } else {
      level_of_word_[width_] = static_cast<uint8_t>(level);
      source_[level] = static_cast<uint8_t>(width_++);
    }
  }
  // A slot keeps at least one word; it then holds whatever its level holds.
  if (width_ == 0) {
    level_of_word_[0] = 0;
    source_[0] = 0;
    width_ = 1;
  }
  // Two levels share the one word; Widen puts both back together.
  if (width_ == 2) {
    paired_ = true;
    source_[level_of_word_[1]] = kAbsent;
    width_ = 1;
  }
  for (uint8_t& source : source_) {
    if (source == kFromGroup) source = static_cast<uint8_t>(width_);
    if (source == kAbsent) source = static_cast<uint8_t>(width_ + 1);
  }
}

uint32_t PartitionFinder::FindOrAdd(uint32_t lead, PartitionGroup group, uint32_t fresh) {
  // The high bits of products: periods are multiples of 3600 s, whose low
  // bits never change, and a part's groups (event types) are neighbours.
  const uint32_t mixed = lead * 0x9E3779B1u ^ static_cast<uint32_t>(group ^ (group >> 32)) * 0x85EBCA77u;
  Recent& recent = recent_[mixed >> (32 - kRecentBits)];
  if (recent.index != kEmpty && recent.lead == lead && recent.group == group) return recent.index;
  const uint32_t index = FindOrAddInIndex(lead, group, fresh);
  recent = {group, lead, index};
  return index;
}

void PartitionFinder::Clear() {
  std::fill(entries_.begin(), entries_.end(), Entry{});
  used_ = 0;
  recent_.fill(Recent{});
}

uint32_t PartitionFinder::FindOrAddInIndex(uint32_t lead, PartitionGroup group, uint32_t fresh) {
  if (2 * (used_ + 1) > entries_.size()) Grow();
  const size_t mask = entries_.size() - 1;
  const uint64_t key = ((uint64_t{lead} << 32) | static_cast<uint32_t>(group)) ^ (group >> 32) * 0xC2B2AE3D27D4EB4Fu;
  for (size_t at = static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> 32) & mask;; at = (at + 1) & mask) {
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
  slots_.reserve(RoundedCapacity<3>(2 * slots_.capacity()));
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

size_t PartCountTable::capacity_bytes() const {
  return partitions_.capacity() * sizeof(Partition) + runs_.capacity() * sizeof(Run) +
         (slots_.capacity() + gathered_.capacity() + sort_scratch_.capacity()) * sizeof(CountSlot);
}

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
  if (needed * 2 > slots.capacity()) slots.reserve(RoundedCapacity<W>(std::max(slots.capacity() + 1, needed)));
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

// The held counts' alternative of the table's width.
OfEveryWidth<BasicHeldCounts> HoldInWidth(const PartCountTable& table) {
  if (table.layout().width() == 1) return BasicHeldCounts<1>(table);
  return BasicHeldCounts<RestLayout::kLevels>(table);
}

OfEveryWidth<BasicCountTable> TableOfWidth(size_t width) {
  if (width == 1) return BasicCountTable<1>();
  return BasicCountTable<RestLayout::kLevels>();
}

}  // namespace

HeldCounts::HeldCounts(const PartCountTable& table) : held_(HoldInWidth(table)) {}

size_t HeldCounts::size() const {
  return std::visit([](const auto& held) { return held.size(); }, held_);
}

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

namespace {

// One byte each, least significant first.
template <size_t W>
uint8_t Digit(const Slot<W>& slot, size_t digit) {
  return static_cast<uint8_t>(slot.rest[W - 1 - digit / 4] >> (8 * (digit % 4)));
}

}  // namespace

// A report sorts millions of slots of random keys, where a comparison sort
// spends most of its time on mispredicted branches. A least-significant-digit
// radix sort has none; digits that are the same in every slot (the high bytes
// of small ranks, say) are skipped, so most keys take five or six passes.
template <size_t W>
void SortSlots(std::span<Slot<W>> slots, SlotListOf<W>& scratch) {
  constexpr size_t kSmall = 256;  // below this the histograms cost more than they save
  constexpr size_t kDigits = 4 * W;
  if (slots.size() < kSmall) {
    std::sort(slots.begin(), slots.end(), [](const Slot<W>& x, const Slot<W>& y) { return x.rest < y.rest; });
    return;
  }
  std::vector<std::array<uint32_t, 256>> histograms(kDigits);
  for (const Slot<W>& slot : slots) {
    for (size_t digit = 0; digit < kDigits; ++digit) ++histograms[digit][Digit(slot, digit)];
  }
  scratch.resize(slots.size());
  Slot<W>* from = slots.data();
  Slot<W>* to = scratch.data();
  for (size_t digit = 0; digit < kDigits; ++digit) {
    std::array<uint32_t, 256>& histogram = histograms[digit];
    if (histogram[Digit(from[0], digit)] == slots.size()) continue;
    uint32_t start = 0;
    for (uint32_t& bucket : histogram) start += std::exchange(bucket, start);
    for (size_t i = 0; i < slots.size(); ++i) to[histogram[Digit(from[i], digit)]++] = from[i];
    std::swap(from, to);
  }
  if (from != slots.data()) std::copy(from, from + slots.size(), slots.data());
}

template class BasicHeldCounts<1>;
template class BasicHeldCounts<3>;
template class BasicCountTable<1>;
template class BasicCountTable<3>;
template void SortSlots(std::span<Slot<3>>, SlotListOf<3>&);
template size_t MergeSorted(std::span<Slot<3>>);

}  // namespace tallymere
