// The footer properties that counting needs, read once per footer.
#pragma once

#include <cstdint>
#include <string>

namespace tallymere {

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
