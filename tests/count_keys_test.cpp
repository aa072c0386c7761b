#include "counters/count_keys.h"

#include <gtest/gtest.h>

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
