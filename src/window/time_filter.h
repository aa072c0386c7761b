// The time window every counter carries, and the date-and-time texts that
// set it. Times are UTC seconds since 1970-01-01 in unsigned 32 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallymere {

enum FilterType : uint32_t {
  kNoFilter = 0,
  kDaysBack = 1,   // -d
  kHoursBack = 2,  // -r
  kFromOnly = 3,   // -f
  kToOnly = 4,     // -t
  kFromTo = 5,     // -f and -t
};

struct TimeFilter {
  bool enabled = false;
  uint32_t type = kNoFilter;
  uint32_t from = 0;         // inclusive
  uint32_t to = 0xFFFFFFFF;  // inclusive; 0xFFFFFFFF is no upper bound

  // The event test: with the window enabled, from <= t <= to.
  bool Passes(uint32_t t) const { return !enabled || (t >= from && t <= to); }
};

// YYYY[MM[DD[HH[mm[ss]]]]] as UTC seconds: the stamps in repository file
// names and the digit forms of -f and -t. A missing or zero month or day
// reads as 1; fields are read like atoi and stop at the first non-digit.
// Returns nothing for a text that is no valid calendar time (month above 12,
// day past the month's end, hour above 23, minute or second above 59, year
// before 1601). Times before 1970 clamp to 0, after 2106-02-07 06:28:15 to
// 0xFFFFFFFF. Characters after the fourteenth are not read.
std::optional<uint32_t> ParseTimeText(std::string_view text);

// A -f or -t text as UTC seconds. A text of digits only is read as
// ParseTimeText reads it. Beside it the ISO 8601 forms people type are read
// as the digit form they stand for: YYYY-MM-DD, optionally followed by T or
// one space and HH:MM or HH:MM:SS, and after a time a Z. Every other text
// (lower-case t or z, blanks, signs, other separators, fractions, offsets,
// a month or day of 00 in the ISO form) is refused: read like atoi, such
// texts gave a time the user never meant.
std::optional<uint32_t> ParseOptionTime(std::string_view text);

// Fills the window from the options. `now` is the current UTC time in
// seconds (for -d and -r); their window starts no earlier than 0 and no later
// than 0xFFFFFFFF, whatever the count. The -f and -t texts are read by
// ParseOptionTime. The -t bound is exclusive: the window ends one second
// before it. Returns the text that could not be read as a time, if any, and
// leaves the filter unchanged then.
std::optional<std::string> SetTimeFilter(TimeFilter& filter, FilterType type, int32_t count, std::string_view from_text,
                                         std::string_view to_text, uint32_t now);

// The name test of a repository file: characters 15..28 and 29..42 of the
// name hold the UTC stamps of its first and last event; the file passes when
// [first, last] meets [from, to]. Names too short for both stamps, or whose
// stamps are no valid times, pass (their events are still tested one by one).
bool IsFileInTimeFilter(const TimeFilter& filter, std::string_view file_name);

}  // namespace tallymere
