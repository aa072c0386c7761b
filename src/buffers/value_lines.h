// Value lines of the diagnostics: a number in decimal and in hexadecimal.
#pragma once

#include <cstdint>

namespace tallymere {

// "255 (0x000000FF)\n" on standard output.
void PrintU32WithHex(uint32_t value);
// The same with 16 hexadecimal digits.
void PrintU64WithHex(uint64_t value);

}  // namespace tallymere
