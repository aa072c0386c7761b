// Keys of the grouped counts: what each level of a grouping holds, how keys
// are stored while counting, and the order the report prints them in.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/sync.h"

namespace tallymere {

enum class KeyKind : uint8_t {
  kDay,        // start of the event's UTC day, u32 seconds
  kHour,       // start of the event's UTC hour
  kLog,        // "UnderDataSource" of the footer
  kComputer,   // computer name, a..z upper-cased
  kCategory,   // category name, "N/A" when empty
  kEventType,  // u16
  kEventId,    // event ID after the mask, ordered as a signed 32-bit number
};

inline constexpr size_t kMaxKeyLevels = 4;

// One key path. Every level but a period is held as an id of its kind's
// pool, so a key path is a few small integers and counting allocates
// nothing per event.
using KeyPath = std::array<uint32_t, kMaxKeyLevels>;

// Interned key strings: each distinct string is stored once and named by
// its position. Interning is safe from several threads at once (the tallies
// of worker threads share one pool); Text is for when counting is over.
class StringPool {
 public:
  uint32_t Intern(const std::u16string& text);
  const std::u16string& Text(uint32_t id) const { return texts_[id]; }
  // A copy of the text, safe while other threads intern.
  std::u16string TextWhileCounting(uint32_t id) const;
  size_t size() const { return texts_.size(); }

 private:
  mutable platform::Lock mutex_;
  std::unordered_map<std::u16string, uint32_t> ids_;
  std::vector<std::u16string> texts_;
};

// Interned numeric keys (event IDs and types), named by position likewise.
class ValuePool {
 public:
  uint32_t Intern(uint32_t value);
  uint32_t Value(uint32_t id) const { return values_[id]; }
  size_t size() const { return values_.size(); }

 private:
  platform::Lock mutex_;
  std::unordered_map<uint32_t, uint32_t> ids_;
  std::vector<uint32_t> values_;
};

// The pools of every key kind but the periods, whose value is their key.
struct KeyPools {
  StringPool logs;
  StringPool computers;
  StringPool categories;
  ValuePool event_ids;
  ValuePool event_types;
};

// Hashes a text by its characters, whether held in a string or viewed, so
// that a cache can be asked with a view and no string is made for a hit.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view text) const { return std::hash<std::u16string_view>{}(text); }
};

// A thread's memory of the ids it has interned, in front of a shared pool:
// most keys recur part after part, and are then found without a lock.
template <class Key, class Pool>
class PoolCache {
 public:
  explicit PoolCache(Pool& pool) : pool_(pool) {}
  // `key` is a Key or, for texts, a view of one.
  template <class Lookup>
  uint32_t Intern(const Lookup& key) {
    const auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    const Key owned(key);
    const uint32_t id = pool_.Intern(owned);
    ids_.emplace(owned, id);
    return id;
  }

 private:
  using Map = std::conditional_t<std::is_same_v<Key, std::u16string>,
                                 std::unordered_map<Key, uint32_t, TextHash, std::equal_to<>>,
                                 std::unordered_map<Key, uint32_t>>;
  Pool& pool_;
  Map ids_;
};

// "2018-03-07" for a day key, "2018-03-07 14:00" for an hour key (UTC).
std::string FormatDay(uint32_t seconds);
std::string FormatHour(uint32_t seconds);
// "YYYY-MM-DD HH:MM:SS" of the UTC second.
std::string FormatSecond(uint32_t seconds);

// Computer names are upper-cased for the ASCII letters only.
void UpperCaseAscii(std::u16string& text);

}  // namespace tallymere
