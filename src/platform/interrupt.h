// Ending the program by an interrupt with the terminal left tidy.
//
// Ctrl-C (SIGINT) and SIGTERM end the program at once, as they always have;
// the actions added here run first, so the status line can be taken off the
// screen and an unfinished output file removed. On Windows the same holds
// for Ctrl-C, Ctrl-Break and closing the console. SIGKILL (and a Windows
// process ended from outside) cannot be caught: nothing runs then.
#pragma once

#include <cstddef>

namespace tallymere::platform {

// Runs in a signal handler (POSIX) or on a thread of its own while the
// others go on (Windows): it may only use lock-free atomics, the two calls
// below and system calls that are safe in a signal handler (such as
// unlinkat), and must not allocate or lock.
using InterruptAction = void (*)();

// As many actions as may be added; they are kept in a fixed table, so the
// handler needs no memory of its own.
constexpr size_t kMostInterruptActions = 4;

// Has `action` run when the program is interrupted, before it ends as it
// would have without it (killed by the signal, or the console's default
// end). The actions run in the order they were first added, each once; an
// action added again is not added twice. The first call installs the
// handlers. A signal the program was started to ignore (a background job of
// a shell without job control ignores SIGINT) stays ignored. False when the
// system refused the handlers or the table is full.
bool RunOnInterrupt(InterruptAction action);

// For the action: writes the bytes to standard error, without allocating,
// locking or retrying beyond an interrupted or short write. A failure is
// ignored: the program is ending.
void WriteErrOnInterrupt(const char* bytes, size_t length);

// For the action: lets about a millisecond pass.
void PauseOnInterrupt();

}  // namespace tallymere::platform
