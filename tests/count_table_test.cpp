#include "counters/count_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

namespace tallymere {
namespace {

// Counts read back per (key path, log), summing the slots of a key path.
std::map<std::pair<KeyPath, uint32_t>, uint64_t> ReadBack(const CountTable& table) {
  std::map<std::pair<KeyPath, uint32_t>, uint64_t> counts;
  table.ForEachSlot([&](uint32_t lead, uint32_t group, const KeyRest& rest, uint32_t count) {
    counts[{KeyPath{lead, rest[0], rest[1], rest[2]}, group}] += count;
  });
  return counts;
}

// Counts of a part's table read back through its runs, checking that the
// runs cover its slots in order and agree with the partitions' sizes.
std::map<std::pair<KeyPath, uint32_t>, uint64_t> ReadBack(PartCountTable& table) {
  std::map<std::pair<KeyPath, uint32_t>, uint64_t> counts;
  std::vector<size_t> per_partition(table.partitions().size());
  uint32_t begin = 0;
  for (const PartCountTable::Run& run : table.runs()) {
    EXPECT_GT(run.end, begin);
    const PartCountTable::Partition& partition = table.partitions()[run.partition];
    for (uint32_t i = begin; i < run.end; ++i) {
      const CountSlot& slot = table.slots()[i];
      counts[{KeyPath{partition.lead, slot.rest[0], slot.rest[1], slot.rest[2]}, partition.group}] += slot.count;
    }
    per_partition[run.partition] += run.end - begin;
    begin = run.end;
  }
  EXPECT_EQ(begin, table.size());
  for (size_t p = 0; p < per_partition.size(); ++p) EXPECT_EQ(per_partition[p], table.partitions()[p].slots);
  return counts;
}

// A part's table keeps every count across partitions and growth; the index
// Add returns counts its key path again, as the memo does; a large part
// whose key paths repeat has them summed, and a cleared table starts over
// in the memory it has.
TEST(PartCountTable, KeepsEveryCountAndSumsTheRepeatsOfALargePart) {
  PartCountTable table;
  std::map<std::pair<KeyPath, uint32_t>, uint64_t> expected;
  std::mt19937 engine(7);
  const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
  bool moved_once = false;
  constexpr uint32_t kEvents = 100000;
  for (uint32_t i = 0; i < kEvents; ++i) {
    // Long stretches of one first level, as events in time order give.
    const KeyPath key{i / 10000 + (random() % 50 == 0 ? 100 : 0), random() % 300, random() % 3, 0xFFFFFFFFu};
    const uint32_t group = i % 7 == 0 ? 1 : 0;
    bool moved = false;
    const uint32_t slot = table.Add(key, group, 1, moved);
    moved_once |= moved;
    ASSERT_EQ(table.slots()[slot].rest, (KeyRest{key[1], key[2], key[3]}));
    ++expected[{key, group}];
    if (i % 3 == 0) {
      ASSERT_TRUE(table.slots()[slot].TryIncrement());
      ++expected[{key, group}];
    }
  }
  EXPECT_TRUE(moved_once);
  EXPECT_EQ(ReadBack(table), expected);
  EXPECT_LT(table.size(), kEvents / 2);

  const size_t bytes = table.capacity_bytes();
  table.Clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_TRUE(table.partitions().empty() && table.runs().empty());
  bool moved = false;
  EXPECT_EQ(table.Add({5, 6, 7, 8}, 9, 4, moved), 0u);
  EXPECT_EQ(table.partitions().size(), 1u);
  EXPECT_EQ(table.capacity_bytes(), bytes);
}

// Key paths that never repeat are summed once at most, and none is lost.
TEST(PartCountTable, KeyPathsThatNeverRepeatKeepASlotEach) {
  PartCountTable table;
  int moves = 0;
  for (uint32_t i = 0; i < 200000; ++i) {
    bool moved = false;
    table.Add({i / 50000, i, 0, 0}, 0, 1, moved);
    moves += moved ? 1 : 0;
  }
  EXPECT_LE(moves, 1);
  EXPECT_EQ(table.size(), 200000u);
  EXPECT_EQ(ReadBack(table).size(), 200000u);
}

// A part whose key paths repeat out of order is summed down to a slot per
// key path before it is held, every count kept. A part whose key paths do
// not repeat is left as counted, and so are the parts after it until the
// sort is tried again: those pay for nothing.
TEST(PartCountTable, SumRepeatsSumsPartsWhoseKeyPathsRepeatAndBacksOffElsewhere) {
  PartCountTable table;
  bool moved = false;
  const auto count_repeating_part = [&] {
    table.Clear();
    std::map<std::pair<KeyPath, uint32_t>, uint64_t> expected;
    for (uint32_t i = 0; i < 3000; ++i) {
      const KeyPath key{i / 1000, i % 40, i % 7, 0};
      table.Add(key, 0, 1, moved);
      ++expected[{key, 0}];
    }
    return expected;
  };
  const auto count_unique_part = [&] {
    table.Clear();
    for (uint32_t i = 0; i < 3000; ++i) table.Add({i / 1000, i, 0, 0}, 0, 1, moved);
  };

  std::map<std::pair<KeyPath, uint32_t>, uint64_t> expected = count_repeating_part();
  table.SumRepeats();
  EXPECT_EQ(ReadBack(table), expected);
  EXPECT_EQ(table.size(), expected.size());  // 3 first levels x 280 key paths

  count_unique_part();
  table.SumRepeats();
  EXPECT_EQ(table.size(), 3000u);
  EXPECT_EQ(ReadBack(table).size(), 3000u);
  for (uint32_t part = 0; part < PartCountTable::kPartsBetweenTries; ++part) {
    expected = count_repeating_part();
    table.SumRepeats();
    ASSERT_EQ(table.size(), 3000u) << "part " << part;
    ASSERT_EQ(ReadBack(table), expected);
  }
  expected = count_repeating_part();
  table.SumRepeats();
  EXPECT_EQ(table.size(), expected.size());
  EXPECT_EQ(ReadBack(table), expected);
}

// Parts are counted into tables of their own and absorbed one after
// another: into an empty map, and into one whose partitions are large
// enough to be merged while they take the slots in. The map stores what
// its layout says and gives back every level: all three; the computer and
// event ID of a grouping whose log is its third level and the partition's
// group, paired in one word; two levels of a grouping grouped by its last
// (as by event type), paired too; the one level of a two-level grouping;
// and that level when it is the log (a slot keeps one word). Paired levels
// take values above 16 bits, whose high halves go to the partition's
// group. The group changes from key path to key path, so each part's table
// has nearly a run per slot.
TEST(CountTable, AbsorbAddsEveryCountOfPartTablesAndMergesFullPartitions) {
  struct Layout {
    size_t level_count;
    std::optional<size_t> group;
    size_t width;
  };
  for (const Layout& layout :
       {Layout{4, std::nullopt, 3}, Layout{4, 2, 1}, Layout{4, 3, 1}, Layout{2, std::nullopt, 1}, Layout{2, 1, 1}}) {
    CountTable total(RestLayout(layout.level_count, layout.group));
    ASSERT_EQ(total.layout().width(), layout.width);
    std::map<std::pair<KeyPath, uint32_t>, uint64_t> expected;
    std::mt19937 engine(3);
    const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
    PartCountTable counts(total.layout());
    bool moved = false;
    for (int part = 0; part < 60; ++part) {
      for (int i = 0; i < 3000; ++i) {
        KeyPath key{random() % 4, random() % 500 + (random() % 2) * 0x10000u, static_cast<uint32_t>(part % 3),
                    0xFFFFFFFFu - random() % 2};
        const uint32_t group = random() % 2;
        for (size_t level = layout.level_count; level < kMaxKeyLevels; ++level) key[level] = 0;
        if (layout.group) key[*layout.group] = group;
        const uint32_t count = random() % 500 == 0 ? CountSlot::kFull - random() % 3 : 1;
        counts.Add(key, group, count, moved);
        expected[{key, group}] += count;
      }
      total.Absorb(HeldCounts(counts));
      counts.Clear();
    }
    EXPECT_EQ(ReadBack(total), expected) << "width " << layout.width;
    // At most 24,000 key paths in 180,000 events: merged as the partitions
    // filled, not one slot per event.
    EXPECT_LT(total.size(), 8 * 2 * 8192u);
  }
}

TEST(CountTable, MergeSortedSumsNeighboursOfOneKeyPathWithinThirtyTwoBits) {
  SlotList slots = {{{1, 2, 3}, 2}, {{1, 2, 3}, 5}, {{1, 2, 3}, CountSlot::kFull - 6}, {{1, 2, 3}, 3}, {{1, 2, 4}, 1}};
  MergeSorted(slots);
  // 2 + 5 + (kFull - 6) is one more than a slot holds: the last two stay apart.
  ASSERT_EQ(slots.size(), 3u);
  EXPECT_EQ(slots[0].count, 7u);
  EXPECT_EQ(slots[1].count, CountSlot::kFull - 3);
  EXPECT_EQ(slots[2].rest, (KeyRest{1, 2, 4}));
}

TEST(CountTable, AFullSlotRefusesMoreCounts) {
  CountSlot slot{{1, 2, 3}, CountSlot::kFull - 1};
  EXPECT_TRUE(slot.TryIncrement());
  EXPECT_EQ(slot.count, CountSlot::kFull);
  EXPECT_FALSE(slot.TryIncrement());
  EXPECT_EQ(slot.count, CountSlot::kFull);
}

TEST(CountTable, SortSlotsOrdersByEveryLevelForSmallAndLargeSets) {
  std::mt19937 engine(11);
  const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
  SlotList scratch;
  for (const size_t size : {0u, 1u, 255u, 256u, 5000u}) {
    SlotList slots;
    for (size_t i = 0; i < size; ++i) {
      // Narrow and wide values, so that some digits are the same in every slot.
      slots.push_back(CountSlot{{random() % 40, random() % 3 == 0 ? 0x80000000u : random(), random() % 7},
                                static_cast<uint32_t>(i + 1)});
    }
    SlotList expected = slots;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const CountSlot& a, const CountSlot& b) { return a.rest < b.rest; });
    SortSlots(slots, scratch);
    ASSERT_EQ(slots.size(), expected.size());
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(slots[i].rest, expected[i].rest) << "size " << size << " at " << i;
    }
  }
}

// Two paired levels keep their high halves in the partition's group: the
// hour/computer/log/event ID grouping stores the computer and the event ID
// in one word, the log being the group.
TEST(RestLayout, PairedLevelsAboveSixteenBitsWidenBackWhole) {
  const RestLayout layout(4, 2);
  ASSERT_EQ(layout.width(), 1u);
  const KeyRest rest{0x00012345u, 77, 0x00000007u};
  const PartitionGroup group = layout.GroupOf(rest, 77);
  EXPECT_EQ(group, (PartitionGroup{0x00010000u} << 32) | 77);
  const std::array<uint32_t, 1> word = layout.Narrow<1>(rest);
  EXPECT_EQ(word[0], 0x23450007u);
  EXPECT_EQ(layout.Widen(word, group), rest);
  // Key paths whose ids are all below 2^16 share the partition of high halves 0.
  EXPECT_EQ(layout.GroupOf({0xFFFFu, 77, 0xFFFFu}, 77), PartitionGroup{77});
}

}  // namespace
}  // namespace tallymere
