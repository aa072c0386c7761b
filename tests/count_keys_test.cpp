#include "counters/count_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>

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

// The hour/computer/log/event ID report of FillHourlyCounts, written
// through the public path: the same lines, in the same order, equal key
// paths summed across slots and tables.
std::string HourlyReport(KeyPools& pools, uint64_t& total) {
  const CounterFamily& family = kCounterFamilies[8];
  CountTable first(RestLayout(family.level_count, family.GroupLevel()));
  CountTable second(first.layout());
  FillHourlyCounts(pools, first, second);
  test::OutputCapture capture;
  total = GroupReport(family, pools, {&first, &second}, 0).Write();
  return capture.out();
}

constexpr std::string_view kHourlyLines =
    "2018-03-07 13:00,WS7,System,-1073741819,1\n"
    "2018-03-07 14:00,DC01,Security,4624,7\n"
    "2018-03-07 14:00,WS7,Security,-1073741819,5\n"
    "2018-03-07 15:00,DC01,System,4624,2\n";

TEST(GroupReport, RowsWhoseRanksFitPrintFromPackedKeys) {
  KeyPools pools;
  uint64_t total = 0;
  EXPECT_EQ(HourlyReport(pools, total), kHourlyLines);
  EXPECT_EQ(total, 15u);
}

// Rows are packed only while the ranks of the levels after the first fit 64
// bits together: 2^21 + 1 computers and logs (22 bits each) and 2^20 + 1
// event IDs (21 bits) do not, and the rows are sorted level by level. The
// counted event IDs are interned last, with ids above 2^16: their key paths
// lie in partitions whose paired high halves are not 0.
TEST(GroupReport, RowsWhoseRanksDoNotFitPrintTheSameLevelByLevel) {
  KeyPools pools;
  constexpr uint32_t kNames = (uint32_t{1} << 21) + 1;
  pools.computers.Intern(u"DC01");
  pools.computers.Intern(u"WS7");
  pools.logs.Intern(u"Security");
  pools.logs.Intern(u"System");
  for (uint32_t i = 0; pools.computers.size() < kNames; ++i) {
    // Two code units each: short strings, kept within the string object.
    const std::u16string name{static_cast<char16_t>(u'\u4e00' + (i >> 15)),
                              static_cast<char16_t>(u'\u4e00' + (i & 0x7FFF))};
    pools.computers.Intern(name);
    pools.logs.Intern(name);
  }
  for (uint32_t id = 5000; pools.event_ids.size() < (uint32_t{1} << 20) + 1; ++id) pools.event_ids.Intern(id);
  uint64_t total = 0;
  EXPECT_EQ(HourlyReport(pools, total), kHourlyLines);
  EXPECT_EQ(total, 15u);
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
