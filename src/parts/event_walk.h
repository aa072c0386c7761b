// The walk over event records: the length of each record follows from its
// reference count, the end marker among its reference words and its data
// length, so the records can only be found one after the other. Most lists
// are short: a window of the words after the fixed part answers them at
// once. Kept in a header so that a walk can hand each record to its caller
// inlined.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "buffers/byte_reader.h"

namespace tallymere {

// Byte offsets of the fixed fields of an event record.
struct EventField {
  static constexpr uint32_t kDataLen = 0;
  static constexpr uint32_t kField4 = 4;
  static constexpr uint32_t kCatIndex = 8;
  static constexpr uint32_t kCompIndex = 12;
  static constexpr uint32_t kField16 = 16;
  static constexpr uint32_t kField20 = 20;
  static constexpr uint32_t kRefCount = 24;
  static constexpr uint32_t kField26 = 26;
  static constexpr uint32_t kTimeDelta = 28;
  static constexpr uint32_t kDelta32 = 32;
};

namespace event_walk {

inline constexpr uint64_t kFixedSize = 36;
inline constexpr uint32_t kEndMarker = 0x02000000;
// Words of the window read at once by the walk: longer lists are rare.
inline constexpr uint32_t kWindowWords = 8;
inline constexpr uint64_t kWindowSize = kFixedSize + 4 * kWindowWords;
inline constexpr uint64_t kPrefetchAhead = 512;
inline constexpr uint32_t kUnknownWords = UINT32_MAX;

// Bit k set when word k of the window is the end marker.
inline uint32_t EndMarkerBits(const uint8_t* words) {
#if defined(__SSE2__)
  const __m128i marker = _mm_set1_epi32(static_cast<int>(kEndMarker));
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 16));
  const int low_bits = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, marker)));
  const int high_bits = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(high, marker)));
  return static_cast<uint32_t>(low_bits | high_bits << 4);
#else
  uint32_t found = 0;
  for (uint32_t k = 0; k < kWindowWords; ++k) found |= uint32_t{LoadLE32(words + 4 * k) == kEndMarker} << k;
  return found;
#endif
}

// W of a record whose fixed part and the kWindowWords words after it lie
// inside the bytes, or kUnknownWords when the list may run past the window
// (a count above kWindowWords without an end marker in it). No branch
// depends on the words or the count: lists of every shape follow each other
// unpredictably. Below the marker bits, shifted up by one, a sentinel bit at
// the count (at most kWindowWords + 1) makes the lowest set bit the answer:
// the first marker's position plus one when a marker lies before the count,
// else the count itself.
inline uint32_t WindowWordCount(const uint8_t* record) {
  const uint16_t n = LoadLE16(record + EventField::kRefCount);
  // Counts of 32768 and more cover one word.
  const uint32_t limit = (n & 0x8000) != 0 ? 1 : std::min<uint32_t>(n, kWindowWords + 1);
  const auto words =
      static_cast<uint32_t>(std::countr_zero(EndMarkerBits(record + kFixedSize) << 1 | uint32_t{1} << limit));
  return words > kWindowWords ? kUnknownWords : words;
}

}  // namespace event_walk
}  // namespace tallymere
