// The counts of one part as they wait for their turn to be added.
//
// The counts of a whole file wait until its parse is known to have
// succeeded, so in a repository of one large file every part's counts are
// held at once. They are a copy of the part table's counts of just their
// size, in the count map's layout, the slots in 32 KiB pieces that the count
// map's lists grow into once the part is added: the single-file repository
// peaked at 288 MB in 1.5 s instead of 544 MB in 2.2 s (hour/computer/
// category/event type, commit 03e364a). The copy has one run per partition:
// where neighbouring key paths differ in event type the part table has
// nearly a run per slot (commit cff5534).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "counters/count_slot.h"
#include "counters/part_count_table.h"
#include "counters/rest_layout.h"

namespace tallymere {

// A part table's counts in slots of width W.
template <size_t W>
class BasicHeldCounts {
 public:
  BasicHeldCounts() = default;
  // In the table's layout.
  explicit BasicHeldCounts(const PartCountTable& table);

  size_t size() const { return size_; }
  const std::vector<PartCountTable::Partition>& partitions() const { return partitions_; }
  const std::vector<PartCountTable::Run>& runs() const { return runs_; }
  // Calls visit(first, count) for the slots [begin, end), piece by piece.
  template <class Visit>
  void ForEachStretch(uint32_t begin, uint32_t end, Visit&& visit) const {
    while (begin < end) {
      const SlotListOf<W>& piece = pieces_[begin / kPieceSlots];
      const uint32_t offset = begin % kPieceSlots;
      const uint32_t count = std::min<uint32_t>(end - begin, kPieceSlots - offset);
      visit(piece.data() + offset, count);
      begin += count;
    }
  }

 private:
  static constexpr uint32_t kPieceSlots = (32 << 10) / sizeof(Slot<W>);  // 32 KiB or just below
  std::vector<PartCountTable::Partition> partitions_;
  std::vector<PartCountTable::Run> runs_;
  std::vector<SlotListOf<W>> pieces_;
  size_t size_ = 0;
};

// Held counts and count tables of every width a layout has: one word, or
// every level (three stored levels cannot pair).
template <template <size_t> class Of>
using OfEveryWidth = std::variant<Of<1>, Of<3>>;
static_assert(RestLayout::kLevels == 3);

class HeldCounts {
 public:
  HeldCounts() = default;
  explicit HeldCounts(const PartCountTable& table);
  size_t size() const;

 private:
  friend class CountTable;
  OfEveryWidth<BasicHeldCounts> held_;
};

}  // namespace tallymere
