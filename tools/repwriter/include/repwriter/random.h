// A small seeded generator whose output is the same with every compiler and
// standard library, so that a seed names one repository everywhere.
#pragma once

#include <cstdint>

namespace repwriter {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform enough in [0, bound) for test data; bound 0 gives 0.
  std::uint32_t Below(std::uint32_t bound) {
    return bound == 0 ? 0 : static_cast<std::uint32_t>((Next() >> 32) * bound >> 32);
  }

  // True with the given probability (0..1).
  bool Chance(double probability) { return static_cast<double>(Next() >> 11) * 0x1.0p-53 < probability; }

 private:
  std::uint64_t state_;
};

// Mixes two numbers into an independent seed (per file, per part, ...).
inline std::uint64_t MixSeed(std::uint64_t a, std::uint64_t b) {
  return SplitMix64(a ^ (b * 0xD1B54A32D192ED03ULL)).Next();
}

}  // namespace repwriter
