#include <atomic>

#include "platform/interrupt.h"
#include "platform/interrupt_actions.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

namespace {

std::atomic<bool> g_installed{false};
std::atomic<bool> g_install_refused{false};

// Runs on a thread the system starts for the event. FALSE passes the event
// on to the default handler, which ends the process as before.
BOOL WINAPI OnConsoleControl(DWORD /*event*/) {
  RunInterruptActions();
  return FALSE;
}

}  // namespace

bool RunOnInterrupt(InterruptAction action) {
  // Added before the handler exists, so that it never runs without it.
  const bool added = AddInterruptAction(action);
  if (!g_installed.exchange(true)) g_install_refused.store(SetConsoleCtrlHandler(OnConsoleControl, TRUE) == 0);
  return added && !g_install_refused.load();
}

void WriteErrOnInterrupt(const char* bytes, size_t length) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(length), &written, nullptr) || written == 0) return;
    bytes += written;
    length -= written;
  }
}

void PauseOnInterrupt() { Sleep(1); }

}  // namespace tallymere::platform
