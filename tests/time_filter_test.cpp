#include "window/time_filter.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

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
  for (const char* text :
       {"20181301", "20180230", "20190229", "2018052324", "201805231460", "20180523143060", "1600", "abcd", ""}) {
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

// The ISO 8601 forms of -f and -t stand for their digit forms, to the second.
TEST(ParseOptionTime, IsoFormsGiveTheSecondsOfTheirDigitForms) {
  const std::vector<std::pair<std::string, std::string>> forms = {
      {"2018-05-10", "20180510"},
      {"2018-05-10T14:30", "201805101430"},
      {"2018-05-10 14:30", "201805101430"},
      {"2018-05-10T14:30Z", "201805101430"},
      {"2018-05-10 14:30Z", "201805101430"},
      {"2018-05-10T14:30:05", "20180510143005"},
      {"2018-05-10 14:30:05", "20180510143005"},
      {"2018-05-10T14:30:05Z", "20180510143005"},
      {"2018-05-10 14:30:05Z", "20180510143005"},
      {"2020-02-29T23:59:59Z", "20200229235959"},
      {"1601-01-01", "1601"},
      {"2106-02-07T06:28:15", "21060207062815"},
  };
  for (const auto& [iso, digits] : forms) {
    const auto seconds = ParseOptionTime(iso);
    ASSERT_TRUE(seconds.has_value()) << iso;
    EXPECT_EQ(seconds, ParseTimeText(digits)) << iso;
  }
  EXPECT_EQ(ParseOptionTime("2018-05-10"), 1525910400u);
  EXPECT_EQ(ParseOptionTime("2018-05-23T14:30:05Z"), k20180523_1430 + 5);
  EXPECT_EQ(ParseOptionTime("1970-01-01T00:00:00Z"), 0u);
  EXPECT_EQ(ParseOptionTime("2106-02-07 06:28:15"), 0xFFFFFFFFu);
}

// Texts of digits only are read as before, short forms, odd lengths and
// digits past the fourteenth included.
TEST(ParseOptionTime, DigitFormsReadAsBefore) {
  for (const char* digits :
       {"2018", "201805", "2018052", "20180500", "2018052314", "20180523143005", "201805231430059", "1601", "30827"}) {
    EXPECT_EQ(ParseOptionTime(digits), ParseTimeText(digits)) << digits;
    EXPECT_TRUE(ParseOptionTime(digits).has_value()) << digits;
  }
  for (const char* digits : {"", "1600", "20181301", "2018052324"}) {
    EXPECT_FALSE(ParseOptionTime(digits).has_value()) << digits;
  }
}

TEST(ParseOptionTime, RefusesEveryOtherText) {
  for (const char* text :
       {// a character other than a digit, where the atoi reading gave a time
        "20180510x", "x", " 2018", "2018 ", "+2018", "-2018", "2018\n", "20180523143005xyz",
        // not quite an ISO form
        "2018-5-10", "2018-05-1", "18-05-10", "12018-05-10", "2018-0510", "2018/05/10", "2018.05.10", "2018-05-10T",
        "2018-05-10 ", "2018-05-10T14", "2018-05-10T14:3", "2018-05-10T1430", "20180510T1430", "2018-05-10T14:30:5",
        "2018-05-10T14:30:05:00", "2018-05-10  14:30", "2018-05-10\t14:30", "2018-05-10_14:30",
        // T and Z in lower case, a Z without a time, a Z not at the end
        "2018-05-10t14:30", "2018-05-10T14:30z", "2018-05-10Z", "2018-05-10Z14:00", "2018-05-10 14:00:00Z ",
        "2018-05-10T14:30ZZ",
        // fractions and offsets
        "2018-05-10T14:30:05.5", "2018-05-10T14:30:05,5", "2018-05-10T14:30+02:00", "2018-05-10T14:30:05-01:00"}) {
    EXPECT_FALSE(ParseOptionTime(text).has_value()) << text;
  }
}

// An ISO text names every field, so a field out of its range is refused
// where the digit form would read 00 as the first.
TEST(ParseOptionTime, RefusesIsoTextsThatAreNoCalendarTime) {
  for (const char* text :
       {"2018-02-30", "2019-02-29", "2018-13-01", "2018-00-10", "2018-05-00", "2018-04-31T00:00", "2018-05-10T24:00",
        "2018-05-10T14:60", "2018-05-10T23:59:60Z", "1600-12-31T23:59:59", "0000-01-01"}) {
    EXPECT_FALSE(ParseOptionTime(text).has_value()) << text;
  }
}

TEST(SetTimeFilter, ReadsIsoTextsAndReportsTheRefusedOne) {
  TimeFilter filter;
  ASSERT_FALSE(SetTimeFilter(filter, kFromTo, 0, "2018-05-23T14:30Z", "2018-05-24", 0));
  EXPECT_EQ(filter.from, k20180523_1430);
  EXPECT_EQ(filter.to, 1527033600u + 86400 - 1);
  TimeFilter untouched;
  EXPECT_EQ(SetTimeFilter(untouched, kFromTo, 0, "2018-05-23", "2018-02-30", 0), "2018-02-30");
  EXPECT_EQ(SetTimeFilter(untouched, kToOnly, 0, "", "2018-05-10T14", 0), "2018-05-10T14");
  EXPECT_FALSE(untouched.enabled);
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

// Through the program: a window given in ISO form gives the report of the
// same window in digit form, over events on both sides of its bounds.
TEST(IsoTimeProgram, GivesTheReportOfTheDigitForm) {
  test::TempFolder folder;
  const auto repo = folder.path() / "repo";
  constexpr uint32_t k20180510 = 1525910400;
  std::vector<repwriter::RepositoryFile> files;
  const std::vector<std::vector<uint32_t>> files_times = {
      {k20180510 - 86400, k20180510 - 1}, {k20180510, k20180510 + 14 * 3600 + 30 * 60, k20180510 + 86400}};
  for (const auto& times : files_times) {
    repwriter::PartDescription part{.index = 1};
    for (uint32_t time : times) {
      part.events.push_back({.computer = u"dc01", .category = u"Logon", .event_id = 4624, .time = time});
    }
    repwriter::FooterDescription footer;
    footer.parts.push_back(part);
    files.push_back({.image = {.footers = {footer}}});
  }
  repwriter::WriteRepository(repo, files);
  const auto report = [&](std::vector<std::string> window) {
    std::vector<std::string> args = {"-m", "1"};
    args.insert(args.end(), window.begin(), window.end());
    args.push_back(repo.string());
    const test::ProgramResult result = test::RunProgram(args);
    EXPECT_EQ(result.status, 0) << window[1] << "\n" << result.err;
    return result.out;
  };
  EXPECT_EQ(report({"-t", "2018-05-10"}), "2018-05-09,Application,4624,2\n");
  EXPECT_EQ(report({"-t", "20180510"}), report({"-t", "2018-05-10"}));
  EXPECT_EQ(report({"-f", "2018-05-10"}), "2018-05-10,Application,4624,2\n2018-05-11,Application,4624,1\n");
  EXPECT_EQ(report({"-f", "20180510"}), report({"-f", "2018-05-10"}));
  EXPECT_EQ(report({"-f", "2018-05-10T14:30Z"}), "2018-05-10,Application,4624,1\n2018-05-11,Application,4624,1\n");
  EXPECT_EQ(report({"-f", "201805101430"}), report({"-f", "2018-05-10T14:30Z"}));
  EXPECT_EQ(report({"-f", "2018-05-09 23:59:59", "-t", "2018-05-10T14:30:01"}),
            "2018-05-09,Application,4624,1\n2018-05-10,Application,4624,2\n");
  EXPECT_EQ(report({"-f", "20180509235959", "-t", "20180510143001"}),
            report({"-f", "2018-05-09 23:59:59", "-t", "2018-05-10T14:30:01"}));
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
