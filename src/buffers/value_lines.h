// Value lines of the diagnostics: a number in decimal and in hexadecimal.
#pragma once

#include <cstdint>

#include "platform/output.h"

namespace tallymere {

// "255 (0x000000FF)\n" on `out`.
void PrintU32WithHex(TextOut& out, uint32_t value);
// The same with 16 hexadecimal digits.
void PrintU64WithHex(TextOut& out, uint64_t value);

}  // namespace tallymere
