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
  // The level of the given kind, if the grouping has one.
  std::optional<size_t> LevelOf(KeyKind kind) const {
    const auto* found = std::find(levels.begin(), levels.begin() + level_count, kind);
    if (found == levels.begin() + level_count) return std::nullopt;
    return static_cast<size_t>(found - levels.begin());
  }
  // The level whose value groups the count map's partitions, so that their
  // slots need not store it: the log, whose events a file holds together;
  // else the event type, which has few values. Without either, the
  // partitions are grouped by log all the same, for that locality, and a
  // key path may then have a slot in the partition of each log.
  std::optional<size_t> GroupLevel() const {
    const std::optional<size_t> log = LevelOf(KeyKind::kLog);
    return log ? log : LevelOf(KeyKind::kEventType);
  }
  bool HasPeriod() const { return Has(KeyKind::kDay) || Has(KeyKind::kHour); }
  // The category table supplies the category, the event type and the event ID.
  bool ReadsCategories() const { return Has(KeyKind::kCategory) || Has(KeyKind::kEventType) || Has(KeyKind::kEventId); }
};

}  // namespace tallymere
