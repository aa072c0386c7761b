// The footer properties that counting needs, read once per footer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tallymere {

// A footer's properties by name, ordered by UTF-16 code units; a repeated
// name keeps its first value.
using FooterProperties = std::map<std::u16string, std::u16string, std::less<>>;

// A property value read as an unsigned 32-bit decimal the way the C library
// reads one: leading white space, an optional sign (a minus negates modulo
// 2^32), digits up to the first other character. Nothing without digits or
// beyond 32 bits.
std::optional<uint32_t> PropertyNumber(std::u16string_view text);

struct FooterPropInfo {
  uint32_t ulEventNum = 0;    // "EventsCount"
  uint32_t PlatformID = 0;    // "PlatformID": 610 keeps all 32 bits of event IDs
  uint32_t ComputerType = 0;  // "ComputerType"
  // Three texts, of which only the third is filled: "UnderDataSource", the
  // log of every event of the footer.
  std::u16string strings[3];

  const std::u16string& UnderDataSource() const { return strings[2]; }
};

}  // namespace tallymere
