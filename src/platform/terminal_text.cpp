#include "platform/terminal_text.h"

#include <cstdint>

namespace tallymere {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsControl(uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

// A control character, or a byte that is no part of valid UTF-8, as an
// escape.
void AppendEscape(std::string& out, uint32_t value) {
  static constexpr char kLetters[] = "abtnvfr";  // U+0007 to U+000D
  out.push_back('\\');
  if (value >= 0x07 && value <= 0x0D) {
    out.push_back(kLetters[value - 0x07]);
  } else if (value == 0x1B) {
    out.push_back('e');
  } else {
    out.push_back('x');
    out.push_back(kHexDigits[value >> 4]);
    out.push_back(kHexDigits[value & 0xF]);
  }
}

void AppendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return;
  }
  if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
  }
  out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
}

// The length of the valid UTF-8 sequence at text[i] (at least two bytes,
// text[i] >= 0x80) with its code point, or 0 when there is none.
size_t SequenceAt(std::string_view text, size_t i, uint32_t& code_point) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  const size_t length = lead >= 0xC2 && lead < 0xE0   ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
  if (length == 0 || i + length > text.size()) return 0;
  uint32_t c = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are overlong
  if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  code_point = c;
  return length;
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Printable ASCII, most of any path, is copied a run at a time.
    size_t plain = i;
    while (plain < text.size() && !IsControl(static_cast<uint8_t>(text[plain])) &&
           static_cast<uint8_t>(text[plain]) < 0x80) {
      ++plain;
    }
    out.append(text, i, plain - i);
    if (plain == text.size()) return;
    i = plain;
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t code_point = lead;
    const size_t length = lead < 0x80 ? 1 : SequenceAt(text, i, code_point);
    if (length == 0 || IsControl(code_point)) {
      AppendEscape(out, code_point);  // a stray byte's own value when length is 0
      i += length == 0 ? 1 : length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
}

void AppendEscaped(std::string& out, std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (IsControl(c)) {
      AppendEscape(out, c);
    } else {
      AppendCodePoint(out, c);
    }
  }
}

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

std::string Escaped(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

}  // namespace tallymere
