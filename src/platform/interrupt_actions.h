// The table of interrupt actions that both platforms' handlers run (see
// interrupt.h). A fixed array of lock-free atomics: adding takes no lock and
// running allocates nothing, so a signal handler may run them.
#pragma once

#include "platform/interrupt.h"

namespace tallymere::platform {

// Adds `action` to the table unless it is there already. False when the
// table is full.
bool AddInterruptAction(InterruptAction action);

// Runs every action added, in the order they were added.
void RunInterruptActions();

}  // namespace tallymere::platform
