#include "counters/page_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/utf8.h"

namespace tallymere {

namespace {

// ---- Text -------------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

// Appends UTF-8 text: runs of characters that `special` leaves alone are
// copied as they are, each one it picks is written by `write`, and each byte
// that is no part of valid UTF-8 is written by `write` as U+FFFD.
template <class Special, class Write>
void AppendWalked(std::string& out, std::string_view text, Special special, Write write) {
  size_t run = 0;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t c = static_cast<uint8_t>(text[i]);
    size_t length = 1;
    bool picked = false;
    if (c >= 0x80) {
      length = MultiByteSequenceAt(text, i, c);
      if (length == 0) {
        length = 1;
        c = kReplacementCharacter;
        picked = true;
      }
    }
    if (picked || special(c)) {
      out.append(text.substr(run, i - run));
      write(out, c);
      run = i + length;
    }
    i += length;
  }
  out.append(text.substr(run));
}

void AppendHtmlCharacter(std::string& out, uint32_t c) {
  switch (c) {
    case '&': out += "&amp;"; return;
    case '<': out += "&lt;"; return;
    case '>': out += "&gt;"; return;
    case '"': out += "&quot;"; return;
    case '\'': out += "&#39;"; return;
    case 0x7F: AppendCodePoint(out, 0x2421); return;           // the picture of DEL
    default: AppendCodePoint(out, c < 0x20 ? 0x2400 + c : c);  // the pictures of C0 controls
  }
}

void AppendJsonEscape(std::string& out, uint32_t c) {
  if (c == '"' || c == '\\') {
    out.push_back('\\');
    out.push_back(static_cast<char>(c));
    return;
  }
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHexDigits[(c >> shift) & 0xF]);
}

}  // namespace

void AppendHtmlText(std::string& out, std::string_view text) {
  const auto special = [](uint32_t c) {
    return c < 0x20 || c == 0x7F || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'';
  };
  AppendWalked(out, text, special, AppendHtmlCharacter);
}

void AppendJsonString(std::string& out, std::string_view text) {
  const auto special = [](uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&' ||
           c == 0x2028 || c == 0x2029;
  };
  out.push_back('"');
  AppendWalked(out, text, special, AppendJsonEscape);
  out.push_back('"');
}

namespace page_text {

// ---- Numbers ----------------------------------------------------------------

void AppendDecimal(std::string& out, uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// "1,234,567": counts for people.
std::string Grouped(uint64_t value) {
  std::string digits;
  AppendDecimal(digits, value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

// A value in hundredths or tenths as "12.34" or "12.3", rounded; NaN and
// negative values as 0, huge ones capped (no run or count comes near).
std::string Fixed(double value, int decimals) {
  const double scale = decimals == 2 ? 100.0 : 10.0;
  const double scaled = value > 0 ? std::min(std::round(value * scale), 1e15) : 0.0;
  const auto units = static_cast<uint64_t>(scaled);
  const auto whole = static_cast<uint64_t>(scale);
  std::string text = Grouped(units / whole);
  text.push_back('.');
  std::string fraction;
  AppendDecimal(fraction, units % whole);
  if (decimals == 2 && fraction.size() < 2) text.push_back('0');
  return text + fraction;
}

// The share of `part` in `whole` in percent, one decimal; a share that
// rounds to nothing but is not nothing says so.
std::string Share(uint64_t part, uint64_t whole) {
  if (whole == 0) return "0.0%";
  const double percent = static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  if (part > 0 && percent < 0.05) return "< 0.1%";
  return Fixed(percent, 1) + "%";
}

std::string Counted(uint64_t count, std::string_view one, std::string_view many) {
  return Grouped(count) + " " + std::string(count == 1 ? one : many);
}

// ---- Words ------------------------------------------------------------------

// A report field's name as a column heading: "event_id" is "Event ID".
std::string FieldTitle(std::string_view field) {
  if (field == "event_id") return "Event ID";
  std::string title(field);
  for (char& c : title) {
    if (c == '_') c = ' ';
  }
  if (!title.empty() && title[0] >= 'a' && title[0] <= 'z') title[0] = static_cast<char>(title[0] - 'a' + 'A');
  return title;
}

// The same within a sentence: "log", "event ID".
std::string FieldWords(std::string_view field) {
  std::string words = FieldTitle(field);
  if (words.size() > 1 && words[1] >= 'a' && words[1] <= 'z') words[0] = static_cast<char>(words[0] - 'A' + 'a');
  return words;
}

}  // namespace page_text

}  // namespace tallymere
