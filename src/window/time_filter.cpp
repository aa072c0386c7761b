#include "window/time_filter.h"

#include <algorithm>
#include <iterator>

#include "platform/decimal_text.h"
#include "platform/platform.h"

namespace tallymere {

namespace {

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr size_t kFileStampFirst = 15;
constexpr size_t kFileStampLast = 29;
constexpr size_t kStampLength = 14;

// One fixed-width field read like atoi: leading blanks, an optional sign,
// digits up to the first non-digit; no digits give 0. Stored in 16 bits.
uint16_t ReadField(std::string_view field) {
  const DecimalText<char> number = ReadDecimalText(field);
  const auto value = static_cast<uint32_t>(DigitsValue(number.digits, UINT32_MAX - 1));
  return static_cast<uint16_t>(number.negative ? 0u - value : value);
}

// The start of the window that covers the current period of `period`
// seconds and the count - 1 before it. Computed in 64 bits, so that no count
// wraps the start around: one before 1970 lets every event in, and one past
// the end of the scale (counts of 0 and below point ahead) stays there.
uint32_t PeriodsBackStart(uint32_t now, int32_t count, int64_t period) {
  const int64_t start = (now / period + 1 - static_cast<int64_t>(count)) * period;
  return static_cast<uint32_t>(std::clamp<int64_t>(start, 0, 0xFFFFFFFF));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view text) { return std::all_of(text.begin(), text.end(), IsDigit); }

// Whether the text has the shape of the pattern: '9' stands for a digit,
// '_' for T or a space, every other character for itself.
bool HasShape(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char want = pattern[i];
    const bool fits = want == '9' ? IsDigit(text[i]) : want == '_' ? text[i] == 'T' || text[i] == ' ' : text[i] == want;
    if (!fits) return false;
  }
  return true;
}

// The digit form YYYYMMDD[HHmm[ss]] of an ISO 8601 date or date and time,
// or nothing when the text has none of its shapes. A Z names UTC, which
// every time here is, so it is allowed after a time of day (where ISO 8601
// puts it) and dropped.
std::optional<std::string> IsoDigits(std::string_view text) {
  static constexpr std::string_view kShapes[] = {"9999-99-99", "9999-99-99_99:99", "9999-99-99_99:99Z",
                                                 "9999-99-99_99:99:99", "9999-99-99_99:99:99Z"};
  if (std::none_of(std::begin(kShapes), std::end(kShapes),
                   [text](std::string_view shape) { return HasShape(text, shape); })) {
    return std::nullopt;
  }
  std::string digits;
  std::copy_if(text.begin(), text.end(), std::back_inserter(digits), IsDigit);
  // The digit form reads month or day 00 as the first; written out in full,
  // 00 is a mistake.
  if (digits.compare(4, 2, "00") == 0 || digits.compare(6, 2, "00") == 0) return std::nullopt;
  return digits;
}

}  // namespace

std::optional<uint32_t> ParseTimeText(std::string_view text) {
  static constexpr size_t kWidths[] = {4, 2, 2, 2, 2, 2};
  uint16_t fields[6] = {};
  size_t position = 0;
  for (int i = 0; i < 6; ++i) {
    if (position < text.size()) fields[i] = ReadField(text.substr(position, kWidths[i]));
    position += kWidths[i];
  }
  platform::CalendarTime time{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
  // The short forms YYYY and YYYYMM leave month or day at 0: they mean the first.
  if (time.month == 0) time.month = 1;
  if (time.day == 0) time.day = 1;
  const std::optional<uint64_t> file_time = platform::CalendarToFileTime(time);
  if (!file_time) return std::nullopt;
  if (*file_time < kUnixEpochFileTime) return 0;
  const uint64_t seconds = (*file_time - kUnixEpochFileTime) / kTicksPerSecond;
  return seconds > 0xFFFFFFFFULL ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

std::optional<uint32_t> ParseOptionTime(std::string_view text) {
  if (AllDigits(text)) return ParseTimeText(text);
  const std::optional<std::string> digits = IsoDigits(text);
  if (!digits) return std::nullopt;
  return ParseTimeText(*digits);
}

std::optional<std::string> SetTimeFilter(TimeFilter& filter, FilterType type, int32_t count, std::string_view from_text,
                                         std::string_view to_text, uint32_t now) {
  uint32_t from = 0;
  uint32_t to = 0xFFFFFFFF;
  if (type == kDaysBack) from = PeriodsBackStart(now, count, 86400);
  if (type == kHoursBack) from = PeriodsBackStart(now, count, 3600);
  if (type == kFromOnly || type == kFromTo) {
    auto parsed = ParseOptionTime(from_text);
    if (!parsed) return std::string(from_text);
    from = *parsed;
  }
  if (type == kToOnly || type == kFromTo) {
    auto parsed = ParseOptionTime(to_text);
    if (!parsed) return std::string(to_text);
    // The -t bound is exclusive. A bound at 0 leaves no second before it, so
    // the window is made empty (from above to).
    if (*parsed == 0) {
      from = 1;
      to = 0;
    } else {
      to = *parsed - 1;
    }
  }
  filter.from = from;
  filter.to = to;
  filter.type = type;
  filter.enabled = true;
  return std::nullopt;
}

bool IsFileInTimeFilter(const TimeFilter& filter, std::string_view file_name) {
  if (file_name.size() < kFileStampLast + kStampLength) return true;
  const auto first = ParseTimeText(file_name.substr(kFileStampFirst, kStampLength));
  const auto last = ParseTimeText(file_name.substr(kFileStampLast, kStampLength));
  if (!first || !last) return true;
  return *first <= filter.to && *last >= filter.from;
}

}  // namespace tallymere
