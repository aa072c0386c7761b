#include "counters/slot_sort.h"

#include <algorithm>
#include <type_traits>

#include "counters/radix_sort.h"

namespace tallymere {

namespace {

// One byte each, least significant first.
template <size_t W>
uint8_t Digit(const Slot<W>& slot, size_t digit) {
  return static_cast<uint8_t>(slot.rest[W - 1 - digit / 4] >> (8 * (digit % 4)));
}

}  // namespace

template <size_t W>
void SortSlots(std::span<Slot<W>> slots, SlotListOf<W>& scratch) {
  constexpr size_t kSmall = 256;  // below this the histograms cost more than they save
  if (slots.size() < kSmall) {
    std::sort(slots.begin(), slots.end(), [](const Slot<W>& x, const Slot<W>& y) { return x.rest < y.rest; });
    return;
  }
  const auto digit_of = [](const Slot<W>& slot, size_t digit) { return Digit(slot, digit); };
  const Slot<W>* sorted = RadixSort(slots, scratch, std::integral_constant<size_t, 4 * W>{},
                                    std::integral_constant<size_t, 256>{}, digit_of);
  if (sorted != slots.data()) std::copy(sorted, sorted + slots.size(), slots.data());
}

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

template void SortSlots(std::span<Slot<1>>, SlotListOf<1>&);
template void SortSlots(std::span<Slot<3>>, SlotListOf<3>&);
template size_t MergeSorted(std::span<Slot<1>>);
template size_t MergeSorted(std::span<Slot<3>>);

}  // namespace tallymere
