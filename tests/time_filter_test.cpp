#include "window/time_filter.h"

#include <gtest/gtest.h>

#include <limits>

#include "driver/run.h"
#include "repwriter/description.h"
#include "repwriter/repository.h"
#include "support/program_runner.h"

namespace tallymere {
namespace {

constexpr int32_t kMinCount = std::numeric_limits<int32_t>::min();
constexpr int32_t kMaxCount = std::numeric_limits<int32_t>::max();

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

uint32_t FromFor(FilterType type, int32_t count, uint32_t now) {
  TimeFilter filter;
  SetTimeFilter(filter, type, count, "", "", now);
  return filter.from;
}

// 17675 days before 2018-05-23 is 1970-01-01; a window that reaches further
// back must start there, not wrap into the future.
TEST(SetTimeFilter, WindowsReachingBefore1970StartAtZero) {
  const uint32_t days = k20180523_1430 / 86400;
  EXPECT_EQ(FromFor(kDaysBack, static_cast<int32_t>(days), k20180523_1430), 86400u);
  EXPECT_EQ(FromFor(kDaysBack, static_cast<int32_t>(days) + 1, k20180523_1430), 0u);
  EXPECT_EQ(FromFor(kDaysBack, static_cast<int32_t>(days) + 2, k20180523_1430), 0u);
  const uint32_t hours = k20180523_1430 / 3600;
  EXPECT_EQ(FromFor(kHoursBack, static_cast<int32_t>(hours), k20180523_1430), 3600u);
  EXPECT_EQ(FromFor(kHoursBack, static_cast<int32_t>(hours) + 1, k20180523_1430), 0u);
  EXPECT_EQ(FromFor(kHoursBack, static_cast<int32_t>(hours) + 2, k20180523_1430), 0u);
  for (uint32_t now : {0u, k20180523_1430, 0xFFFFFFFFu}) {
    EXPECT_EQ(FromFor(kDaysBack, kMaxCount, now), 0u) << now;
    EXPECT_EQ(FromFor(kHoursBack, kMaxCount, now), 0u) << now;
    EXPECT_EQ(FromFor(kDaysBack, 99999999, now), 0u) << now;
  }
}

// Counts of 0 and below point ahead; past the end of the scale the start is
// held there and never wraps back into the past.
TEST(SetTimeFilter, CountsOfZeroAndBelowStayInTheFuture) {
  EXPECT_EQ(FromFor(kHoursBack, 0, k20180523_1430), 1527084000u + 3600);
  EXPECT_EQ(FromFor(kHoursBack, -1, k20180523_1430), 1527084000u + 2 * 3600);
  // From 1970, -1193045 hours ahead is the last whole hour of the scale.
  EXPECT_EQ(FromFor(kHoursBack, -1193045, 0), 1193046u * 3600);
  EXPECT_EQ(FromFor(kHoursBack, -1193046, 0), 0xFFFFFFFFu);
  EXPECT_EQ(FromFor(kDaysBack, 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
  for (uint32_t now : {0u, k20180523_1430, 0xFFFFFFFFu}) {
    EXPECT_EQ(FromFor(kDaysBack, kMinCount, now), 0xFFFFFFFFu) << now;
    EXPECT_EQ(FromFor(kHoursBack, kMinCount, now), 0xFFFFFFFFu) << now;
  }
  TimeFilter filter;
  SetTimeFilter(filter, kDaysBack, kMinCount, "", "", k20180523_1430);
  EXPECT_FALSE(filter.Passes(k20180523_1430));
  EXPECT_EQ(filter.to, 0xFFFFFFFFu);
}

// Through the program: a window of more days than the scale holds counts
// every event, the one at 1970-01-01 00:00:00 included.
TEST(DaysBackProgram, AWindowBefore1970CountsEveryEvent) {
  test::TempFolder folder;
  const auto repo = folder.path() / "repo";
  repwriter::PartDescription part{.index = 1};
  for (uint32_t time : {0u, 1u, 1527033600u, k20180523_1430}) {
    part.events.push_back({.computer = u"dc01", .category = u"Logon", .event_id = 4624, .time = time});
  }
  repwriter::FooterDescription footer;
  footer.parts.push_back(part);
  repwriter::WriteRepository(repo, {{.image = {.footers = {footer}}}});
  const test::ProgramResult all = test::RunProgram({"-m", "0", repo.string()});
  ASSERT_EQ(all.status, 0) << all.err;
  ASSERT_NE(all.out.find("Application,4624,4\n"), std::string::npos) << all.out;
  const test::ProgramResult windowed = test::RunProgram({"-m", "0", "-d", "99999999", repo.string()});
  EXPECT_EQ(windowed.status, 0) << windowed.err;
  EXPECT_EQ(windowed.out, all.out);
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
