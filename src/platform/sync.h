// A lock and a condition to wait on, of the system's lightest kind: POSIX
// threads' own, and on Windows slim reader/writer locks and condition
// variables, which wait without a round trip to a server (under wine too,
// where the standard library's threads wait through its server).
#pragma once

#include <cstddef>

namespace tallymere::platform {

// Usable with std::lock_guard and std::unique_lock.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock();
  void unlock();

 private:
  friend class Condition;
  alignas(16) unsigned char state_[64];
};

class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // With the lock held: releases it, waits for a notification (or wakes
  // spuriously), and takes it again.
  void Wait(Lock& lock);
  template <class Ready>
  void Wait(Lock& lock, Ready ready) {
    while (!ready()) Wait(lock);
  }
  void NotifyOne();
  void NotifyAll();

 private:
  alignas(16) unsigned char state_[64];
};

}  // namespace tallymere::platform
