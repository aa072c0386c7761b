#include "buffers/value_lines.h"

#include <cstdio>

#include "platform/output.h"

namespace tallymere {

void PrintU32WithHex(uint32_t value) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", value);
  Out() << value << " (0x" << hex << ")\n";
}

void PrintU64WithHex(uint64_t value) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(value));
  Out() << value << " (0x" << hex << ")\n";
}

}  // namespace tallymere
