// The damage matrix: every fault the writer library can put into a file,
// read by the program in the property-total mode, a full grouping mode and
// its Fast mode. The damaged file sits between two sound ones, so each case
// shows what the program says about the fault, which exit status it ends
// with, and what it still counts: every event of the sound files, except
// that a file which fails to parse stops all counting after it (the failed
// mark is sticky).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repwriter/records.h"
#include "repwriter/repository.h"
#include "support/expected_report.h"
#include "support/program_runner.h"
#include "support/sample_images.h"
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

constexpr int kPropertyTotalMode = -1;
constexpr int kGroupedMode = 7;  // day, computer, log, event ID
constexpr int kGroupedFastMode = 27;

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

std::vector<DamageSpot> OnEvents(Damage what) {
  return {{.what = what, .buffer = repwriter::PartBufferName(BufferKind::Events, 1)}};
}

std::vector<DamageSpot> Whole(Damage what, uint64_t length = 0) { return {{.what = what, .length = length}}; }

constexpr char kScanFailed[] = "ScanFooters() error";
constexpr char kHeaderMismatch[] = "last_footer_offset + last_footer_len != buffer_len :";

// Damage to the first part's events buffer, and to the layout of the image.
std::vector<DamageCase> BufferDamageCases(uint64_t damaged_size) {
  return {
      // A bad CRC or signature is reported and the content still used; the
      // run still ends with status 2, as for any damaged content.
      {"BadCrc", OnEvents(Damage::BadCrc), ContentReported("BAD CRC: ", DamagedCount::kAll)},
      {"WrongSignature", OnEvents(Damage::WrongSignature), ContentReported("Wrong signature!\n", DamagedCount::kNone)},
      {"CorruptDeflate", OnEvents(Damage::CorruptDeflate),
       ContentReported("error: Can't uncompress : -3\nuncompress error\n", DamagedCount::kUnchecked)},
      // A stored length that cannot be right only costs a second guess.
      {"UnpackedLenTooSmall", OnEvents(Damage::UnpackedLenTooSmall), {}},
      {"UnpackedLenHuge", OnEvents(Damage::UnpackedLenHuge), {}},
      {"BufferShorterThanHeader", OnEvents(Damage::BufferShorterThanHeader), FailsParse()},
      {"EntryPastImage", OnEvents(Damage::EntryPastImage), FailsParse()},
      {"EntryNameLengthPastTable", OnEvents(Damage::EntryNameLengthPastTable), FailsParse()},
      // A link past the end: each chain field that would be read there is named.
      {"ChainOutOfRange", Whole(Damage::ChainOutOfRange),
       FailsParse("Current buffer offset " + std::to_string(damaged_size + 8) + " is out of range " +
                  std::to_string(damaged_size) + "\nCurrent buffer offset " + std::to_string(damaged_size + 12) +
                  " is out of range " + std::to_string(damaged_size) + "\n" + kScanFailed)},
      {"ChainLoopsToSelf", Whole(Damage::ChainLoopsToSelf), FailsParse(kScanFailed)},
      {"ChainPointsForward", Whole(Damage::ChainPointsForward), FailsParse(kScanFailed)},
      {"HeaderSumOff", Whole(Damage::HeaderSumOff), FailsParse(kHeaderMismatch)},
      {"ShorterThanHeader", Whole(Damage::ShorterThanHeader), FailsParse(kHeaderMismatch)},
  };
}

// Damage to the footer's properties.
std::vector<DamageCase> PropertyDamageCases() {
  return {
      {"PropertyLengthPastSection", Whole(Damage::PropertyLengthPastSection), FailsParse("Wrong property value!!!\n")},
      {"MissingEventsCount",
       Whole(Damage::MissingEventsCount),
       {.grouped_status = 2,
        .grouped_text = "EventsCount not found in footer property.\n",
        .grouped_count = DamagedCount::kNone,
        .property_status = 2,
        .property_text = "EventsCount not found in footer property.\n",
        .property_counts_damaged = false}},
      {"MissingComputerType", Whole(Damage::MissingComputerType),
       FooterSkipped("ComputerType not found in footer property.\n")},
      {"MissingPlatformId", Whole(Damage::MissingPlatformId),
       FooterSkipped("PlatformID not found in footer property.\n")},
      {"MissingUnderDataSource", Whole(Damage::MissingUnderDataSource),
       FooterSkipped("UnderDataSource not found in footer property.\n")},
      {"NonNumericEventsCount", Whole(Damage::NonNumericEventsCount), FailsParse()},
      {"NonNumericComputerType", Whole(Damage::NonNumericComputerType),
       FooterSkipped("ComputerType not found in footer property.\n")},
      {"NonNumericPlatformId", Whole(Damage::NonNumericPlatformId),
       FooterSkipped("PlatformID not found in footer property.\n")},
      {"EventsCountMismatch",
       Whole(Damage::EventsCountMismatch),
       {.grouped_status = 2, .grouped_text = "prop_info.ulEventNum != tmp_ulCount", .property_extra = 1}},
  };
}

// Damage to the records of the first part.
std::vector<DamageCase> RecordDamageCases() {
  return {
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
  };
}

std::vector<DamageCase> DamageCases(uint64_t damaged_size) {
  std::vector<DamageCase> cases = BufferDamageCases(damaged_size);
  for (auto group : {PropertyDamageCases(), RecordDamageCases()}) cases.insert(cases.end(), group.begin(), group.end());
  // Cut at every eighth of the file, down to nothing at all.
  for (uint64_t eighths = 0; eighths < 8; ++eighths) {
    cases.push_back({"TruncatedTo" + std::to_string(eighths) + "Eighths",
                     Whole(Damage::Truncate, damaged_size * eighths / 8), FailsParse(kHeaderMismatch)});
  }
  return cases;
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

}  // namespace
}  // namespace tallymere::test
