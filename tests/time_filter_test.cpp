#include "driver/time_filter.h"

#include <gtest/gtest.h>

#include "driver/run.h"

namespace tallymere {
namespace {

constexpr uint32_t k20180523_1430 = 1527085800;  // 2018-05-23 14:30:00 UTC

TEST(ParseTimeText, ReadsEachFixedWidthField) {
  EXPECT_EQ(ParseTimeText("2018052314"), 1527084000u);
  EXPECT_EQ(ParseTimeText("201805231430"), k20180523_1430);
  EXPECT_EQ(ParseTimeText("20180523143005"), k20180523_1430 + 5);
  // Characters after the fourteenth are not read.
  EXPECT_EQ(ParseTimeText("201805231430059"), k20180523_1430 + 5);
  EXPECT_EQ(ParseTimeText("20180523143005xyz"), k20180523_1430 + 5);
}

TEST(ParseTimeText, ShortFormsStartAtTheFirstOfTheMonthAndYear) {
  EXPECT_EQ(ParseTimeText("2018"), 1514764800u);    // 2018-01-01 00:00:00
  EXPECT_EQ(ParseTimeText("201805"), 1525132800u);  // 2018-05-01 00:00:00
  EXPECT_EQ(ParseTimeText("20180500"), 1525132800u);
  // A field stops at the first non-digit, like atoi.
  EXPECT_EQ(ParseTimeText("20180523 4"), 1527033600u + 4 * 3600);
}

TEST(ParseTimeText, RefusesTextsThatAreNoCalendarTime) {
  for (const char* text : {"20181301", "20180230", "20190229", "2018052324", "201805231460",
                           "20180523143060", "1600", "abcd", ""}) {
    EXPECT_FALSE(ParseTimeText(text).has_value()) << text;
  }
  EXPECT_TRUE(ParseTimeText("20200229").has_value());  // leap day
}

TEST(ParseTimeText, ClampsValidTimesOutsideTheu32Range) {
  EXPECT_EQ(ParseTimeText("1601"), 0u);
  EXPECT_EQ(ParseTimeText("19691231235959"), 0u);
  EXPECT_EQ(ParseTimeText("1970"), 0u);
  EXPECT_EQ(ParseTimeText("21060207062815"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseTimeText("21060207062814"), 0xFFFFFFFEu);
  EXPECT_EQ(ParseTimeText("30827"), 0xFFFFFFFFu);
}

TEST(SetTimeFilter, DaysAndHoursBackStartAtPeriodBoundaries) {
  TimeFilter filter;
  ASSERT_FALSE(SetTimeFilter(filter, kDaysBack, 1, "", "", k20180523_1430));
  EXPECT_TRUE(filter.enabled);
  EXPECT_EQ(filter.type, kDaysBack);
  EXPECT_EQ(filter.from, 1527033600u);
  EXPECT_EQ(filter.to, 0xFFFFFFFFu);

  SetTimeFilter(filter, kHoursBack, 1, "", "", k20180523_1430);
  EXPECT_EQ(filter.from, 1527084000u);
  SetTimeFilter(filter, kHoursBack, 3, "", "", k20180523_1430);
  EXPECT_EQ(filter.from, 1527076800u);
  // 0 days back starts at the next midnight, -1 one day later still.
  SetTimeFilter(filter, kDaysBack, 0, "", "", k20180523_1430);
  EXPECT_EQ(filter.from, 1527033600u + 86400);
  SetTimeFilter(filter, kDaysBack, -1, "", "", k20180523_1430);
  EXPECT_EQ(filter.from, 1527033600u + 2 * 86400);
}

TEST(SetTimeFilter, FromIsInclusiveAndToIsExclusive) {
  TimeFilter filter;
  ASSERT_FALSE(SetTimeFilter(filter, kFromOnly, 0, "201805231430", "", 0));
  EXPECT_EQ(filter.from, k20180523_1430);
  EXPECT_EQ(filter.to, 0xFFFFFFFFu);
  EXPECT_TRUE(filter.Passes(k20180523_1430));
  EXPECT_FALSE(filter.Passes(k20180523_1430 - 1));

  ASSERT_FALSE(SetTimeFilter(filter, kToOnly, 0, "", "201805231430", 0));
  EXPECT_EQ(filter.from, 0u);
  EXPECT_EQ(filter.to, k20180523_1430 - 1);
  EXPECT_FALSE(filter.Passes(k20180523_1430));
  EXPECT_TRUE(filter.Passes(k20180523_1430 - 1));

  // A -t at the very start of the scale leaves nothing before it.
  ASSERT_FALSE(SetTimeFilter(filter, kToOnly, 0, "", "1970", 0));
  EXPECT_FALSE(filter.Passes(0));
  EXPECT_FALSE(filter.Passes(0xFFFFFFFF));

  // From later than to lets nothing pass.
  ASSERT_FALSE(SetTimeFilter(filter, kFromTo, 0, "2019", "2018", 0));
  EXPECT_FALSE(filter.Passes(1530000000));
}

TEST(SetTimeFilter, ReportsTheTextThatIsNoTime) {
  TimeFilter filter;
  EXPECT_EQ(SetTimeFilter(filter, kFromTo, 0, "2018", "20181399", 0), "20181399");
  EXPECT_EQ(SetTimeFilter(filter, kFromOnly, 0, "x", "", 0), "x");
  EXPECT_FALSE(filter.enabled);
}

TEST(IsFileInTimeFilter, TestsTheNameStampsAgainstTheWindow) {
  const std::string name = "Orv_0000000001_2018052300000020180523235959.rep";
  TimeFilter filter;
  SetTimeFilter(filter, kFromTo, 0, "201805231200", "201805240000", 0);
  EXPECT_TRUE(IsFileInTimeFilter(filter, name));
  SetTimeFilter(filter, kFromOnly, 0, "20180524", "", 0);
  EXPECT_FALSE(IsFileInTimeFilter(filter, name));
  // The -t bound is exclusive: a file that starts exactly there is not opened.
  SetTimeFilter(filter, kToOnly, 0, "", "20180523", 0);
  EXPECT_FALSE(IsFileInTimeFilter(filter, name));
  SetTimeFilter(filter, kToOnly, 0, "", "2018052300000001", 0);
  EXPECT_FALSE(IsFileInTimeFilter(filter, name));
  SetTimeFilter(filter, kToOnly, 0, "", "20180523000001", 0);
  EXPECT_TRUE(IsFileInTimeFilter(filter, name));
}

TEST(IsFileInTimeFilter, NamesWithoutUsableStampsPass) {
  TimeFilter filter;
  SetTimeFilter(filter, kFromOnly, 0, "2030", "", 0);
  EXPECT_TRUE(IsFileInTimeFilter(filter, "short.rep"));
  EXPECT_TRUE(IsFileInTimeFilter(filter, "Orv_0000000001_2018052300000_"));
  EXPECT_TRUE(IsFileInTimeFilter(filter, "Orv_0000000001_2018132300000020180523235959.rep"));
  EXPECT_FALSE(IsFileInTimeFilter(filter, "Orv_0000000001_2018052300000020180523235959"));
  // Whatever follows the second stamp is not read.
  EXPECT_TRUE(IsFileInTimeFilter(filter, "Orv_0000000001_2018052300000020300523235959.x.rep"));
}

TEST(PrintElapsed, TruncatesToMilliseconds) {
  EXPECT_EQ(FormatElapsed(0, 123456789), "12.345");
  EXPECT_EQ(FormatElapsed(0, 10120000), "1.012");
  EXPECT_EQ(FormatElapsed(5, 5), "0.000");
  EXPECT_EQ(FormatElapsed(0, 9999), "0.000");
}

}  // namespace
}  // namespace tallymere
