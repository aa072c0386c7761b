// The count of every key path.
//
// A run may count tens of millions of events into millions of distinct key
// paths. The key paths are split by their first level (the day or hour in the
// period groupings, else the log) and by a group: the log of the events, or
// their event type in the groupings that have one but no log. Repository
// files hold their events in time order and the walk visits one log's folder
// after another, so the events of a stretch of time land in the few
// partitions of their periods, and the report sorts one first level at a
// time.
//
// A partition is a list of (key path, count) slots that only grows at its
// end: counting a key path the caller has not seen lately is a store to the
// next slot of its part's table, and adding a part is a copy to the ends of
// partitions. A hash table put each new key path at a random place of ever
// new memory, a cache miss for nearly every event of the groupings whose
// events are mostly new key paths. The caller's memo catches most repeats;
// the slots of a key path it misses are summed when a large partition fills
// up, and for the report.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "buffers/block_pool.h"
#include "counters/count_keys.h"

namespace tallymere {

// The levels of a key path after the first one.
using KeyRest = std::array<uint32_t, kMaxKeyLevels - 1>;

inline bool SameRest(const KeyRest& a, const KeyRest& b) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) == 0;
}

// One stored key path after its first level, with its count: W words and
// the count, so that four or eight fit a cache line. A count of 0 marks an
// empty slot, since a key is only stored together with its first count. A
// count stops at kFull; the key path then goes on in a new slot, and the
// report sums the slots of a key path in 64 bits.
template <size_t W>
struct Slot {
  static constexpr uint32_t kFull = UINT32_MAX;

  std::array<uint32_t, W> rest;
  uint32_t count;

  bool empty() const { return count == 0; }
  // Adds 1 unless the count is full.
  bool TryIncrement() {
    if (count == kFull) return false;
    ++count;
    return true;
  }
};

// Slot lists grow to megabytes and are freed as they are merged and read:
// their large blocks come from the block pool, so that they are used again
// rather than given back to the system and faulted in anew.
template <size_t W>
using SlotListOf = std::vector<Slot<W>, PooledAllocator<Slot<W>>>;

// A part's working table and the report's rows hold every level.
using CountSlot = Slot<kMaxKeyLevels - 1>;
using SlotList = SlotListOf<kMaxKeyLevels - 1>;

// What a partition's slots share besides the first level: the group's
// value (the log, or the event type) in the low 32 bits, and in the high
// 32 bits the high halves of the two levels its slots pair in one word.
using PartitionGroup = uint64_t;

// Which levels after the first the count map stores: not those the grouping
// lacks (they hold 0), nor the one whose value is the group of the
// partition the slot is in (the log, or the event type). Two levels left
// share one word: their low halves are stored, their high halves are part
// of the partition's group. Pool ids count up from 0, so nearly every key
// path of a real repository lies in the partitions whose high halves are 0.
// Every grouping then stores one word instead of three: the count map, the
// largest memory of a run, takes half of what it took.
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
    const uint32_t high = (rest[level_of_word_[0]] & 0xFFFF0000u) | (rest[level_of_word_[1]] >> 16);
    return (PartitionGroup{high} << 32) | value;
  }
  template <size_t W>
  std::array<uint32_t, W> Narrow(const KeyRest& rest) const {
    std::array<uint32_t, W> words;
    for (size_t word = 0; word < W; ++word) words[word] = rest[level_of_word_[word]];
    if constexpr (W == 1) {
      if (paired_) words[0] = (words[0] << 16) | (rest[level_of_word_[1]] & 0xFFFFu);
    }
    return words;
  }
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
        rest[level_of_word_[0]] = (high & 0xFFFF0000u) | (words[0] >> 16);
        rest[level_of_word_[1]] = (high << 16) | (words[0] & 0xFFFFu);
      }
    }
    return rest;
  }

 private:
  size_t width_ = 0;
  bool paired_ = false;  // two levels in the one word
  // The rest level each stored word holds; with paired_, the word's high
  // half holds the first and its low half the second.
  std::array<uint8_t, kLevels> level_of_word_{};
  // Per rest level: a stored word, width_ for the group, width_ + 1 for 0.
  std::array<uint8_t, kLevels> source_{};
};

// Finds partitions by first level and group.
class PartitionFinder {
 public:
  // The index recorded for (lead, group); else records `fresh` and returns it.
  uint32_t FindOrAdd(uint32_t lead, PartitionGroup group, uint32_t fresh);
  // Forgets every partition, keeping the memory.
  void Clear();

 private:
  // Open addressing: a map of nodes took one allocation for every
  // partition of every part.
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Entry {
    PartitionGroup group = 0;
    uint32_t lead = 0;
    uint32_t index = kEmpty;
  };
  uint32_t FindOrAddInIndex(uint32_t lead, PartitionGroup group, uint32_t fresh);
  void Grow();
  std::vector<Entry> entries_;  // a power of two, at most half full
  size_t used_ = 0;
  // The partitions found lately: most key paths go to one of the few
  // periods of the part being counted.
  struct Recent {
    PartitionGroup group = 0;
    uint32_t lead = 0;
    uint32_t index = kEmpty;
  };
  static constexpr int kRecentBits = 6;
  std::array<Recent, size_t{1} << kRecentBits> recent_{};
};

// The table a thread counts one part into, then the next. The slots are one
// list in the order counted, and runs say which partition each stretch of
// it belongs to: a part's events come in time order, so its key paths fall
// into few partitions, in long runs. One list rather than one per
// partition, so that the table counts part after part without growing
// again, and each part's counts are copied out (HeldCounts) in one pass.
class PartCountTable {
 public:
  // Partitions as the count map that takes its counts has them.
  explicit PartCountTable(const RestLayout& layout = RestLayout()) : layout_(layout) {}

  struct Partition {
    uint32_t lead = 0;
    PartitionGroup group = 0;
    size_t slots = 0;  // in all of its runs
  };
  struct Run {
    uint32_t partition = 0;  // index into partitions()
    uint32_t end = 0;        // slots [end of the run before, end)
  };

  // Adds `count` (1 to kFull) to the count of `key` in a new slot, and
  // returns the slot's index: incrementing that slot later counts the key
  // path again. Indexes stay valid until Clear, or until an Add that sets
  // `moved`; addresses until the next Add.
  // `group` is the value of the grouping's group level (or the log).
  uint32_t Add(const KeyPath& key, uint32_t group, uint32_t count, bool& moved);
  CountSlot* slots() { return slots_.data(); }
  const CountSlot* slots() const { return slots_.data(); }
  // Forgets every count, keeping the memory for the next part.
  void Clear();
  // Sums the slots of each key path of the part counted, when that has paid
  // lately; every index is void afterwards. A part keeps a slot for every
  // event the caller's memo misses, and where a part's events repeat their
  // key paths out of order (by computer and category, say), summing them
  // here leaves two thirds to a quarter of the slots to hold, add and keep.
  // Where key paths hardly repeat, the next kPartsBetweenTries parts are
  // held as counted before the sort is tried again.
  void SumRepeats();
  static constexpr uint32_t kPartsBetweenTries = 32;

  size_t size() const { return slots_.size(); }
  // Bytes held, counted or not.
  size_t capacity_bytes() const;
  const std::vector<Partition>& partitions() const { return partitions_; }
  const std::vector<Run>& runs() const { return runs_; }
  const RestLayout& layout() const { return layout_; }

 private:
  // Makes room for one more slot. A large part whose key paths repeat
  // beyond what the caller's memo catches would keep a slot per event, so a
  // full table of many slots sums the slots of each key path first (and
  // returns true: every index is void), as the count map does.
  bool MakeRoom();
  // Starts a run of the partition of (lead, group), found or added.
  void StartRun(uint32_t lead, PartitionGroup group);
  void SumKeyPaths();

  RestLayout layout_;
  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  std::vector<Run> runs_;
  SlotList slots_;
  SlotList gathered_;      // working space of SumKeyPaths
  SlotList sort_scratch_;  // of SortSlots
  bool keep_summing_ = true;
  uint32_t parts_until_try_ = 0;  // of SumRepeats; kept by Clear
};

// The counts of one part as they wait for their turn to be added: those
// of a whole file wait until its parse is known to have succeeded. A copy
// of a part table's counts in the count map's layout and in memory of just
// their size, the slots in pieces of middle size: once the part is added,
// the count map's lists grow into those pieces, so a large file's waiting
// counts and the count map they become do not take memory twice.
template <size_t W>
class BasicHeldCounts {
 public:
  BasicHeldCounts() = default;
  // In the table's layout.
  explicit BasicHeldCounts(const PartCountTable& table);

  size_t size() const { return size_; }
  const std::vector<PartCountTable::Partition>& partitions() const { return partitions_; }
  const std::vector<PartCountTable::Run>& runs() const { return runs_; }
  // Calls visit(first, count) for the slots [begin, end), piece by piece.
  template <class Visit>
  void ForEachStretch(uint32_t begin, uint32_t end, Visit&& visit) const {
    while (begin < end) {
      const SlotListOf<W>& piece = pieces_[begin / kPieceSlots];
      const uint32_t offset = begin % kPieceSlots;
      const uint32_t count = std::min<uint32_t>(end - begin, kPieceSlots - offset);
      visit(piece.data() + offset, count);
      begin += count;
    }
  }

 private:
  static constexpr uint32_t kPieceSlots = (32 << 10) / sizeof(Slot<W>);  // 32 KiB or just below
  std::vector<PartCountTable::Partition> partitions_;
  std::vector<PartCountTable::Run> runs_;
  std::vector<SlotListOf<W>> pieces_;
  size_t size_ = 0;
};

// The key paths sharing one first level and group.
template <size_t W>
struct CountPartition {
  uint32_t lead = 0;  // the first level of its key paths
  PartitionGroup group = 0;
  SlotListOf<W> slots;  // a key path may have several
};

template <size_t W>
class BasicCountTable {
 public:
  using Partition = CountPartition<W>;
  static constexpr size_t kWidth = W;

  // Adds every count of one part. Slots are copied as they are; a key
  // path's slots are summed when its partition fills up, and for the report.
  void Absorb(const BasicHeldCounts<W>& part);

  size_t size() const { return size_; }
  std::vector<Partition>& partitions() { return partitions_; }
  const std::vector<Partition>& partitions() const { return partitions_; }

 private:
  uint32_t IndexOf(uint32_t lead, PartitionGroup group);
  // Makes room for `more` slots at the partition's end, summing the slots of
  // a large partition before it grows.
  void MakeRoom(Partition& partition, size_t more);

  std::vector<Partition> partitions_;
  PartitionFinder finder_;
  size_t size_ = 0;
  SlotListOf<W> scratch_;
  std::vector<uint32_t> absorbed_into_;  // per partition of the part being absorbed
};

// Held counts and count tables of every width a layout has: one word, or
// every level (three stored levels cannot pair).
template <template <size_t> class Of>
using OfEveryWidth = std::variant<Of<1>, Of<3>>;
static_assert(RestLayout::kLevels == 3);

class HeldCounts {
 public:
  HeldCounts() = default;
  explicit HeldCounts(const PartCountTable& table);
  size_t size() const;

 private:
  friend class CountTable;
  OfEveryWidth<BasicHeldCounts> held_;
};

// The count map of a grouping (or one thread's share of it): the stored
// levels are the layout's.
class CountTable {
 public:
  explicit CountTable(const RestLayout& layout = RestLayout());

  // Adds every count of one part, held in this table's layout.
  void Absorb(const HeldCounts& part);
  // Slots stored (at least the number of distinct key paths).
  size_t size() const;
  const RestLayout& layout() const { return layout_; }
  // Calls visit(partitions) with the table's vector of CountPartition<W>.
  template <class Visit>
  void VisitPartitions(Visit&& visit) {
    std::visit([&visit](auto& table) { visit(table.partitions()); }, table_);
  }
  // Calls visit(lead, group's value, rest, count) for every slot.
  template <class Visit>
  void ForEachSlot(Visit&& visit) const {
    std::visit(
        [&](const auto& table) {
          for (const auto& partition : table.partitions()) {
            for (const auto& slot : partition.slots) {
              visit(partition.lead, static_cast<uint32_t>(partition.group), layout_.Widen(slot.rest, partition.group),
                    slot.count);
            }
          }
        },
        table_);
  }

 private:
  RestLayout layout_;
  OfEveryWidth<BasicCountTable> table_;
};

// Sorts slots by rest[0], then rest[1], and so on. `scratch` is working
// space, kept by the caller between calls.
template <size_t W>
void SortSlots(std::span<Slot<W>> slots, SlotListOf<W>& scratch);
inline void SortSlots(SlotList& slots, SlotList& scratch) { SortSlots(std::span<CountSlot>(slots), scratch); }
// Sums the counts of neighbouring slots of one key path into the first, as
// far as 32 bits hold the sum, and returns how many slots that leaves at the
// front.
template <size_t W>
size_t MergeSorted(std::span<Slot<W>> slots);
template <size_t W>
void MergeSorted(SlotListOf<W>& slots) {
  slots.resize(MergeSorted(std::span<Slot<W>>(slots)));
}

}  // namespace tallymere
