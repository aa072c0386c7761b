#include <string>

#include "platform/platform.h"

namespace tallymere::platform {

// Uninitialised: every byte is overwritten by the read before it is used.
OwnedFileContent::OwnedFileContent(uint64_t size)
    : bytes_(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size))), size_(size) {}

std::string ShrankWhileReadText(uint64_t read, uint64_t expected) {
  return "The file shrank while it was read (" + std::to_string(read) + " of " + std::to_string(expected) +
         " bytes)";
}

const char kNotRegularFileText[] = "Not a regular file";

}  // namespace tallymere::platform
