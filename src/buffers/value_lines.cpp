#include "buffers/value_lines.h"

#include <cstdio>

namespace tallymere {

void PrintU32WithHex(TextOut& out, uint32_t value) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", value);
  out << value << " (0x" << hex << ")\n";
}

void PrintU64WithHex(TextOut& out, uint64_t value) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(value));
  out << value << " (0x" << hex << ")\n";
}

}  // namespace tallymere
