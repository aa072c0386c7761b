#include "platform/platform.h"

namespace tallymere::platform {

// Without module version records the numbers come from the build.
bool GetProgramVersion(uint16_t (&parts)[4]) {
  parts[0] = TALLYMERE_VERSION_MAJOR;
  parts[1] = TALLYMERE_VERSION_MINOR;
  parts[2] = TALLYMERE_VERSION_PATCH;
  parts[3] = TALLYMERE_VERSION_BUILD;
  return true;
}

}  // namespace tallymere::platform
