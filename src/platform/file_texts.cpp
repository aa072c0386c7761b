#include <string>

#include "platform/platform.h"

namespace tallymere::platform {

std::string ShrankWhileReadText(uint64_t read, uint64_t expected) {
  return "The file shrank while it was read (" + std::to_string(read) + " of " + std::to_string(expected) + " bytes)";
}

const char kNotRegularFileText[] = "Not a regular file";

}  // namespace tallymere::platform
