// Decimal numbers in text, read the way the C library's conversions read
// them: leading white space, an optional sign, then the digits up to the
// first other character. Every reader of numbers in the program (options,
// time texts, property values, part indexes) starts here and then states
// its own rule for a number outside its range.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallymere {

template <class Char>
struct DecimalText {
  bool negative = false;
  std::basic_string_view<Char> digits;  // empty when the text holds none
};

template <class Char>
DecimalText<Char> ReadDecimalText(std::basic_string_view<Char> text) {
  const auto is_space = [](Char c) { return c == Char(' ') || (c >= Char('\t') && c <= Char('\r')); };
  const auto is_digit = [](Char c) { return c >= Char('0') && c <= Char('9'); };
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  DecimalText<Char> result;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) result.negative = text[i++] == Char('-');
  size_t end = i;
  while (end < text.size() && is_digit(text[end])) ++end;
  result.digits = text.substr(i, end - i);
  return result;
}

// The digits' value, or `most` + 1 for any larger one (`most` below 2^64 - 1).
template <class Char>
uint64_t DigitsValue(std::basic_string_view<Char> digits, uint64_t most) {
  uint64_t value = 0;
  for (Char digit : digits) {
    value = value * 10 + static_cast<uint64_t>(digit - Char('0'));
    if (value > most) return most + 1;
  }
  return value;
}

}  // namespace tallymere
