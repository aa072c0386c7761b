// The damage matrix: every fault the writer library can put into a file,
// read by the program in the property-total mode, a full grouping mode and
// its Fast mode. The damaged file sits between two sound ones, so each case
// shows what the program says about the fault, which exit status it ends
// with, and what it still counts: every event of the sound files, except
// that a file which fails to parse stops all counting after it (the failed
// mark is sticky).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "repwriter/records.h"
#include "repwriter/repository.h"
#include "support/expected_report.h"
#include "support/program_runner.h"
#include "support/spawn.h"

namespace tallymere::test {
namespace {

using repwriter::BufferKind;
using repwriter::Damage;
using repwriter::DamageSpot;
using repwriter::Event;
using repwriter::FooterDescription;
using repwriter::ImageDescription;
using repwriter::RepositoryFile;

constexpr uint32_t k20180307 = 1520380800;  // 2018-03-07 00:00:00 UTC
constexpr int kPropertyTotalMode = -1;
constexpr int kGroupedMode = 7;  // day, computer, log, event ID
constexpr int kGroupedFastMode = 27;

ImageDescription OneFooter(std::u16string log, std::vector<Event> events) {
  FooterDescription footer;
  footer.log = std::move(log);
  footer.parts.push_back({.index = 1, .events = std::move(events)});
  return {.footers = {std::move(footer)}};
}

ImageDescription SoundImage(uint32_t first_time, uint32_t count) {
  std::vector<Event> events;
  for (uint32_t i = 0; i < count; ++i) {
    events.push_back({.computer = i % 2 ? u"dc01" : u"ws7",
                      .category = u"Logon",
                      .event_type = 8,
                      .event_id = 4624 + i % 2,
                      .time = first_time + i * 3000});
  }
  return OneFooter(u"Application", std::move(events));
}

// The damaged file logs under its own name, so its report lines can be told
// from those of the sound files. Its records carry no references or data:
// each is 36 bytes, and the events buffer packs far below its length, so
// the stored length is the one the reader trusts.
ImageDescription DamagedImage(std::vector<DamageSpot> damage) {
  std::vector<Event> events;
  for (uint32_t i = 0; i < 200; ++i) {
    events.push_back({.computer = i % 3 ? u"srv" : u"db",
                      .category = i % 2 ? u"Logon" : u"Policy",
                      .event_type = 4,
                      .event_id = 100 + i % 5,
                      .time = k20180307 + 600 * i,
                      .record = repwriter::EventRecord{}});
  }
  ImageDescription image = OneFooter(u"Damaged", std::move(events));
  image.damage = std::move(damage);
  return image;
}

// What the damaged file does to a run.
enum class DamagedCount {
  kAll,          // its events are counted as written
  kNone,         // none of its events are counted
  kAllButFirst,  // the first record cannot be placed
  kUnchecked,    // what is left of its content is counted as far as it goes
};

struct Expectation {
  bool fails_parse = false;  // "some problem in file:", nothing counted after it
  int grouped_status = 0;
  std::string grouped_text{};  // printed by the grouping modes; empty: nothing required
  DamagedCount grouped_count = DamagedCount::kAll;
  bool property_fails_parse = false;
  int property_status = 0;
  std::string property_text{};  // printed by the property total
  bool property_counts_damaged = true;
  uint64_t property_extra = 0;  // added to the damaged file's "EventsCount"
};

struct DamageCase {
  std::string name{};
  std::vector<DamageSpot> damage{};
  Expectation expect{};
};

Expectation FailsParse(std::string text = "") {
  return {.fails_parse = true,
          .grouped_status = 2,
          .grouped_text = text,
          .grouped_count = DamagedCount::kNone,
          .property_fails_parse = true,
          .property_status = 2,
          .property_text = text,
          .property_counts_damaged = false};
}

// Damage the grouping modes meet in a data buffer; the property total never
// unpacks one.
Expectation ContentReported(std::string text, DamagedCount count) {
  return {.grouped_status = 2, .grouped_text = std::move(text), .grouped_count = count};
}

// A property the grouping modes need; the property total reads only
// "EventsCount".
Expectation FooterSkipped(std::string text) {
  return {.grouped_status = 2, .grouped_text = std::move(text), .grouped_count = DamagedCount::kNone};
}

std::vector<DamageCase> DamageCases(uint64_t damaged_size) {
  const std::string events = repwriter::PartBufferName(BufferKind::Events, 1);
  const auto on_events = [&](Damage what) { return std::vector<DamageSpot>{{.what = what, .buffer = events}}; };
  const auto whole = [](Damage what, uint64_t length = 0) {
    return std::vector<DamageSpot>{{.what = what, .length = length}};
  };
  const std::string header = "last_footer_offset + last_footer_len != buffer_len :";
  const std::string scan = "ScanFooters() error";
  std::vector<DamageCase> cases = {
      // A bad CRC or signature is reported and the content still used; the
      // run still ends with status 2, as for any damaged content.
      {"BadCrc", on_events(Damage::BadCrc), ContentReported("BAD CRC: ", DamagedCount::kAll)},
      {"WrongSignature", on_events(Damage::WrongSignature), ContentReported("Wrong signature!\n", DamagedCount::kNone)},
      {"CorruptDeflate", on_events(Damage::CorruptDeflate),
       ContentReported("error: Can't uncompress : -3\nuncompress error\n", DamagedCount::kUnchecked)},
      // A stored length that cannot be right only costs a second guess.
      {"UnpackedLenTooSmall", on_events(Damage::UnpackedLenTooSmall), {}},
      {"UnpackedLenHuge", on_events(Damage::UnpackedLenHuge), {}},
      {"BufferShorterThanHeader", on_events(Damage::BufferShorterThanHeader), FailsParse()},
      {"EntryPastImage", on_events(Damage::EntryPastImage), FailsParse()},
      {"EntryNameLengthPastTable", on_events(Damage::EntryNameLengthPastTable), FailsParse()},
      // A link past the end: each chain field that would be read there is named.
      {"ChainOutOfRange", whole(Damage::ChainOutOfRange),
       FailsParse("Current buffer offset " + std::to_string(damaged_size + 8) + " is out of range " +
                  std::to_string(damaged_size) + "\nCurrent buffer offset " + std::to_string(damaged_size + 12) +
                  " is out of range " + std::to_string(damaged_size) + "\n" + scan)},
      {"ChainLoopsToSelf", whole(Damage::ChainLoopsToSelf), FailsParse(scan)},
      {"ChainPointsForward", whole(Damage::ChainPointsForward), FailsParse(scan)},
      {"PropertyLengthPastSection", whole(Damage::PropertyLengthPastSection), FailsParse("Wrong property value!!!\n")},
      {"MissingEventsCount",
       whole(Damage::MissingEventsCount),
       {.grouped_status = 2,
        .grouped_text = "EventsCount not found in footer property.\n",
        .grouped_count = DamagedCount::kNone,
        .property_status = 2,
        .property_text = "EventsCount not found in footer property.\n",
        .property_counts_damaged = false}},
      {"MissingComputerType", whole(Damage::MissingComputerType),
       FooterSkipped("ComputerType not found in footer property.\n")},
      {"MissingPlatformId", whole(Damage::MissingPlatformId),
       FooterSkipped("PlatformID not found in footer property.\n")},
      {"MissingUnderDataSource", whole(Damage::MissingUnderDataSource),
       FooterSkipped("UnderDataSource not found in footer property.\n")},
      {"NonNumericEventsCount", whole(Damage::NonNumericEventsCount), FailsParse()},
      {"NonNumericComputerType", whole(Damage::NonNumericComputerType),
       FooterSkipped("ComputerType not found in footer property.\n")},
      {"NonNumericPlatformId", whole(Damage::NonNumericPlatformId),
       FooterSkipped("PlatformID not found in footer property.\n")},
      {"EventsCountMismatch",
       whole(Damage::EventsCountMismatch),
       {.grouped_status = 2, .grouped_text = "prop_info.ulEventNum != tmp_ulCount", .property_extra = 1}},
      {"CategoryIndexOutOfRange",
       {{.what = Damage::CategoryIndexOutOfRange, .part = 1}},
       {.grouped_status = 2,
        .grouped_text = "counter->m_total != counter->m_prop_total : 204 != 205",
        .grouped_count = DamagedCount::kAllButFirst}},
      {"ComputerIndexOutOfRange",
       {{.what = Damage::ComputerIndexOutOfRange, .part = 1}},
       {.grouped_status = 2,
        .grouped_text = "counter->m_total != counter->m_prop_total : 204 != 205",
        .grouped_count = DamagedCount::kAllButFirst}},
      // The property total builds no parts, so it never walks the records.
      {"StrayBytesAfterLastRecord",
       {{.what = Damage::StrayBytesAfterLastRecord, .part = 1}},
       {.fails_parse = true, .grouped_status = 2, .grouped_count = DamagedCount::kNone}},
      {"HeaderSumOff", whole(Damage::HeaderSumOff), FailsParse(header)},
      {"ShorterThanHeader", whole(Damage::ShorterThanHeader), FailsParse(header)},
  };
  // Cut at every eighth of the file, down to nothing at all.
  for (uint64_t eighths = 0; eighths < 8; ++eighths) {
    cases.push_back({"TruncatedTo" + std::to_string(eighths) + "Eighths",
                     whole(Damage::Truncate, damaged_size * eighths / 8), FailsParse(header)});
  }
  return cases;
}

std::string LinesContaining(const std::string& text, const std::string& needle) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(needle) != std::string::npos) kept += line + "\n";
  }
  return kept;
}

// The verbose total of the property-total mode. Once a file has failed the
// counter carries the failed mark and the line reads like any other mode's.
std::string PropertyTotalLine(uint64_t total, bool failed) {
  return (failed ? "\ntotal : " : "\ntotal (property): ") + std::to_string(total) + "\n";
}

class DamageMatrix : public ::testing::Test {
 protected:
  // Writes sound file, damaged file, sound file, in the order the walk reads them.
  void WriteRepository(const DamageCase& damage) {
    files_ = {{.image = SoundImage(k20180307, 3)},
              {.image = DamagedImage(damage.damage)},
              {.image = SoundImage(k20180307 + 86400, 2)}};
    paths_ = repwriter::WriteRepository(Repository(), files_);
  }
  std::filesystem::path Repository() const { return folder_.path() / "repo"; }
  ProgramResult Run(int mode) const { return RunProgram({"-v", "-m", std::to_string(mode), Repository().string()}); }
  std::vector<repwriter::ExpectedEvent> Events(size_t file) const { return repwriter::ListEvents(files_[file].image); }
  uint64_t EventsCount(size_t file) const { return repwriter::ExpectedEventsCountTotal(files_[file].image); }

  void CheckGrouped(const DamageCase& damage, int mode) const;
  void CheckPropertyTotal(const DamageCase& damage) const;
  void CheckFailureReport(const ProgramResult& result, bool fails_parse, int status, const std::string& text) const;

  TempFolder folder_;
  std::vector<RepositoryFile> files_;
  std::vector<std::filesystem::path> paths_;
};

void DamageMatrix::CheckFailureReport(const ProgramResult& result, bool fails_parse, int status,
                                      const std::string& text) const {
  EXPECT_EQ(result.status, status) << result.out << result.err;
  const std::string all = result.out + result.err;
  if (!text.empty()) {
    EXPECT_NE(all.find(text), std::string::npos) << "missing \"" << text << "\" in\n" << all;
  }
  const std::string problem = "some problem in file:\n" + ShownPath(paths_[1].string()) + "\n";
  EXPECT_EQ(result.out.find(problem) != std::string::npos, fails_parse) << result.out;
}

void DamageMatrix::CheckGrouped(const DamageCase& damage, int mode) const {
  SCOPED_TRACE("mode " + std::to_string(mode));
  const Expectation& expect = damage.expect;
  const ProgramResult result = Run(mode);
  CheckFailureReport(result, expect.fails_parse, expect.grouped_status, expect.grouped_text);

  std::vector<repwriter::ExpectedEvent> sound = Events(0);
  if (!expect.fails_parse) {
    const auto after = Events(2);
    sound.insert(sound.end(), after.begin(), after.end());
  }
  EXPECT_EQ(LinesContaining(result.out, ",Application,"), ExpectedReport(mode, sound));

  std::vector<repwriter::ExpectedEvent> damaged = Events(1);
  if (expect.grouped_count == DamagedCount::kUnchecked) return;
  if (expect.grouped_count == DamagedCount::kNone) damaged.clear();
  if (expect.grouped_count == DamagedCount::kAllButFirst) damaged.erase(damaged.begin());
  EXPECT_EQ(LinesContaining(result.out, ",Damaged,"), ExpectedReport(mode, damaged));
}

void DamageMatrix::CheckPropertyTotal(const DamageCase& damage) const {
  SCOPED_TRACE("mode -1");
  const Expectation& expect = damage.expect;
  const ProgramResult result = Run(kPropertyTotalMode);
  CheckFailureReport(result, expect.property_fails_parse, expect.property_status, expect.property_text);
  uint64_t total = EventsCount(0);
  if (expect.property_counts_damaged) total += EventsCount(1) + expect.property_extra;
  if (!expect.property_fails_parse) total += EventsCount(2);
  EXPECT_NE(result.out.find(PropertyTotalLine(total, expect.property_fails_parse)), std::string::npos) << result.out;
}

TEST_F(DamageMatrix, EveryDamageIsReportedAndOnlySoundContentCounted) {
  const uint64_t damaged_size = repwriter::WriteImage(DamagedImage({})).size();
  for (const DamageCase& damage : DamageCases(damaged_size)) {
    SCOPED_TRACE(damage.name);
    WriteRepository(damage);
    CheckPropertyTotal(damage);
    CheckGrouped(damage, kGroupedMode);
    CheckGrouped(damage, kGroupedFastMode);
    std::filesystem::remove_all(Repository());
  }
}

TEST_F(DamageMatrix, SoundRepositoryEndsCleanly) {
  WriteRepository({"None", {}, {}});
  for (int mode : {kGroupedMode, kGroupedFastMode}) CheckGrouped({"None", {}, {}}, mode);
  CheckPropertyTotal({"None", {}, {}});
}

// A container whose first nested buffer lost its image magic: the buffer is
// named as of no known kind and passed over, the second nested image is
// counted, and the run may not end as if the repository were sound.
TEST(DamagedContainer, AnUnknownNestedBufferEndsTheRunWithStatusTwo) {
  TempFolder folder;
  ImageDescription container;
  container.footers.push_back(FooterDescription{});
  container.footers[0].nested = {SoundImage(k20180307, 3), SoundImage(k20180307 + 86400, 4)};
  container.damage = {{.what = Damage::WrongSignature, .buffer = "segment_1.img"}};
  const std::filesystem::path repository = folder.path() / "repo";
  repwriter::WriteRepository(repository, {{.image = container}});
  for (int mode : {0, 20}) {
    const ProgramResult result = RunProgram({"-m", std::to_string(mode), repository.string()});
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    EXPECT_NE(result.out.find("Unknown Buffer ID = -3\n"), std::string::npos) << result.out;
    EXPECT_EQ(LinesContaining(result.out, "Application,"),
              ExpectedReport(mode, repwriter::ListEvents(container.footers[0].nested[1])));
  }
}

// The report less its last line, the elapsed seconds of the verbose total.
std::string WithoutElapsed(const std::string& out) {
  const size_t last = out.find_last_of('\n', out.size() < 2 ? 0 : out.size() - 2);
  return last == std::string::npos ? out : out.substr(0, last + 1);
}

// Files are read and parsed on worker threads ahead of the one being
// counted, across folders and roots; whatever the number of workers, a run
// must print exactly what a run on one thread prints, diagnostics included,
// and end the same way.
TEST(ReadingAhead, PrintsExactlyWhatOneThreadPrints) {
  TempFolder folder;
  const auto damaged = [](Damage what) {
    const std::string events = repwriter::PartBufferName(BufferKind::Events, 1);
    return RepositoryFile{.image = DamagedImage({{.what = what, .buffer = events}})};
  };
  const auto whole = [](Damage what) { return RepositoryFile{.image = DamagedImage({{.what = what}})}; };
  ImageDescription container;
  container.footers.push_back(FooterDescription{});
  container.footers[0].nested = {SoundImage(k20180307 + 7 * 86400, 2), DamagedImage({})};
  std::vector<RepositoryFile> files = {{.image = SoundImage(k20180307, 3)},
                                       damaged(Damage::BadCrc),
                                       {.image = SoundImage(k20180307 + 86400, 4)},
                                       damaged(Damage::CorruptDeflate),
                                       whole(Damage::EventsCountMismatch),
                                       {.image = container},
                                       damaged(Damage::WrongSignature),
                                       whole(Damage::MissingComputerType),
                                       {.image = SoundImage(k20180307 + 2 * 86400, 5)},
                                       whole(Damage::ChainLoopsToSelf),
                                       {.image = SoundImage(k20180307 + 3 * 86400, 6)}};
  const std::filesystem::path folders[] = {"Application", "Security", "Security", "System/Nested", "Setup"};
  for (size_t i = 0; i < files.size(); ++i) {
    files[i].name = "file" + std::to_string(10 + i) + ".rep";
    files[i].folder = folders[i % std::size(folders)];
    if (i % 4 == 3) files[i].root = repwriter::Root::Hot;
  }
  const std::filesystem::path repository = folder.path() / "repo";
  repwriter::WriteRepository(repository, files);

  for (int mode : {-1, 0, 7, 27}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::vector<std::string> args = {"-v", "-m", std::to_string(mode), repository.string()};
    SetInheritedEnvironment("TALLYMERE_THREADS", "0");
    const ProgramResult alone = RunProgram(args);
    for (const std::string workers : {"1", "3"}) {
      SetInheritedEnvironment("TALLYMERE_THREADS", workers);
      const ProgramResult ahead = RunProgram(args);
      EXPECT_EQ(ahead.status, alone.status) << workers;
      EXPECT_EQ(WithoutElapsed(ahead.out), WithoutElapsed(alone.out)) << workers;
      EXPECT_EQ(ahead.err, alone.err) << workers;
    }
    SetInheritedEnvironment("TALLYMERE_THREADS", "");
    EXPECT_NE(alone.out.find(mode < 0 ? "ScanFooters() error" : "BAD CRC: "), std::string::npos);
    EXPECT_NE(alone.out.find("some problem in file:"), std::string::npos);
  }
}

// One file of many parts in two footers, its events spread over hours,
// computers and event IDs, with the damage given.
ImageDescription LargeImage(std::vector<DamageSpot> damage) {
  ImageDescription image;
  for (uint32_t f = 0; f < 2; ++f) {
    FooterDescription footer;
    footer.log = f == 0 ? u"Large" : u"Larger";
    for (uint32_t p = 1; p <= 60; ++p) {
      repwriter::PartDescription part{.index = p};
      for (uint32_t i = 0; i < 150; ++i) {
        const uint32_t n = (f * 60 + p) * 150 + i;
        part.events.push_back({.computer = n % 7 ? u"srv" : u"db" + std::u16string(1, u'0' + n % 4),
                               .category = n % 3 ? u"Logon" : u"Policy",
                               .event_type = 4,
                               .event_id = 100 + n % 11,
                               .time = k20180307 + 37 * n});
      }
      footer.parts.push_back(std::move(part));
    }
    image.footers.push_back(std::move(footer));
  }
  image.damage = std::move(damage);
  return image;
}

// A large file is spread over every worker, part by part, and a
// container's nested images are unpacked ahead: whatever the number of
// workers, the run prints what a run on one thread prints, diagnostics of
// the damaged parts in their place, and a part that fails to parse half-way
// through keeps the whole file and the file after it from being counted.
TEST(ReadingAhead, OneLargeFilePrintsWhatOneThreadPrintsWithAnyWorkers) {
  const std::string middle_events = repwriter::PartBufferName(BufferKind::Events, 30);
  const std::vector<DamageSpot> counted_damage = {
      {.what = Damage::BadCrc, .footer = 0, .buffer = middle_events},
      {.what = Damage::WrongSignature, .footer = 1, .buffer = repwriter::PartBufferName(BufferKind::Computer, 12)},
      {.what = Damage::EventsCountMismatch, .footer = 1}};
  const std::vector<DamageSpot> failing_damage = {{.what = Damage::BadCrc, .footer = 0, .buffer = middle_events},
                                                  {.what = Damage::StrayBytesAfterLastRecord, .footer = 0, .part = 31}};
  for (const auto& [damage, fails] : {std::pair{counted_damage, false}, std::pair{failing_damage, true}}) {
    TempFolder folder;
    // The sound file is also the first of a container's twelve nested
    // images, which are unpacked a few at a time.
    ImageDescription container;
    container.footers.push_back(FooterDescription{});
    for (uint32_t k = 0; k < 12; ++k) container.footers[0].nested.push_back(SoundImage(k20180307 + k * 86400, 3 + k));
    std::vector<RepositoryFile> files = {
        {.image = container}, {.image = LargeImage(damage)}, {.image = SoundImage(k20180307, 5)}};
    files[0].name = "0-container.rep";
    files[1].name = "a-large.rep";
    files[2].name = "b-after.rep";
    const std::filesystem::path repository = folder.path() / "repo";
    repwriter::WriteRepository(repository, files);
    for (int mode : {-1, 0, 20, 8}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + (fails ? ", failing part" : ", damaged parts"));
      const std::vector<std::string> args = {"-v", "-m", std::to_string(mode), repository.string()};
      SetInheritedEnvironment("TALLYMERE_THREADS", "0");
      const ProgramResult alone = RunProgram(args);
      for (int workers = 1; workers <= 8; ++workers) {
        SetInheritedEnvironment("TALLYMERE_THREADS", std::to_string(workers));
        const ProgramResult ahead = RunProgram(args);
        EXPECT_EQ(ahead.status, alone.status) << workers;
        EXPECT_TRUE(WithoutElapsed(ahead.out) == WithoutElapsed(alone.out)) << workers;
        EXPECT_EQ(ahead.err, alone.err) << workers;
      }
      SetInheritedEnvironment("TALLYMERE_THREADS", "");
      if (mode < 0) continue;  // the property total unpacks nothing
      EXPECT_EQ(alone.status, 2);
      EXPECT_NE(alone.out.find("BAD CRC: "), std::string::npos);
      EXPECT_EQ(alone.out.find("some problem in file:") != std::string::npos, fails);
      // The container before it is counted whole; nothing of the failed
      // file, nor of the file after it.
      std::vector<repwriter::ExpectedEvent> counted = repwriter::ListEvents(files[0].image);
      if (!fails) {
        const auto after = repwriter::ListEvents(files[2].image);
        counted.insert(counted.end(), after.begin(), after.end());
      }
      EXPECT_EQ(LinesContaining(alone.out, "Application,"), ExpectedReport(mode, counted));
      EXPECT_EQ(LinesContaining(alone.out, ",").find("Large,") != std::string::npos, !fails);
    }
  }
}

// A report of many lines is sorted and formatted in batches on the worker
// threads; it must come out as on one thread, and as written.
TEST(ReadingAhead, ReportsOfManyLinesMatchOneThread) {
  TempFolder folder;
  std::vector<Event> events;
  constexpr uint32_t kEvents = 150000;  // more than two batches of lines
  for (uint32_t i = 0; i < kEvents; ++i) {
    events.push_back({.computer = i % 3 ? u"dc01" : u"ws7",
                      .category = u"Logon",
                      .event_type = 8,
                      .event_id = i % 40000 * 3 + (i % 7 == 0 ? 0x80000000u : 0),
                      .time = k20180307 + i * 7});
  }
  std::vector<RepositoryFile> files = {{.image = OneFooter(u"Security", events)},
                                       {.image = OneFooter(u"System", events)}};
  files[1].folder = "System";
  const std::filesystem::path repository = folder.path() / "repo";
  repwriter::WriteRepository(repository, files);
  std::vector<repwriter::ExpectedEvent> written = repwriter::ListEvents(files[0].image);
  const auto second = repwriter::ListEvents(files[1].image);
  written.insert(written.end(), second.begin(), second.end());

  for (int mode : {8, 32}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::vector<std::string> args = {"-m", std::to_string(mode), repository.string()};
    SetInheritedEnvironment("TALLYMERE_THREADS", "0");
    const ProgramResult alone = RunProgram(args);
    SetInheritedEnvironment("TALLYMERE_THREADS", "2");
    const ProgramResult ahead = RunProgram(args);
    SetInheritedEnvironment("TALLYMERE_THREADS", "");
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(ahead.status, 0);
    EXPECT_TRUE(ahead.out == alone.out);  // megabytes: no dump of either
    EXPECT_TRUE(LinesContaining(ahead.out, ",") == ExpectedReport(mode, written));
  }
}

}  // namespace
}  // namespace tallymere::test
