#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/interrupt.h"
#include "platform/interrupt_actions.h"

namespace tallymere::platform {

namespace {

std::atomic<bool> g_installed{false};
std::atomic<bool> g_install_refused{false};

// The actions, then the signal again at its default: the program ends by
// it, with the status the shell and any parent have always seen.
extern "C" void OnStopSignal(int signal_number) {
  const int saved_errno = errno;
  RunInterruptActions();
  // SA_RESETHAND has put the default back; the signal stays blocked until
  // this handler returns, and then ends the process.
  raise(signal_number);
  errno = saved_errno;
}

bool Install(int signal_number) {
  struct sigaction current {};
  if (sigaction(signal_number, nullptr, &current) != 0) return false;
  if (current.sa_handler == SIG_IGN) return true;
  struct sigaction wanted {};
  wanted.sa_handler = OnStopSignal;
  wanted.sa_flags = SA_RESETHAND | SA_RESTART;
  // Both stop signals wait while one is handled: the action runs once.
  if (sigemptyset(&wanted.sa_mask) != 0 || sigaddset(&wanted.sa_mask, SIGINT) != 0 ||
      sigaddset(&wanted.sa_mask, SIGTERM) != 0) {
    return false;
  }
  return sigaction(signal_number, &wanted, nullptr) == 0;
}

}  // namespace

bool RunOnInterrupt(InterruptAction action) {
  // Added before the handlers exist, so that they never run without it.
  const bool added = AddInterruptAction(action);
  if (!g_installed.exchange(true)) {
    const bool interrupt = Install(SIGINT);
    const bool terminate = Install(SIGTERM);
    g_install_refused.store(!(interrupt && terminate));
  }
  return added && !g_install_refused.load();
}

void WriteErrOnInterrupt(const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(STDERR_FILENO, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
}

void PauseOnInterrupt() { poll(nullptr, 0, 1); }

}  // namespace tallymere::platform
