// Which levels of a key path the count map stores, and how.
//
// A grouping's levels after the first are not all worth storing: those it
// lacks hold 0, and the one whose value is the group of the slot's
// partition (the log, or the event type) is the same for every slot of the
// partition. Two levels left share one word, their low halves stored and
// their high halves made part of the partition's group. Pool ids count up
// from 0, so unless a run meets more than 65,536 computers, categories or
// event IDs, every key path lies in the partitions whose high halves are 0:
// every grouping stores one word instead of three. Over 300 files the peak
// memory of hour/computer/log/event ID fell from 315 to 208 MB, of
// hour/computer/category/event type from 368 to 240 MB (commit 12efe47).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "counters/count_slot.h"

namespace tallymere {

// What a partition's slots share besides the first level: the group's
// value (the log, or the event type) in the low 32 bits, and in the high
// 32 bits the high halves of the two levels its slots pair in one word.
using PartitionGroup = uint64_t;

// The pairing of two levels, `first` and `second`, in one stored word.
// For example, in the hour/computer/log/event ID grouping the log is the
// group, and the computer and the event ID are paired. A computer of id
// 0x0001'2345 and an event ID of id 0x0000'0007 are stored as the word
// LowHalves = 0x2345'0007; their HighHalves 0x0001'0000 go into the
// partition group (0x0001'0000 << 32 | the log's id). Widening joins them
// back: JoinFirst gives 0x0001'2345, JoinSecond 0x0000'0007.
struct LevelPair {
  static uint32_t LowHalves(uint32_t first, uint32_t second) { return (first << 16) | (second & 0xFFFFu); }
  static uint32_t HighHalves(uint32_t first, uint32_t second) { return (first & 0xFFFF0000u) | (second >> 16); }
  static uint32_t JoinFirst(uint32_t high, uint32_t low) { return (high & 0xFFFF0000u) | (low >> 16); }
  static uint32_t JoinSecond(uint32_t high, uint32_t low) { return (high << 16) | (low & 0xFFFFu); }
};

class RestLayout {
 public:
  static constexpr size_t kLevels = kMaxKeyLevels - 1;
  // Every level stored, one word each.
  RestLayout();
  // The levels of a grouping: `level_count` of them, `group` the one whose
  // value is the partition's group, if any. The first level is the
  // partition's too, never stored.
  RestLayout(size_t level_count, std::optional<size_t> group);

  // Words stored per slot besides the count: 1, or kLevels when every
  // level after the first is stored.
  size_t width() const { return width_; }

  // The partition group of a key path whose group's value is `value`.
  PartitionGroup GroupOf(const KeyRest& rest, uint32_t value) const {
    if (!paired_) return value;
    const uint32_t high = LevelPair::HighHalves(rest[first()], rest[second()]);
    return (PartitionGroup{high} << 32) | value;
  }
  // The words a slot stores of `rest`.
  template <size_t W>
  std::array<uint32_t, W> Narrow(const KeyRest& rest) const {
    std::array<uint32_t, W> words;
    for (size_t word = 0; word < W; ++word) words[word] = rest[stored_level_[word]];
    if constexpr (W == 1) {
      if (paired_) words[0] = LevelPair::LowHalves(rest[first()], rest[second()]);
    }
    return words;
  }
  // Every level of a slot's key path after the first, from its words and
  // its partition's group.
  template <size_t W>
  KeyRest Widen(const std::array<uint32_t, W>& words, PartitionGroup group) const {
    // The stored words, then the group's value and a 0: each level picks one.
    std::array<uint32_t, W + 2> sources;
    std::copy(words.begin(), words.end(), sources.begin());
    sources[W] = static_cast<uint32_t>(group);
    sources[W + 1] = 0;
    KeyRest rest;
    for (size_t level = 0; level < kLevels; ++level) rest[level] = sources[source_[level]];
    if constexpr (W == 1) {
      if (paired_) {
        const auto high = static_cast<uint32_t>(group >> 32);
        rest[first()] = LevelPair::JoinFirst(high, words[0]);
        rest[second()] = LevelPair::JoinSecond(high, words[0]);
      }
    }
    return rest;
  }

 private:
  // The paired levels, with paired_.
  size_t first() const { return stored_level_[0]; }
  size_t second() const { return stored_level_[1]; }

  size_t width_ = 0;
  bool paired_ = false;  // two levels in the one word
  // The rest level each stored word holds; with paired_, the two levels of
  // the one word.
  std::array<uint8_t, kLevels> stored_level_{};
  // Per rest level: a stored word, width_ for the group, width_ + 1 for 0.
  std::array<uint8_t, kLevels> source_{};
};

}  // namespace tallymere
