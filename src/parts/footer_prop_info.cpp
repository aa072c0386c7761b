#include "parts/footer_prop_info.h"

#include <limits>

#include "platform/decimal_text.h"

namespace tallymere {

std::optional<uint32_t> PropertyNumber(std::u16string_view text) {
  const DecimalText<char16_t> number = ReadDecimalText(text);
  if (number.digits.empty()) return std::nullopt;
  const uint64_t value = DigitsValue(number.digits, std::numeric_limits<uint32_t>::max());
  if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto magnitude = static_cast<uint32_t>(value);
  return number.negative ? 0u - magnitude : magnitude;  // a minus negates modulo 2^32
}

}  // namespace tallymere
