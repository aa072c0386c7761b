#include "platform/terminal_text.h"

#include <cstdint>

#include "platform/utf8.h"

namespace tallymere {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsControl(uint32_t code_point) { return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F); }

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
    const size_t length = lead < 0x80 ? 1 : MultiByteSequenceAt(text, i, code_point);
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
  for (size_t i = 0; i < text.size();) {
    const uint32_t c = NextUtf16CodePoint(text, i);
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
