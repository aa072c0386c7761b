#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace tallymere::platform {

namespace {

// Waits until a non-blocking descriptor takes more bytes.
bool WaitWritable(int fd) {
  pollfd wanted{fd, POLLOUT, 0};
  for (;;) {
    if (poll(&wanted, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

void InitConsole() {
  // A standard descriptor that was closed when the program started would
  // be handed out again by the first open(), and the report would go into
  // whatever file or folder that was. It is held by /dev/null opened for
  // reading instead, so a write to it still fails as it should (EBADF).
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd) close(held);  // a lower one was free: it took that
  }
}

bool IsTerminal(Stream stream) { return isatty(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO) == 1; }

bool ShareTerminal() {
  struct stat out {
  }, err{};
  return IsTerminal(Stream::kOut) && IsTerminal(Stream::kErr) && fstat(STDOUT_FILENO, &out) == 0 &&
         fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

unsigned TerminalColumns(Stream stream) {
  winsize size{};
  if (ioctl(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

bool WriteRaw(Stream stream, std::string_view bytes, std::string& error_text) {
  const int fd = stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable(fd)) continue;
    error_text = std::strerror(n < 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace tallymere::platform
