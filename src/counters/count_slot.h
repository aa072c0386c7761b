// A stored key path after its first level, with its count, and the lists
// the count tables keep them in.
//
// A slot holds only the words its grouping needs besides the count: one
// (one level, or two paired; see rest_layout.h) or all three levels. Narrow
// slots took the peak memory of the hour/computer grouping from 76 to 56 MB
// (commit d1d6136), and pairing two levels in one word made a slot 8 bytes
// in every grouping (was 12): hour/computer/log/event ID over 300 files
// 315 to 208 MB (commit 12efe47).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "buffers/block_pool.h"
#include "counters/count_keys.h"

namespace tallymere {

// The levels of a key path after the first one.
using KeyRest = std::array<uint32_t, kMaxKeyLevels - 1>;

inline bool SameRest(const KeyRest& a, const KeyRest& b) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) == 0;
}

// One stored key path after its first level, with its count: W words and
// the count, so that four or eight fit a cache line. A count of 0 marks an
// empty slot, since a key is only stored together with its first count. A
// count stops at kFull; the key path then goes on in a new slot, and the
// report sums the slots of a key path in 64 bits.
template <size_t W>
struct Slot {
  static constexpr uint32_t kFull = UINT32_MAX;

  std::array<uint32_t, W> rest;
  uint32_t count;

  bool empty() const { return count == 0; }
  // Adds 1 unless the count is full.
  bool TryIncrement() {
    if (count == kFull) return false;
    ++count;
    return true;
  }
};

// Slot lists grow to megabytes and are freed as they are merged and read:
// their large blocks come from the block pool, so that they are used again
// rather than given back to the system and faulted in anew.
template <size_t W>
using SlotListOf = std::vector<Slot<W>, PooledAllocator<Slot<W>>>;

// A part's working table and the report's rows hold every level.
using CountSlot = Slot<kMaxKeyLevels - 1>;
using SlotList = SlotListOf<kMaxKeyLevels - 1>;

// Room for at least `slots` slots in the smallest block of 2^k or 3 * 2^(k-2)
// bytes that holds them: block sizes the allocator hands out whole. The
// count map's lists grow one such step at a time, by a half or a third, so
// that on average far less of them stands empty than with doubling (the
// hour/computer/log/event ID grouping over 300 files peaked at 315 MB
// instead of 348 MB, commit d42bad4).
template <size_t W>
size_t RoundedSlotCapacity(size_t slots) {
  constexpr size_t kInitialBytes = 256;
  const size_t bytes = std::max(kInitialBytes, slots * sizeof(Slot<W>));
  const size_t power = std::bit_ceil(bytes);
  const size_t three_quarters = power / 4 * 3;
  return (power >= 1024 && bytes <= three_quarters ? three_quarters : power) / sizeof(Slot<W>);
}

}  // namespace tallymere
