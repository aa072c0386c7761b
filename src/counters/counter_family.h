// What sets one grouping apart from the others: its key levels, its type
// codes and the texts of its failure path.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "counters/count_keys.h"

namespace tallymere {

// What the failure path names after its heading.
enum class FailureLabel : uint8_t { kEventId, kComputer, kLog, kCategory, kNone };

struct CounterFamily {
  std::array<KeyKind, kMaxKeyLevels> levels;
  uint8_t level_count;
  uint32_t type_code;
  uint32_t fast_type_code;
  std::string_view heading;
  std::string_view fast_heading;
  FailureLabel label;
  FailureLabel fast_label;

  bool Has(KeyKind kind) const {
    return std::find(levels.begin(), levels.begin() + level_count, kind) != levels.begin() + level_count;
  }
  // The level holding the log, if any.
  std::optional<size_t> LogLevel() const {
    const auto* found = std::find(levels.begin(), levels.begin() + level_count, KeyKind::kLog);
    if (found == levels.begin() + level_count) return std::nullopt;
    return static_cast<size_t>(found - levels.begin());
  }
  bool HasPeriod() const { return Has(KeyKind::kDay) || Has(KeyKind::kHour); }
  // The category table supplies the category, the event type and the event ID.
  bool ReadsCategories() const {
    return Has(KeyKind::kCategory) || Has(KeyKind::kEventType) || Has(KeyKind::kEventId);
  }
};

}  // namespace tallymere
