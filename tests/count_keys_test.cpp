#include "counters/count_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

#include "counters/count_table.h"
#include "counters/counter_classes.h"
#include "counters/group_report.h"
#include "counters/packed_rows.h"
#include "counters/rep_counters.h"
#include "support/output_capture.h"

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

TEST(KeyPacking, KeysKeepTheOrderOfTheLevelsAndUnpackToThem) {
  std::mt19937 engine(3);
  // Narrow ranks, a range across the sign bias, and one level the same in every row.
  std::vector<KeyRest> rests;
  for (int i = 0; i < 400; ++i) {
    rests.push_back({static_cast<uint32_t>(engine() % 300), 0x7FFFFFF0u + static_cast<uint32_t>(engine() % 40), 9});
  }
  KeyPacking packing;
  for (const KeyRest& rest : rests) packing.Include(rest);
  ASSERT_TRUE(packing.Fit());
  EXPECT_EQ(packing.bits(), 9u + 6u);
  for (size_t i = 0; i < rests.size(); ++i) {
    const KeyRest& a = rests[i];
    const KeyRest& b = rests[(i * 7 + 1) % rests.size()];
    EXPECT_EQ(packing.Unpack(packing.Pack(a)), a);
    EXPECT_EQ(packing.Pack(a) < packing.Pack(b), a < b);
  }
}

TEST(KeyPacking, FitsUpToSixtyFourBitsAndRefusesMore) {
  KeyPacking full_two;  // 64 bits exactly, the third level constant
  full_two.Include({0, 0, 5});
  full_two.Include({UINT32_MAX, UINT32_MAX, 5});
  ASSERT_TRUE(full_two.Fit());
  EXPECT_EQ(full_two.bits(), 64u);
  const KeyRest top{UINT32_MAX, 1, 5};
  EXPECT_EQ(full_two.Unpack(full_two.Pack(top)), top);

  KeyPacking wide;
  wide.Include({0, 0, 0});
  wide.Include({UINT32_MAX, UINT32_MAX, 1});
  EXPECT_FALSE(wide.Fit());

  KeyPacking one_row;  // every level constant: nothing to sort
  one_row.Include({4, 5, 6});
  ASSERT_TRUE(one_row.Fit());
  EXPECT_EQ(one_row.bits(), 0u);
  EXPECT_EQ(one_row.Unpack(one_row.Pack({4, 5, 6})), (KeyRest{4, 5, 6}));
}

TEST(KeyPacking, SortPackedOrdersKeysOfEveryWidthAndSize) {
  std::mt19937_64 engine(17);
  PackedRows scratch;
  for (const unsigned bits : {1u, 11u, 12u, 23u, 33u, 64u}) {
    for (const size_t size : {0u, 1u, 127u, 128u, 5000u}) {
      const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
      PackedRows rows;
      for (size_t i = 0; i < size; ++i) {
        // Half the rows share their low bits, so that some digits repeat.
        const uint64_t key = engine() & mask & (i % 2 ? ~uint64_t{0x3FF} : ~uint64_t{0});
        rows.push_back({key, i});
      }
      const auto by_key_and_count = [](const PackedRow& a, const PackedRow& b) {
        return a.key != b.key ? a.key < b.key : a.count < b.count;
      };
      PackedRows expected = rows;
      std::sort(expected.begin(), expected.end(), by_key_and_count);
      SortPacked(rows, bits, scratch);
      ASSERT_TRUE(std::is_sorted(rows.begin(), rows.end(),
                                 [](const PackedRow& a, const PackedRow& b) { return a.key < b.key; }))
          << bits << " bits, size " << size;
      // The same rows: equal keys may come in any order.
      std::sort(rows.begin(), rows.end(), by_key_and_count);
      for (size_t i = 0; i < size; ++i) {
        ASSERT_EQ(rows[i].key, expected[i].key) << bits << " bits, size " << size << " at " << i;
        ASSERT_EQ(rows[i].count, expected[i].count) << bits << " bits, size " << size << " at " << i;
      }
    }
  }
}

// Counts of the hour, computer, log and event ID grouping in two tables (as
// two tallies' shares hold them, without the log level, which is the
// partition's group), a key path counted in several slots and in both
// tables.
void FillHourlyCounts(KeyPools& pools, CountTable& first, CountTable& second) {
  PartCountTable part(first.layout());
  bool moved = false;
  const uint32_t security = pools.logs.Intern(u"Security");
  const uint32_t system = pools.logs.Intern(u"System");
  const uint32_t ws7 = pools.computers.Intern(u"WS7");
  const uint32_t dc01 = pools.computers.Intern(u"DC01");
  const uint32_t failure = pools.event_ids.Intern(0xC0000005u);  // ordered as a negative number
  const uint32_t logon = pools.event_ids.Intern(4624);
  const uint32_t hour = 1520431200;  // 2018-03-07 14:00 UTC
  for (int i = 0; i < 3; ++i) part.Add({hour, dc01, security, logon}, security, 1, moved);
  part.Add({hour, ws7, security, failure}, security, 5, moved);
  part.Add({hour + 3600, dc01, system, logon}, system, 2, moved);
  first.Absorb(HeldCounts(part));
  part.Clear();
  part.Add({hour, dc01, security, logon}, security, 4, moved);
  part.Add({hour - 3600, ws7, system, failure}, system, 1, moved);
  second.Absorb(HeldCounts(part));
}

// Rows whose ranks would not fit 64 bits are sorted level by level instead
// of as packed keys: the same lines, in the same order, equal key paths
// summed across slots and tables.
TEST(GroupReport, RowsSortedLevelByLevelPrintAsPackedOnes) {
  const CounterFamily& family = kCounterFamilies[8];
  std::string printed[2];
  uint64_t totals[2] = {};
  for (int way = 0; way < 2; ++way) {
    KeyPools pools;
    CountTable first(RestLayout(family.level_count, family.GroupLevel()));
    CountTable second(first.layout());
    ASSERT_EQ(first.layout().width(), 1u);
    FillHourlyCounts(pools, first, second);
    test::OutputCapture capture;
    totals[way] = GroupReport(family, pools, {&first, &second}, 0,
                              way == 0 ? GroupReport::Packing::kWhenRanksFit : GroupReport::Packing::kNever)
                      .Write();
    printed[way] = capture.out();
  }
  EXPECT_EQ(printed[0],
            "2018-03-07 13:00,WS7,System,-1073741819,1\n"
            "2018-03-07 14:00,DC01,Security,4624,7\n"
            "2018-03-07 14:00,WS7,Security,-1073741819,5\n"
            "2018-03-07 15:00,DC01,System,4624,2\n");
  EXPECT_EQ(printed[1], printed[0]);
  EXPECT_EQ(totals[0], 15u);
  EXPECT_EQ(totals[1], 15u);
}

TEST(CreateCounter, TheModeTableGivesTypeCodesFlagsAndFastness) {
  struct Row {
    int mode;
    uint32_t type_code;
    bool category;
  };
  const Row rows[] = {{-1, 32, false}, {0, 6, true},   {2, 8, true},   {3, 9, false},  {6, 12, false},
                      {9, 15, true},   {10, 15, true}, {11, 17, true}, {12, 17, true}, {20, 19, true},
                      {23, 22, false}, {31, 30, true}, {32, 30, true}};
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
