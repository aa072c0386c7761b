// The count of every key path, in an open-addressing hash table.
//
// A run may count tens of millions of events into millions of distinct key
// paths, so the table keeps keys and counts inline in one array (no node per
// key) and probes linearly. A count of 0 marks an empty slot: a key is only
// stored together with its first count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "counters/count_keys.h"

namespace tallymere {

class CountTable {
 public:
  struct Slot {
    KeyPath key;
    uint64_t count;
  };

  // Adds 1 to the count of `key` and returns the slot's position; the
  // position stays valid until the table grows (see capacity()).
  size_t Increment(const KeyPath& key);
  void IncrementAt(size_t position) { ++slots_[position].count; }

  size_t size() const { return size_; }
  size_t capacity() const { return slots_.size(); }
  // Every stored key with its count, in no particular order.
  std::vector<Slot> Entries() const;

 private:
  static size_t Hash(const KeyPath& key);
  void Grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace tallymere
