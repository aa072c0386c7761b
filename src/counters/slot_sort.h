// Sorting slot lists and summing the slots of one key path.
//
// The part tables and the count map keep a slot per count they are handed
// and sum a key path's slots only now and then: sorted, its slots are
// neighbours. The sort is the radix sort of radix_sort.h on the bytes of
// the stored words (most key paths take five or six passes, their high
// bytes being the same); summing a part's repeats this way left the count
// map of the day/computer/category grouping 1.1 million slots for as many
// key paths instead of 7.0 million, and its peak over 300 files 104 -> 49-52
// MB (commit dcd8761).
#pragma once

#include <cstddef>
#include <span>

#include "counters/count_slot.h"

namespace tallymere {

// Sorts slots by rest[0], then rest[1], and so on. `scratch` is working
// space, kept by the caller between calls.
template <size_t W>
void SortSlots(std::span<Slot<W>> slots, SlotListOf<W>& scratch);
inline void SortSlots(SlotList& slots, SlotList& scratch) { SortSlots(std::span<CountSlot>(slots), scratch); }
// Sums the counts of neighbouring slots of one key path into the first, as
// far as 32 bits hold the sum, and returns how many slots that leaves at the
// front.
template <size_t W>
size_t MergeSorted(std::span<Slot<W>> slots);
template <size_t W>
void MergeSorted(SlotListOf<W>& slots) {
  slots.resize(MergeSorted(std::span<Slot<W>>(slots)));
}

}  // namespace tallymere
