#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace tallymere::platform {

void InitConsole() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

void WriteRaw(Stream stream, std::string_view bytes) {
  const int fd = stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed pipe or a full disk: nothing more can be shown
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace tallymere::platform
