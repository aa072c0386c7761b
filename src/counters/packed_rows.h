// Report rows sorted as single integers.
//
// Every level of a row after the first is a rank among few values: a few
// hundred computers or categories, a few logs, some hundreds of event IDs.
// Each fits in a few bits, and all of them together mostly in 20 to 30.
// Packed into one 64-bit key, a row compares in one step and a radix sort
// needs two or three passes instead of one per byte of the three 32-bit
// levels.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

#include "buffers/block_pool.h"
#include "counters/count_slot.h"

namespace tallymere {

struct PackedRow {
  uint64_t key;
  uint64_t count;
};
using PackedRows = std::vector<PackedRow, PooledAllocator<PackedRow>>;

// A packing of levels within known ranges, each less its least value: the
// first level after the lead takes the highest bits, so key order is row
// order.
class KeyPacking {
 public:
  // Widens the ranges to take in `rest`.
  void Include(const KeyRest& rest) {
    static_assert(kLevels == 3);  // written out, so that it stays inline in the row loops
    low_ = {std::min(low_[0], rest[0]), std::min(low_[1], rest[1]), std::min(low_[2], rest[2])};
    high_ = {std::max(high_[0], rest[0]), std::max(high_[1], rest[1]), std::max(high_[2], rest[2])};
  }
  // Lays the ranges out; false when they need more than 64 bits.
  bool Fit();
  uint64_t Pack(const KeyRest& rest) const {
    uint64_t key = 0;
    for (size_t level = 0; level < kLevels; ++level) key |= uint64_t{rest[level] - low_[level]} << shift_[level];
    return key;
  }
  KeyRest Unpack(uint64_t key) const {
    KeyRest rest;
    for (size_t level = 0; level < kLevels; ++level) {
      rest[level] = low_[level] + static_cast<uint32_t>((key >> shift_[level]) & mask_[level]);
    }
    return rest;
  }
  unsigned bits() const { return bits_; }

 private:
  static constexpr size_t kLevels = std::tuple_size_v<KeyRest>;
  KeyRest low_ = [] {
    KeyRest low;
    low.fill(UINT32_MAX);
    return low;
  }();
  KeyRest high_{};
  std::array<unsigned, kLevels> shift_{};
  std::array<uint64_t, kLevels> mask_{};
  unsigned bits_ = 0;
};

// Sorts rows by their keys, of which only the low `key_bits` bits may be
// set. `scratch` is working space kept by the caller between calls.
void SortPacked(PackedRows& rows, unsigned key_bits, PackedRows& scratch);

}  // namespace tallymere
