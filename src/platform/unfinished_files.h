// The table of temporary files that the interrupt handlers and the fatal
// stops remove (see replacing_file.h). It is shared by both platforms'
// ReplacingFile; what a file is removed by is each platform's own.
//
// The handler may run on any thread, while the file's owner goes on: so the
// table holds each file in a slot whose state says who may touch it. The
// owner arms the slot once the file exists and disarms it when the file is
// renamed or removed; a removal claims an armed slot before it reads what
// it points to, and the owner frees that only once its slot is disarmed.
#pragma once

namespace tallymere::platform {

// How one platform removes a temporary file without allocating: prepared
// before the file is armed, kept by its owner until it is disarmed.
struct RemovalTarget;

// Removes the file, allocating nothing and taking no lock. A failure is
// ignored: the program is ending.
void RemoveTarget(const RemovalTarget& target);

constexpr int kNoRemovalSlot = -1;

// Arms the removal of `target`; its slot, or kNoRemovalSlot when every slot
// is taken. The first call also has the interrupt handlers remove it.
int ArmRemoval(const RemovalTarget* target);

// Takes the slot out of the table. True when the owner may now free the
// target; false when a removal on another thread is reading it at this
// moment, which ends the program: the target is then to be left alone.
bool DisarmRemoval(int slot);

}  // namespace tallymere::platform
