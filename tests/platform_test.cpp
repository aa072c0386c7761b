// The platform layer: calendar conversion, the version record and Windows
// path resolution, checked alike on every build; and the parts only a
// Windows program shows (line ends, the fatal stop of ".."). Reading files,
// listing folders and file identities: platform_files_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/version_record.h"
#include "platform/windows_path.h"
#include "support/program_runner.h"
#include "support/spawn.h"
#include "support/utf8_paths.h"
#ifdef _WIN32
#include "support/file_holder.h"
#endif

namespace tallymere::test {
namespace {

using platform::CalendarTime;
namespace fs = std::filesystem;

TEST(CalendarToFileTime, KnownInstantsFromTheFirstToTheLastYear) {
  struct Case {
    CalendarTime time;
    uint64_t ticks;  // 100 ns since 1601-01-01 00:00:00 UTC
  };
  const std::vector<Case> cases = {
      {{1601, 1, 1, 0, 0, 0}, 0},
      {{1601, 1, 1, 0, 0, 1}, 10000000},
      {{1970, 1, 1, 0, 0, 0}, 116444736000000000},
      {{2000, 2, 29, 23, 59, 59}, 125963423990000000},
      {{2018, 5, 23, 14, 30, 0}, 131715594000000000},
      {{2106, 2, 7, 6, 28, 15}, 159394408950000000},
      {{9999, 12, 31, 23, 59, 59}, 2650467743990000000},
      {{30827, 12, 31, 23, 59, 59}, 9223149887990000000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::CalendarToFileTime(c.time), c.ticks) << c.time.year << "-" << c.time.month;
  }
}

TEST(CalendarToFileTime, RefusesWhatIsNoCalendarTime) {
  const std::vector<CalendarTime> refused = {
      {1600, 12, 31, 23, 59, 59}, {30828, 1, 1, 0, 0, 0}, {2018, 0, 1, 0, 0, 0},  {2018, 13, 1, 0, 0, 0},
      {2018, 1, 0, 0, 0, 0},      {2018, 1, 32, 0, 0, 0}, {2018, 4, 31, 0, 0, 0}, {2019, 2, 29, 0, 0, 0},
      {1900, 2, 29, 0, 0, 0},     {2018, 1, 1, 24, 0, 0}, {2018, 1, 1, 0, 60, 0}, {2018, 1, 1, 0, 0, 60},
  };
  for (const auto& t : refused) {
    EXPECT_EQ(platform::CalendarToFileTime(t), std::nullopt)
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute << ":" << t.second;
  }
  EXPECT_TRUE(platform::CalendarToFileTime({2020, 2, 29, 0, 0, 0}));
}

// A version record as the resource compiler writes it for 1.1.0.1.
std::vector<uint8_t> VersionRecord(uint32_t signature = 0xFEEF04BD, uint16_t value_length = 52) {
  std::vector<uint8_t> record;
  const auto word = [&](uint16_t w) { record.push_back(static_cast<uint8_t>(w)), record.push_back(w >> 8); };
  const auto double_word = [&](uint32_t d) { word(static_cast<uint16_t>(d)), word(static_cast<uint16_t>(d >> 16)); };
  word(0);  // the length, set below
  word(value_length);
  word(0);
  for (char c : std::string_view("VS_VERSION_INFO", 16)) word(static_cast<uint16_t>(c));
  word(0);  // aligns the value to four bytes
  double_word(signature);
  double_word(0x00010000);
  double_word(0x00010001);  // 1.1
  double_word(0x00000001);  // 0.1
  for (int i = 0; i < 9; ++i) double_word(0);
  record[0] = static_cast<uint8_t>(record.size());
  return record;
}

TEST(VersionRecord, ReadsTheFileVersionAfterTheKeysPadding) {
  EXPECT_EQ(platform::ReadVersionRecord(VersionRecord()), (std::array<uint16_t, 4>{1, 1, 0, 1}));
  EXPECT_EQ(platform::ReadVersionRecord(VersionRecord(0xFEEF04BE)), std::nullopt);
  EXPECT_EQ(platform::ReadVersionRecord(VersionRecord(0xFEEF04BD, 0)), std::nullopt);
  // Records cut short anywhere are refused without reading past their end.
  const std::vector<uint8_t> whole = VersionRecord();
  for (size_t size : {size_t{0}, size_t{37}, size_t{40}, size_t{55}}) {
    EXPECT_EQ(platform::ReadVersionRecord(std::span(whole).first(size)), std::nullopt) << size;
  }
}

TEST(ResolveWindowsPath, AbsoluteAndNetworkPathsTakeTheLongPathPrefix) {
  const auto resolve = [](std::string_view argument) {
    return platform::ResolveWindowsPath(argument, "D:\\work\\a").value_or("(above the root)");
  };
  EXPECT_EQ(resolve("C:\\rep"), "\\\\?\\C:\\rep");
  EXPECT_EQ(resolve("\\\\srv\\share\\rep"), "\\\\?\\UNC\\srv\\share\\rep");
  EXPECT_EQ(resolve("C:/rep/"), "\\\\?\\C:\\rep");
  EXPECT_EQ(resolve("C:\\x\\..\\..\\rep"), "\\\\?\\C:\\rep");  // stops at the drive, as the system does
  EXPECT_EQ(resolve("\\\\srv\\share\\..\\rep"), "\\\\?\\UNC\\srv\\share\\rep");
  EXPECT_EQ(resolve("\\\\?\\C:\\a\\..\\b"), "\\\\?\\C:\\a\\..\\b");  // already literal
  EXPECT_EQ(resolve("d:rep"), "\\\\?\\d:\\work\\a\\rep");            // the current folder of drive D
  EXPECT_EQ(resolve("C:rep"), "\\\\?\\C:\\rep");
}

TEST(ResolveWindowsPath, RelativePathsJoinTheCurrentFolderByComponents) {
  const auto resolve = [](std::string_view argument) {
    return platform::ResolveWindowsPath(argument, "D:\\work\\a").value_or("(above the root)");
  };
  EXPECT_EQ(resolve("\\rep"), "\\\\?\\D:\\rep");
  EXPECT_EQ(resolve("rep"), "\\\\?\\D:\\work\\a\\rep");
  EXPECT_EQ(resolve(".\\rep"), "\\\\?\\D:\\work\\a\\rep");
  EXPECT_EQ(resolve("..\\rep"), "\\\\?\\D:\\work\\rep");
  EXPECT_EQ(resolve("..\\..\\rep"), "\\\\?\\D:\\rep");
  EXPECT_EQ(resolve("..\\a\\..\\b"), resolve("..\\b"));
  EXPECT_EQ(resolve("x..y\\rep"), "\\\\?\\D:\\work\\a\\x..y\\rep");
  EXPECT_EQ(resolve("../x..y/../rep"), "\\\\?\\D:\\work\\rep");
  EXPECT_EQ(resolve(""), "\\\\?\\D:\\work\\a");
  EXPECT_EQ(resolve("..\\..\\..\\rep"), "(above the root)");
  EXPECT_EQ(resolve("a\\..\\..\\..\\..\\rep"), "(above the root)");
  EXPECT_EQ(platform::ResolveWindowsPath("..\\rep", "\\\\srv\\share\\x"), "\\\\?\\UNC\\srv\\share\\rep");
  EXPECT_EQ(platform::ResolveWindowsPath("\\rep", "\\\\srv\\share\\x"), "\\\\?\\UNC\\srv\\share\\rep");
  EXPECT_EQ(platform::ResolveWindowsPath("..\\rep", "\\\\srv\\share"), std::nullopt);
  EXPECT_EQ(platform::ResolveWindowsPath("rep", "\\\\?\\C:\\long"), "\\\\?\\C:\\long\\rep");
}

#ifdef _WIN32
TEST(WriteRaw, AStandardOutputThatRefusesWritesStopsTheRun) {
  TempFolder folder;
  const fs::path input = folder.AddFile("input.txt", "x");
  const fs::path err = folder.path() / "err.txt";
  // Standard output becomes a copy of standard input, a file open for
  // reading only: every write to it fails.
  const std::string command =
      "\"\"" + ProgramPath() + "\" -h <\"" + input.string() + "\" 1>&0 2>\"" + err.string() + "\"\"";
  EXPECT_EQ(std::system(command.c_str()), 255);
  std::ifstream stream(err, std::ios::binary);
  const std::string shown((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  EXPECT_NE(shown.find("Can't write the report: "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" 5 (0x5)"), std::string::npos) << shown;  // access denied, with its code
}
#endif

TEST(ProgramOutput, LinesEndAsTheConsoleProgramsOfThePlatformDo) {
  const ProgramResult raw = RunProgramRaw({"-h"});
  ASSERT_FALSE(raw.out.empty());
#ifdef _WIN32
  EXPECT_EQ(raw.out.find("\r\n"), raw.out.find('\n') - 1);
  EXPECT_EQ(raw.out.find("\n\n"), std::string::npos);
  EXPECT_TRUE(raw.err.ends_with("\r\n\r\n")) << raw.err;
#else
  EXPECT_EQ(raw.out.find('\r'), std::string::npos);
#endif
}

TEST(ProgramPaths, NonAsciiPathsReachTheFileSystemAndTheReport) {
  TempFolder folder;
  // A folder named like a repository file: reported as a file that cannot be opened.
  fs::create_directories(folder.path() / FromUtf8("Ärger-名前/Environment$/x.rep"));
  const std::string repo = ToUtf8(folder.path() / FromUtf8("Ärger-名前"));
  const ProgramResult result = RunProgram({"-m", "-1", repo});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_NE(result.out.find("Can't open file " + ShownPath(repo + "/Environment$/x.rep") + "\n"), std::string::npos)
      << result.out;
}

#ifdef _WIN32
TEST(ProgramPaths, ClimbingAboveTheDriveStopsTheRun) {
  TempFolder folder;
  std::string climb;
  for (int i = 0; i < 40; ++i) climb += "..\\";
  const ProgramResult result = RunProgram({"-m", "0", climb + "rep"}, folder.path());
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Can't add path " + climb + "rep\n to\n " + folder.path().string() + "\n");
}

TEST(ProgramPaths, PathsLongerThanTheOldLimitAreWalked) {
  TempFolder folder;
  std::string deep = "repo/Environment$";
  while (deep.size() < 300) deep += "/a-folder-with-a-rather-long-name";
  const fs::path long_folder("\\\\?\\" + (folder.path() / deep).make_preferred().string());
  fs::create_directories(long_folder / "x.rep");
  const ProgramResult result = RunProgram({"-m", "-1", (folder.path() / "repo").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.out.find("Can't open file " + ShownPath((folder.path() / deep).string() + "/x.rep")),
            std::string::npos)
      << result.out;
}
#endif

}  // namespace
}  // namespace tallymere::test
