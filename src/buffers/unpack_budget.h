// How many unpacked bytes one repository file may still produce.
//
// DEFLATE expands a stream at most 1032-fold, so a file whose data buffers
// lie side by side can never unpack to more than 1032 times its size. Two
// things could go past that: table entries that point at the same bytes
// again and again, and images nested in images, whose expansions multiply.
// Both are stopped here before they can exhaust memory; no sound file comes
// near the limit.
#pragma once

#include <atomic>
#include <cstdint>

namespace tallymere {

class UnpackBudget {
 public:
  static constexpr uint64_t kMaxExpansion = 1032;
  static constexpr uint64_t kSlack = 1 << 20;

  static UnpackBudget ForFile(uint64_t file_size) { return UnpackBudget(kMaxExpansion * file_size + kSlack); }
  explicit UnpackBudget(uint64_t limit) : remaining_(limit) {}
  UnpackBudget(const UnpackBudget& other) : remaining_(other.remaining_.load()) {}

  // Takes `bytes` from the budget; false (and nothing left) when they exceed
  // it. Threads that unpack parts of one file at once may share a budget.
  bool Spend(uint64_t bytes) {
    uint64_t remaining = remaining_.load(std::memory_order_relaxed);
    do {
      if (bytes > remaining) {
        remaining_.store(0, std::memory_order_relaxed);
        return false;
      }
    } while (!remaining_.compare_exchange_weak(remaining, remaining - bytes, std::memory_order_relaxed));
    return true;
  }

 private:
  std::atomic<uint64_t> remaining_;
};

// The diagnostic for a file whose content would unpack beyond its budget.
inline constexpr char kOverBudgetMessage[] = "unpacked content exceeds 1032 times the file size\n";

}  // namespace tallymere
