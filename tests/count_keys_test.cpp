#include "counters/count_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "counters/count_table.h"
#include "counters/rep_counters.h"

namespace tallymere {
namespace {

TEST(ReportFields, DaysAndHoursAreUtcCalendarTexts) {
  EXPECT_EQ(FormatDay(0), "1970-01-01");
  EXPECT_EQ(FormatDay(4294944000u), "2106-02-07");  // the last day a u32 time reaches
  EXPECT_EQ(FormatDay(1520380800u), "2018-03-07");
  EXPECT_EQ(FormatDay(951782400u), "2000-02-29");
  EXPECT_EQ(FormatHour(1520431200u), "2018-03-07 14:00");
  EXPECT_EQ(FormatHour(1520380800u + 23 * 3600), "2018-03-07 23:00");
}

TEST(ReportFields, ComputerNamesUpperCaseAsciiLettersOnly) {
  std::u16string name = u"Srv-\u00e9z09";
  UpperCaseAscii(name);
  EXPECT_EQ(name, u"SRV-\u00e9Z09");
}

TEST(StringPool, InternsEachTextOnce) {
  StringPool pool;
  const uint32_t a = pool.Intern(u"Security");
  EXPECT_EQ(pool.Intern(u"System"), a + 1);
  EXPECT_EQ(pool.Intern(u"Security"), a);
  EXPECT_EQ(pool.Text(a + 1), u"System");
  EXPECT_EQ(pool.size(), 2u);
}

// Counts read back per (key path, log), summing the slots of a key path.
std::map<std::pair<KeyPath, uint32_t>, uint64_t> ReadBack(const CountTable& table) {
  std::map<std::pair<KeyPath, uint32_t>, uint64_t> counts;
  for (const CountTable::Partition& partition : table.partitions()) {
    for (const CountSlot& slot : partition.slots) {
      counts[{KeyPath{partition.lead, slot.rest[0], slot.rest[1], slot.rest[2]}, partition.group}] += slot.count;
    }
  }
  return counts;
}

TEST(CountTable, CountsEveryKeyPathAcrossPartitionsGrowthAndMerges) {
  CountTable table;
  std::map<std::pair<KeyPath, uint32_t>, uint64_t> expected;
  std::mt19937 engine(7);
  const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
  bool moved_once = false;
  for (int i = 0; i < 200000; ++i) {
    // Few first levels and logs, few rests: partitions fill up and are
    // merged many times.
    const KeyPath key{random() % 3, random() % 300, random() % 3, 0xFFFFFFFFu - random() % 2};
    const uint32_t group = random() % 2;
    bool moved = false;
    CountSlot* slot = table.Increment(key, group, moved);
    moved_once |= moved;
    ASSERT_EQ(slot->rest, (KeyRest{key[1], key[2], key[3]}));
    ++expected[{key, group}];
    if (i % 3 == 0) {  // as the memo does for a repeat
      ASSERT_TRUE(slot->TryIncrement());
      ++expected[{key, group}];
    }
  }
  EXPECT_TRUE(moved_once);
  EXPECT_EQ(ReadBack(table), expected);
  // 3,600 key paths in 6 partitions: merging keeps the slots near that,
  // far below one per event.
  EXPECT_LT(table.size(), 6 * 8192u);
}

TEST(CountTable, MergeSortedSumsNeighboursOfOneKeyPathWithinThirtyTwoBits) {
  std::vector<CountSlot> slots = {{{1, 2, 3}, 2}, {{1, 2, 3}, 5}, {{1, 2, 3}, CountSlot::kFull - 6},
                                  {{1, 2, 3}, 3}, {{1, 2, 4}, 1}};
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
  std::vector<CountSlot> scratch;
  for (const size_t size : {0u, 1u, 255u, 256u, 5000u}) {
    std::vector<CountSlot> slots;
    for (size_t i = 0; i < size; ++i) {
      // Narrow and wide values, so that some digits are the same in every slot.
      slots.push_back(CountSlot{{random() % 40, random() % 3 == 0 ? 0x80000000u : random(), random() % 7},
                                static_cast<uint32_t>(i + 1)});
    }
    std::vector<CountSlot> expected = slots;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const CountSlot& a, const CountSlot& b) { return a.rest < b.rest; });
    SortSlots(slots, scratch);
    ASSERT_EQ(slots.size(), expected.size());
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(slots[i].rest, expected[i].rest) << "size " << size << " at " << i;
    }
  }
}

TEST(CreateCounter, TheModeTableGivesTypeCodesFlagsAndFastness) {
  struct Row {
    int mode;
    uint32_t type_code;
    bool category;
  };
  const Row rows[] = {{-1, 32, false}, {0, 6, true},   {2, 8, true},   {3, 9, false},
                      {6, 12, false},  {9, 15, true},  {10, 15, true}, {11, 17, true},
                      {12, 17, true},  {20, 19, true}, {23, 22, false}, {31, 30, true},
                      {32, 30, true}};
  for (const Row& row : rows) {
    auto counter = CreateCounter(row.mode);
    ASSERT_NE(counter, nullptr) << row.mode;
    EXPECT_EQ(counter->type_code, row.type_code) << row.mode;
    EXPECT_EQ(counter->fast, row.mode >= 20) << row.mode;
    const bool counting = row.mode >= 0;
    EXPECT_EQ(counter->part_flags[0] == 1, row.category) << row.mode;
    EXPECT_EQ(counter->part_flags[1] == 1, counting) << row.mode;
    EXPECT_EQ(counter->part_flags[3] == 1, counting) << row.mode;
    EXPECT_EQ(counter->part_flags[2] + counter->part_flags[4] + counter->part_flags[12], 0u);
  }
  for (int mode : {-2, 13, 19, 33, 1000}) EXPECT_EQ(CreateCounter(mode), nullptr) << mode;
}

}  // namespace
}  // namespace tallymere
