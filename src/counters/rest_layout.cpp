#include "counters/rest_layout.h"

namespace tallymere {

RestLayout::RestLayout() : width_(kLevels) {
  for (size_t level = 0; level < kLevels; ++level) {
    stored_level_[level] = static_cast<uint8_t>(level);
    source_[level] = static_cast<uint8_t>(level);
  }
}

RestLayout::RestLayout(size_t level_count, std::optional<size_t> group) {
  constexpr uint8_t kFromGroup = 0xFE;
  constexpr uint8_t kAbsent = 0xFF;
  for (size_t level = 0; level < kLevels; ++level) {
    const size_t key_level = level + 1;
    if (key_level >= level_count) {
      source_[level] = kAbsent;
    } else if (group == key_level) {
      source_[level] = kFromGroup;
    } else {
      stored_level_[width_] = static_cast<uint8_t>(level);
      source_[level] = static_cast<uint8_t>(width_++);
    }
  }
  // A slot keeps at least one word; it then holds whatever its level holds.
  if (width_ == 0) {
    stored_level_[0] = 0;
    source_[0] = 0;
    width_ = 1;
  }
  // Two levels share the one word; Widen puts both back together.
  if (width_ == 2) {
    paired_ = true;
    source_[second()] = kAbsent;
    width_ = 1;
  }
  for (uint8_t& source : source_) {
    if (source == kFromGroup) source = static_cast<uint8_t>(width_);
    if (source == kAbsent) source = static_cast<uint8_t>(width_ + 1);
  }
}

}  // namespace tallymere
