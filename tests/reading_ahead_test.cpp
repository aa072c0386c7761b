// Reading ahead: files are read and parsed on worker threads ahead of the
// one being counted, a large file part by part, and report lines are
// formatted in batches there. Whatever the number of workers, a run prints
// exactly what a run on one thread prints, diagnostics included, and ends
// the same way.
#include <gtest/gtest.h>

#include <string>
#include <utility>
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
