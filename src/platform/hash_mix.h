// The one bit mixer of the program's hash tables and made-up names.
//
// A multiply by 2^64 divided by the golden ratio carries every bit of the
// value into all the bits above it; folding the high half onto the low one
// carries them down again. The top bits suit a table indexed by its high
// bits (k of them: HashMix(x) >> (64 - k)), the low bits one indexed by a
// mask. Both steps can be undone, so distinct values stay distinct: it is
// one multiply and a shift, cheap enough for a lookup per event.
#pragma once

#include <cstdint>

namespace tallymere {

constexpr uint64_t HashMix(uint64_t value) {
  const uint64_t product = value * 0x9E3779B97F4A7C15ULL;
  return product ^ (product >> 32);
}

}  // namespace tallymere
