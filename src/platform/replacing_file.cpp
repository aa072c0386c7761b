// What both platforms' ReplacingFile share: the table of files to remove
// when the program is ended, and the temporary file's name.
#include "platform/replacing_file.h"

#include <array>
#include <atomic>
#include <chrono>

#include "platform/hash_mix.h"
#include "platform/interrupt.h"
#include "platform/unfinished_files.h"

namespace tallymere::platform {

namespace {

// A program writes one report; a few more slots cost nothing.
constexpr size_t kMostUnfinishedFiles = 8;

enum SlotState : uint8_t {
  kFree,
  kFilling,   // its owner is arming or disarming it
  kArmed,     // the file is there, the removal may take it
  kRemoving,  // a removal has claimed it and reads its target
  kRemoved,   // removed; its owner frees it
};

struct RemovalSlot {
  std::atomic<uint8_t> state{kFree};
  std::atomic<const RemovalTarget*> target{nullptr};
};
static_assert(std::atomic<uint8_t>::is_always_lock_free && std::atomic<const RemovalTarget*>::is_always_lock_free);

std::array<RemovalSlot, kMostUnfinishedFiles> g_slots;

}  // namespace

int ArmRemoval(const RemovalTarget* target) {
  // Refused, an interrupt leaves the temporary file behind, as SIGKILL does.
  static_cast<void>(RunOnInterrupt(RemoveUnfinishedFiles));
  for (size_t i = 0; i < g_slots.size(); ++i) {
    uint8_t free = kFree;
    if (!g_slots[i].state.compare_exchange_strong(free, kFilling)) continue;
    g_slots[i].target.store(target);
    g_slots[i].state.store(kArmed);
    return static_cast<int>(i);
  }
  return kNoRemovalSlot;
}

bool DisarmRemoval(int slot) {
  if (slot == kNoRemovalSlot) return true;
  RemovalSlot& at = g_slots[static_cast<size_t>(slot)];
  uint8_t state = kArmed;
  if (!at.state.compare_exchange_strong(state, kFilling) && state != kRemoved) return false;
  at.target.store(nullptr);
  at.state.store(kFree);
  return true;
}

void RemoveUnfinishedFiles() {
  for (RemovalSlot& slot : g_slots) {
    uint8_t armed = kArmed;
    if (!slot.state.compare_exchange_strong(armed, kRemoving)) continue;
    RemoveTarget(*slot.target.load());
    slot.state.store(kRemoved);
  }
}

std::string TemporaryFileName(std::string_view name, uint64_t seed) {
  constexpr size_t kLongestKept = 255 - 12;
  if (name.size() > kLongestKept) {
    size_t cut = kLongestKept;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  static constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string temporary = ".";
  temporary.append(name).append(".tmp-");
  for (int i = 0; i < 6; ++i) {
    temporary.push_back(kLetters[seed % kLetters.size()]);
    seed /= kLetters.size();
  }
  return temporary;
}

uint64_t TemporaryNameSeed(uint64_t process) {
  static std::atomic<uint64_t> counter{0};
  const auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  // Mixed twice, so that every input bit reaches the six letters.
  return HashMix(HashMix(process ^ (counter.fetch_add(1) << 32)) + ticks);
}

}  // namespace tallymere::platform
