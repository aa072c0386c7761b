// How many unpacked bytes one repository file may still produce.
//
// DEFLATE expands a stream at most 1032-fold, so a file whose data buffers
// lie side by side can never unpack to more than 1032 times its size. Two
// things could go past that: table entries that point at the same bytes
// again and again, and images nested in images, whose expansions multiply.
// Both are stopped here before they can exhaust memory; no sound file comes
// near the limit.
#pragma once

#include <cstdint>

namespace tallymere {

class UnpackBudget {
 public:
  static constexpr uint64_t kMaxExpansion = 1032;
  static constexpr uint64_t kSlack = 1 << 20;

  static UnpackBudget ForFile(uint64_t file_size) { return UnpackBudget(kMaxExpansion * file_size + kSlack); }
  explicit UnpackBudget(uint64_t limit) : remaining_(limit) {}

  // Takes `bytes` from the budget; false (and nothing left) when they exceed it.
  bool Spend(uint64_t bytes) {
    if (bytes > remaining_) {
      remaining_ = 0;
      return false;
    }
    remaining_ -= bytes;
    return true;
  }

 private:
  uint64_t remaining_;
};

// The diagnostic for a file whose content would unpack beyond its budget.
inline constexpr char kOverBudgetMessage[] = "unpacked content exceeds 1032 times the file size\n";

}  // namespace tallymere
