// The forms a report can take, and the text of one field in each.
//
// The plain report is the program's own: fields joined by commas, no
// header and no quoting. CSV adds a header of field names and quotes a
// field as RFC 4180 asks, so a spreadsheet or a database reads a name with
// a comma or a line break as one field. JSON Lines gives each row as an
// object keyed by the same names. The HTML page is a summary for people,
// written once the counts are gathered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "counters/count_keys.h"

namespace tallymere {

enum class ReportFormat : uint8_t { kText, kCsv, kJsonLines, kHtml };

// The format a --format word names, or nothing for a word that names none.
std::optional<ReportFormat> ReportFormatNamed(std::string_view word);

// The field name of a level in the CSV header and the JSON objects: "day",
// "hour", "log", "computer", "category", "event_type", "event_id".
std::string_view FieldName(KeyKind kind);
// The level in words, as the usage names it: "Day", "Event ID".
std::string_view LevelTitle(KeyKind kind);

// The field as CSV holds it: unchanged, or in double quotes with its
// quotes doubled when it holds a comma, a double quote, CR or LF.
std::string CsvField(std::string_view text);
// A JSON string of UTF-8 text: quotes, backslashes and control characters
// escaped; a byte that is no part of valid UTF-8 becomes U+FFFD, so the
// line stays valid UTF-8 whatever it is given.
std::string JsonString(std::string_view text);

}  // namespace tallymere
