#include "counters/packed_rows.h"

#include <algorithm>
#include <bit>
#include <span>

#include "counters/radix_sort.h"

namespace tallymere {

bool KeyPacking::Fit() {
  bits_ = 0;
  for (size_t level = kLevels; level-- > 0;) {
    if (low_[level] > high_[level]) low_[level] = high_[level];  // no row included
    const unsigned width = static_cast<unsigned>(std::bit_width(high_[level] - low_[level]));
    shift_[level] = width == 0 ? 0 : bits_;  // a shift by 64 would be undefined
    mask_[level] = (uint64_t{1} << width) - 1;
    bits_ += width;
  }
  return bits_ <= 64;
}

namespace {

constexpr unsigned kMostDigitBits = 11;  // 2048 counters: 8 KiB, in the first-level cache

}  // namespace

// As few digits of equal width as cover the key bits.
void SortPacked(PackedRows& rows, unsigned key_bits, PackedRows& scratch) {
  constexpr size_t kSmall = 128;  // below this the histograms cost more than they save
  if (key_bits == 0) return;      // every key is the same
  if (rows.size() < kSmall) {
    std::sort(rows.begin(), rows.end(), [](const PackedRow& a, const PackedRow& b) { return a.key < b.key; });
    return;
  }
  const unsigned digits = (key_bits + kMostDigitBits - 1) / kMostDigitBits;
  const unsigned width = (key_bits + digits - 1) / digits;
  const size_t buckets = size_t{1} << width;
  const uint64_t mask = buckets - 1;
  const auto digit_of = [width, mask](const PackedRow& row, size_t digit) {
    return static_cast<size_t>((row.key >> (digit * width)) & mask);
  };
  if (RadixSort(std::span<PackedRow>(rows), scratch, size_t{digits}, buckets, digit_of) != rows.data()) {
    rows.swap(scratch);
  }
}

}  // namespace tallymere
