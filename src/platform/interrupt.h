// Ending the program by an interrupt with the terminal left tidy.
//
// Ctrl-C (SIGINT) and SIGTERM end the program at once, as they always have;
// the action installed here runs first, so the status line can be taken off
// the screen. On Windows the same holds for Ctrl-C, Ctrl-Break and closing
// the console.
#pragma once

#include <cstddef>

namespace tallymere::platform {

// Runs in a signal handler (POSIX) or on a thread of its own while the
// others go on (Windows): it may only use lock-free atomics and the two
// calls below, and must not allocate or lock.
using InterruptAction = void (*)();

// Has `action` run when the program is interrupted, before it ends as it
// would have without it (killed by the signal, or the console's default
// end). Installs once; later calls do nothing. A signal the program was
// started to ignore (a background job of a shell without job control
// ignores SIGINT) stays ignored. False when the system refused.
bool RunOnInterrupt(InterruptAction action);

// For the action: writes the bytes to standard error, without allocating,
// locking or retrying beyond an interrupted or short write. A failure is
// ignored: the program is ending.
void WriteErrOnInterrupt(const char* bytes, size_t length);

// For the action: lets about a millisecond pass.
void PauseOnInterrupt();

}  // namespace tallymere::platform
