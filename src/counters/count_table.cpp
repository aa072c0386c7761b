#include "counters/count_table.h"

namespace tallymere {

namespace {
constexpr size_t kInitialCapacity = 1024;  // a power of two
}

size_t CountTable::Hash(const KeyPath& key) {
  uint64_t low = (static_cast<uint64_t>(key[0]) << 32) | key[1];
  uint64_t high = (static_cast<uint64_t>(key[2]) << 32) | key[3];
  uint64_t h = low * 0x9E3779B97F4A7C15ULL ^ (high + 0xBF58476D1CE4E5B9ULL);
  h ^= h >> 29;
  h *= 0x94D049BB133111EBULL;
  h ^= h >> 32;
  return static_cast<size_t>(h);
}

size_t CountTable::Increment(const KeyPath& key) {
  // Grow at a load of 3/4 so probe runs stay short.
  if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
  const size_t mask = slots_.size() - 1;
  for (size_t position = Hash(key) & mask;; position = (position + 1) & mask) {
    Slot& slot = slots_[position];
    if (slot.count == 0) {
      slot.key = key;
      slot.count = 1;
      ++size_;
      return position;
    }
    if (SameKey(slot.key, key)) {
      ++slot.count;
      return position;
    }
  }
}

void CountTable::Grow() {
  std::vector<Slot> old(slots_.empty() ? kInitialCapacity : slots_.size() * 2, Slot{});
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.count == 0) continue;
    size_t position = Hash(slot.key) & mask;
    while (slots_[position].count != 0) position = (position + 1) & mask;
    slots_[position] = slot;
  }
}

std::vector<CountTable::Slot> CountTable::Entries() const {
  std::vector<Slot> entries;
  entries.reserve(size_);
  for (const Slot& slot : slots_) {
    if (slot.count != 0) entries.push_back(slot);
  }
  return entries;
}

}  // namespace tallymere
