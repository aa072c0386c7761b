// Counting and report, end to end: repositories written by the writer
// library, reports printed by the program, and counts computed straight
// from what was written.
#include <gtest/gtest.h>

#include <random>

#include "repwriter/repository.h"
#include "support/expected_report.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

using repwriter::Event;
using repwriter::FooterDescription;
using repwriter::ImageDescription;
using repwriter::RepositoryFile;

constexpr uint32_t k20180307 = 1520380800;  // 2018-03-07 00:00:00 UTC

ImageDescription OneFooter(std::u16string log, std::vector<Event> events, uint32_t platform = 0) {
  FooterDescription footer;
  footer.log = std::move(log);
  footer.platform_id = platform;
  footer.parts.push_back({.index = 1, .events = std::move(events)});
  return {.footers = {std::move(footer)}};
}

Event At(uint32_t time, uint32_t event_id, std::u16string computer = u"dc01", std::u16string category = u"Logon",
         uint16_t type = 8) {
  return {.computer = std::move(computer),
          .category = std::move(category),
          .event_type = type,
          .event_id = event_id,
          .time = time};
}

class Repository {
 public:
  explicit Repository(std::vector<RepositoryFile> files) : files_(std::move(files)) {
    repwriter::WriteRepository(Path(), files_);
  }
  std::string Path() const { return (folder_.path() / "repo").string(); }
  std::vector<repwriter::ExpectedEvent> Events() const {
    std::vector<repwriter::ExpectedEvent> all;
    for (const auto& file : files_) {
      auto events = repwriter::ListEvents(file.image);
      all.insert(all.end(), events.begin(), events.end());
    }
    return all;
  }
  ProgramResult Run(int mode, std::vector<std::string> options = {}) const {
    std::vector<std::string> args = {"-m", std::to_string(mode)};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(Path());
    return RunProgram(args);
  }

 private:
  TempFolder folder_;
  std::vector<RepositoryFile> files_;
};

// Two logs: four Security events around a midnight, two System events.
Repository WorkedExample() {
  const uint32_t day = k20180307;
  return Repository({
      {.image = OneFooter(u"Security", {At(day + 8 * 3600 + 5, 4624), At(day + 9 * 3600 + 720, 4625),
                                        At(day + 86399, 4624), At(day + 86400, 4624)})},
      {.folder = "System", .image = OneFooter(u"System", {At(day + 100, 7036), At(day + 200, 7036)})},
  });
}

TEST(Report, WorkedExampleByDayLogAndEventId) {
  const Repository repo = WorkedExample();
  const std::string by_day =
      "2018-03-07,Security,4624,2\n2018-03-07,Security,4625,1\n2018-03-07,System,7036,2\n"
      "2018-03-08,Security,4624,1\n";
  for (int mode : {1, 21}) {
    ProgramResult result = repo.Run(mode);
    EXPECT_EQ(result.out, by_day) << mode;
    EXPECT_EQ(result.status, 0) << result.err;
  }
  const std::string by_log = "Security,4624,3\nSecurity,4625,1\nSystem,7036,2\n";
  EXPECT_EQ(repo.Run(0).out, by_log);
  EXPECT_EQ(repo.Run(20).out, by_log);
  ProgramResult verbose = repo.Run(0, {"-v"});
  EXPECT_TRUE(verbose.out.starts_with(repo.Path() + "\n\n" + by_log + "\ntotal : 6\n")) << verbose.out;
  EXPECT_EQ(verbose.err.find("m_total"), std::string::npos);
}

TEST(Report, HoursAndUpperCasedComputers) {
  const uint32_t day = k20180307;
  const Repository repo(
      {{.image = OneFooter(u"Security", {At(day + 14 * 3600 + 310, 1, u"dc01"), At(day + 14 * 3600 + 3599, 1, u"Dc01"),
                                         At(day + 15 * 3600, 1, u"WS-7")})}});
  const std::string expected = "2018-03-07 14:00,DC01,2\n2018-03-07 15:00,WS-7,1\n";
  EXPECT_EQ(repo.Run(4).out, expected);
  EXPECT_EQ(repo.Run(24).out, expected);
}

TEST(Report, KeyExtremesAndOrders) {
  const Repository repo({
      {.image = OneFooter(u"Security", {At(0, 5), At(0xFFFFFFFF, 5)})},
      // With PlatformID 610 all 32 bits count and the ID orders as signed.
      {.folder = "Wide", .image = OneFooter(u"Security", {At(1000, 1), At(1000, 0xC0000005)}, 610)},
      {.folder = "Odd", .image = OneFooter(u"", {At(2000, 0x10007, u"srv", u""), At(2000, 7, u"srv", u"a,b")})},
  });
  for (int mode : {1, 21}) {
    EXPECT_EQ(repo.Run(mode).out,
              "1970-01-01,,7,2\n1970-01-01,Security,-1073741819,1\n1970-01-01,Security,1,1\n"
              "1970-01-01,Security,5,1\n2106-02-07,Security,5,1\n")
        << mode;
  }
  for (int mode : {9, 29}) {
    EXPECT_EQ(repo.Run(mode).out,
              "1970-01-01,DC01,Logon,3\n1970-01-01,SRV,N/A,1\n1970-01-01,SRV,a\x2c"
              "b,1\n"
              "2106-02-07,DC01,Logon,1\n")
        << mode;
  }
}

// Random repositories: several files, footers, parts, logs, platforms and
// computers whose names differ only in case, over a few days.
std::vector<RepositoryFile> RandomFiles(uint32_t seed) {
  std::mt19937 random(seed);
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const std::vector<std::u16string> computers = {u"srv01", u"SRV01", u"Srv-\u00e9", u"ws7", u"DC"};
  const std::vector<std::u16string> categories = {u"Logon", u"", u"N/A", u"Policy Change", u"logon"};
  const std::vector<std::u16string> logs = {u"Security", u"System", u"", u"Application"};
  const uint32_t ids[] = {4624, 4625, 0xC0000005, 0x12345, 7036, 0};
  std::vector<RepositoryFile> files;
  for (uint32_t f = 0, count = 2 + pick(3); f < count; ++f) {
    RepositoryFile file;
    file.root = pick(2) ? repwriter::Root::Hot : repwriter::Root::Environment;
    file.folder = "src" + std::to_string(pick(3));
    for (uint32_t footer_index = 0, footers = 1 + pick(2); footer_index < footers; ++footer_index) {
      FooterDescription footer;
      footer.log = logs[pick(4)];
      footer.platform_id = pick(3) == 0 ? 610 : 2;
      for (uint32_t p = 0, parts = 1 + pick(3); p < parts; ++p) {
        repwriter::PartDescription part{.index = p + 1};
        for (uint32_t e = 0, events = pick(40); e < events; ++e) {
          part.events.push_back(At(k20180307 + pick(3 * 86400), ids[pick(6)], computers[pick(5)], categories[pick(5)],
                                   static_cast<uint16_t>(pick(4))));
        }
        footer.parts.push_back(std::move(part));
      }
      file.image.footers.push_back(std::move(footer));
    }
    files.push_back(std::move(file));
  }
  return files;
}

TEST(Report, FullAndFastModesMatchTheWrittenEvents) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    const Repository repo(RandomFiles(seed));
    const auto events = repo.Events();
    ASSERT_FALSE(events.empty());
    for (int mode = 0; mode <= 12; ++mode) {
      const std::string expected = ExpectedReport(mode, events);
      ProgramResult full = repo.Run(mode);
      EXPECT_EQ(full.out, expected) << "seed " << seed << " mode " << mode;
      EXPECT_EQ(full.status, 0) << full.err;
      EXPECT_EQ(repo.Run(mode + 20).out, expected) << "seed " << seed << " mode " << mode + 20;
    }
  }
}

// A part of many events over few rows counts them in per-row cells, which
// go to the table when the period changes; a part of few events counts
// through the memo. Both give the written counts, also for events out of
// time order and for rows that come back to an earlier period.
TEST(Report, PartsOfManyAndOfFewEventsCountAlike) {
  std::mt19937 random(5);
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const std::vector<std::u16string> computers = {u"a", u"B"};
  const std::vector<std::u16string> categories = {u"x", u"y", u""};
  FooterDescription footer;
  footer.log = u"Security";
  repwriter::PartDescription many{.index = 1};
  for (uint32_t e = 0; e < 300; ++e) {
    // Mostly in time order, with every tenth event thrown back or ahead.
    const uint32_t time = k20180307 + e * 1500 + (e % 10 == 0 ? pick(5) * 86400 : 0);
    many.events.push_back(
        At(time, 100 + pick(3), computers[pick(2)], categories[pick(3)], static_cast<uint16_t>(pick(2))));
  }
  repwriter::PartDescription few{.index = 2};
  for (uint32_t e = 0; e < 3; ++e)
    few.events.push_back(At(k20180307 + e * 40000, 100 + e, u"c" + std::u16string(1, u'0' + e)));
  footer.parts = {many, few};
  const Repository repo({{.image = {.footers = {footer}}}});
  const auto events = repo.Events();
  for (int mode = 0; mode <= 12; ++mode) {
    const std::string expected = ExpectedReport(mode, events);
    EXPECT_EQ(repo.Run(mode).out, expected) << mode;
    EXPECT_EQ(repo.Run(mode + 20).out, expected) << mode + 20;
  }
}

// A report of megabytes leaves the program in many writes; on Windows its
// line ends become CR LF on the way. No line may be cut, doubled or lose
// its line end where one write ends and the next begins.
TEST(Report, AReportOfMegabytesIsWrittenWholeWithThePlatformsLineEnds) {
  FooterDescription footer;
  footer.log = u"Security";
  repwriter::PartDescription part{.index = 1};
  for (uint32_t e = 0; e < 70000; ++e) {
    part.events.push_back(At(k20180307 + e * 3600, 4000 + e % 97, e % 2 ? u"dc01" : u"workstation-0042"));
  }
  footer.parts = {part};
  const Repository repo({{.image = {.footers = {footer}}}});
  std::string expected = ExpectedReport(8, repo.Events());
  ASSERT_GT(expected.size(), size_t{2} << 20);
#ifdef _WIN32
  std::string with_cr;
  for (char c : expected) {
    if (c == '\n') with_cr.push_back('\r');
    with_cr.push_back(c);
  }
  expected = std::move(with_cr);
#endif
  const ProgramResult raw = RunProgramRaw({"-m", "8", repo.Path()});
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out.size(), expected.size());
  EXPECT_TRUE(raw.out == expected);
}

TEST(Report, TimeWindowsAtExactBoundaries) {
  const Repository repo(RandomFiles(11));
  const auto events = repo.Events();
  const uint32_t pivot = events[events.size() / 2].time;  // an event lies exactly here
  struct Case {
    std::vector<std::string> options;
    Window window;
  };
  const std::vector<Case> cases = {
      {{"-f", TimeText(pivot)}, {true, pivot}},
      {{"-t", TimeText(pivot)}, {true, 0, pivot}},
      {{"-f", TimeText(pivot + 1), "-t", TimeText(pivot + 7200)}, {true, pivot + 1, pivot + 7200ULL}},
      {{"-f", "2030"}, {true, 1893456000}},
  };
  for (const Case& c : cases) {
    for (int mode : {0, 3, 8, 12}) {
      const std::string expected = ExpectedReport(mode, events, c.window);
      EXPECT_EQ(repo.Run(mode, c.options).out, expected) << mode << " " << c.options[1];
      ProgramResult fast = repo.Run(mode + 20, c.options);
      EXPECT_EQ(fast.out, expected) << mode + 20 << " " << c.options[1];
      // With a window the totals are not compared.
      EXPECT_EQ(fast.err.find("m_total"), std::string::npos);
    }
  }
}

TEST(Report, DeltasThatWrapAndOffsetsThatRestartPerPart) {
  // One computer row's time base is its first event; a later event of the
  // same part that is earlier than that base needs a delta that wraps.
  FooterDescription footer;
  footer.log = u"Security";
  footer.parts.push_back({.index = 1,
                          .events = {At(k20180307 + 5000, 1, u"a"), At(k20180307, 2, u"b"), At(k20180307 + 10, 3, u"a"),
                                     At(k20180307 + 90000, 4, u"b")}});
  footer.parts.push_back({.index = 2, .events = {At(k20180307 + 3, 5, u"a"), At(k20180307 + 2, 6, u"a")}});
  const Repository repo({{.image = {.footers = {footer}}}});
  const auto events = repo.Events();
  for (int mode : {2, 8}) {
    EXPECT_EQ(repo.Run(mode).out, ExpectedReport(mode, events)) << mode;
    EXPECT_EQ(repo.Run(mode + 20).out, ExpectedReport(mode, events)) << mode;
    // A window that skips some records must still advance the running offset.
    const std::vector<std::string> window = {"-f", TimeText(k20180307 + 4), "-t", TimeText(k20180307 + 5001)};
    EXPECT_EQ(repo.Run(mode + 20, window).out, ExpectedReport(mode, events, {true, k20180307 + 4, k20180307 + 5001}));
  }
}

TEST(Totals, AFooterThatDoesNotAddUpIsReported) {
  ImageDescription image = OneFooter(u"Security", {At(k20180307, 1), At(k20180307, 2)});
  image.damage.push_back({.what = repwriter::Damage::EventsCountMismatch});
  const Repository repo({{.image = image}});
  ProgramResult result = repo.Run(0);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("counter->m_total != counter->m_prop_total : 2 != 3\n"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("prop_info.ulEventNum != tmp_ulCount"), std::string::npos);
  // A window turns the comparison off.
  EXPECT_EQ(repo.Run(0, {"-f", "2000"}).err.find("m_total"), std::string::npos);
}

TEST(Totals, EventsThatCannotBePlacedAreLeftOutAlike) {
  ImageDescription image = OneFooter(u"Security", {At(k20180307, 1), At(k20180307, 2, u"x"), At(k20180307, 3)});
  image.damage.push_back({.what = repwriter::Damage::CategoryIndexOutOfRange, .part = 1});
  const Repository cat_repo({{.image = image}});
  for (int mode : {0, 20, 11, 31}) {
    ProgramResult result = cat_repo.Run(mode);
    EXPECT_EQ(result.status, 2) << mode;
    EXPECT_NE(result.err.find("counter->m_total != counter->m_prop_total : 2 != 3"), std::string::npos) << mode;
  }
  EXPECT_EQ(cat_repo.Run(0).out, cat_repo.Run(20).out);
  // Modes without categories do not need the row and count every event.
  EXPECT_EQ(cat_repo.Run(3).out, "2018-03-07,DC01,2\n2018-03-07,X,1\n");
  EXPECT_EQ(cat_repo.Run(3).status, 0);

  image.damage = {{.what = repwriter::Damage::ComputerIndexOutOfRange, .part = 1}};
  const Repository comp_repo({{.image = image}});
  // Mode 0 without a window needs no computer row.
  EXPECT_EQ(comp_repo.Run(0).out, "Security,1,1\nSecurity,2,1\nSecurity,3,1\n");
  for (int mode : {1, 21, 3, 23}) EXPECT_EQ(comp_repo.Run(mode).status, 2) << mode;
  EXPECT_EQ(comp_repo.Run(1).out, comp_repo.Run(21).out);
  EXPECT_EQ(comp_repo.Run(0, {"-f", "2000"}).out, comp_repo.Run(20, {"-f", "2000"}).out);
}

}  // namespace
}  // namespace tallymere::test
