// Text for the HTML page: names from the repository escaped for HTML text
// and for JSON inside the page's data block, and counts, shares and field
// names written for people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallymere {

// UTF-8 text as HTML text or an attribute value in quotes: & < > " ' as
// character references, control characters (U+0000 to U+001F, U+007F) as
// their visible pictures (U+2400 on, U+2421), and each byte that is no part
// of valid UTF-8 as U+FFFD.
void AppendHtmlText(std::string& out, std::string_view text);

// UTF-8 text as a JSON string in quotes that is safe inside a <script>
// element: besides " and \, the characters < > & (so that no "</script" or
// "<!--" can appear), control characters (C0, DEL and C1), U+2028 and U+2029
// are written as \uXXXX; each byte that is no part of valid UTF-8 becomes
// \ufffd.
void AppendJsonString(std::string& out, std::string_view text);

namespace page_text {

void AppendDecimal(std::string& out, uint64_t value);
// "1,234,567": counts for people.
std::string Grouped(uint64_t value);
// A value in hundredths or tenths as "12.34" or "12.3", rounded; NaN and
// negative values as 0, huge ones capped (no run or count comes near).
std::string Fixed(double value, int decimals);
// The share of `part` in `whole` in percent, one decimal; a share that
// rounds to nothing but is not nothing says so.
std::string Share(uint64_t part, uint64_t whole);
// "1 file", "2,048 files".
std::string Counted(uint64_t count, std::string_view one, std::string_view many);
// A report field's name as a column heading: "event_id" is "Event ID".
std::string FieldTitle(std::string_view field);
// The same within a sentence: "log", "event ID".
std::string FieldWords(std::string_view field);

}  // namespace page_text

}  // namespace tallymere
