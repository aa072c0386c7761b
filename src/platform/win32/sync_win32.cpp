#include <new>

#include "platform/sync.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

namespace {

SRWLOCK* LockOf(unsigned char* state) { return std::launder(reinterpret_cast<SRWLOCK*>(state)); }
CONDITION_VARIABLE* CondOf(unsigned char* state) { return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(state)); }

}  // namespace

Lock::Lock() {
  static_assert(sizeof(SRWLOCK) <= sizeof(state_));
  InitializeSRWLock(new (state_) SRWLOCK);
}
Lock::~Lock() = default;  // a slim lock holds nothing to release
void Lock::lock() { AcquireSRWLockExclusive(LockOf(state_)); }
void Lock::unlock() { ReleaseSRWLockExclusive(LockOf(state_)); }

Condition::Condition() {
  static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(state_));
  InitializeConditionVariable(new (state_) CONDITION_VARIABLE);
}
Condition::~Condition() = default;
void Condition::Wait(Lock& lock) { SleepConditionVariableSRW(CondOf(state_), LockOf(lock.state_), INFINITE, 0); }
void Condition::NotifyOne() { WakeConditionVariable(CondOf(state_)); }
void Condition::NotifyAll() { WakeAllConditionVariable(CondOf(state_)); }

}  // namespace tallymere::platform
