// The least-significant-digit radix sort of the count tables and the report.
//
// A report sorts millions of rows of random keys, one first level at a
// time, where a comparison sort spends most of its time on mispredicted
// branches; a radix sort has none. Counting into small tables per first
// level and radix-sorting them for the report took mode 28 on the
// 20-million-event benchmark from 13.8 s to 6.2 s (commit 5f6ceb8). The part
// tables and the count map sort their slots by bytes of their levels with
// it, the report its rows packed into 64-bit keys, in digits of up to 11
// bits (commit 5248c9b: the sort's share of mode 28's time 0.19 -> 0.08).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tallymere {

// Sorts `items` stably by `digits` digits, least significant first:
// digit_of(item, d) is digit d of an item's key, below `buckets`. Every
// histogram is counted in one pass, and a digit that is the same in every
// item is skipped, so keys whose high bytes never change take few passes.
// `scratch` is working space kept by the caller between calls. Returns
// where the sorted items lie, `items` or `scratch`, so that a caller that
// can swap vectors need not copy them back. Digits and buckets may be
// std::integral_constant, so that a fixed number of them unrolls.
template <class T, class Alloc, class Digits, class Buckets, class DigitOf>
T* RadixSort(std::span<T> items, std::vector<T, Alloc>& scratch, Digits digits, Buckets buckets, DigitOf digit_of) {
  if (items.empty()) return items.data();
  std::vector<uint32_t> histograms(size_t{digits} * size_t{buckets});
  for (const T& item : items) {
    for (size_t digit = 0; digit < digits; ++digit) ++histograms[digit * buckets + digit_of(item, digit)];
  }
  scratch.resize(items.size());
  T* from = items.data();
  T* to = scratch.data();
  for (size_t digit = 0; digit < digits; ++digit) {
    uint32_t* histogram = histograms.data() + digit * buckets;
    if (histogram[digit_of(from[0], digit)] == items.size()) continue;
    uint32_t start = 0;
    for (size_t bucket = 0; bucket < buckets; ++bucket) start += std::exchange(histogram[bucket], start);
    for (size_t i = 0; i < items.size(); ++i) to[histogram[digit_of(from[i], digit)]++] = from[i];
    std::swap(from, to);
  }
  return from;
}

}  // namespace tallymere
