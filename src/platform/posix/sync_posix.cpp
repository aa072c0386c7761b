#include <pthread.h>

#include <new>

#include "platform/sync.h"

namespace tallymere::platform {

namespace {

pthread_mutex_t* MutexOf(unsigned char* state) { return std::launder(reinterpret_cast<pthread_mutex_t*>(state)); }
pthread_cond_t* CondOf(unsigned char* state) { return std::launder(reinterpret_cast<pthread_cond_t*>(state)); }

}  // namespace

Lock::Lock() {
  static_assert(sizeof(pthread_mutex_t) <= sizeof(state_) && alignof(pthread_mutex_t) <= 16);
  pthread_mutex_init(new (state_) pthread_mutex_t, nullptr);
}
Lock::~Lock() { pthread_mutex_destroy(MutexOf(state_)); }
void Lock::lock() { pthread_mutex_lock(MutexOf(state_)); }
void Lock::unlock() { pthread_mutex_unlock(MutexOf(state_)); }

Condition::Condition() {
  static_assert(sizeof(pthread_cond_t) <= sizeof(state_) && alignof(pthread_cond_t) <= 16);
  pthread_cond_init(new (state_) pthread_cond_t, nullptr);
}
Condition::~Condition() { pthread_cond_destroy(CondOf(state_)); }
void Condition::Wait(Lock& lock) { pthread_cond_wait(CondOf(state_), MutexOf(lock.state_)); }
void Condition::NotifyOne() { pthread_cond_signal(CondOf(state_)); }
void Condition::NotifyAll() { pthread_cond_broadcast(CondOf(state_)); }

}  // namespace tallymere::platform
