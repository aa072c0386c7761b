#include "platform/interrupt_actions.h"

#include <array>
#include <atomic>

namespace tallymere::platform {

namespace {

static_assert(std::atomic<InterruptAction>::is_always_lock_free);
std::array<std::atomic<InterruptAction>, kMostInterruptActions> g_actions{};

}  // namespace

bool AddInterruptAction(InterruptAction action) {
  // Every caller claims slots in the same order, so an action that another
  // thread adds at the same time is found, not added twice.
  for (auto& slot : g_actions) {
    InterruptAction found = nullptr;
    if (slot.compare_exchange_strong(found, action) || found == action) return true;
  }
  return false;
}

void RunInterruptActions() {
  for (auto& slot : g_actions) {
    if (InterruptAction action = slot.load()) action();
  }
}

}  // namespace tallymere::platform
