// The platform layer: calendar conversion, the version record, Windows path
// resolution and file reading, checked alike on every build; and the parts
// only a Windows program shows (line ends, the fatal stop of "..").
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
#ifdef _WIN32
#include "support/file_holder.h"
#endif

namespace tallymere::test {
namespace {

using platform::CalendarTime;
namespace fs = std::filesystem;

// The program's paths are UTF-8 text; std::filesystem would take narrow
// strings in the ANSI code page on Windows.
fs::path FromUtf8(std::string_view text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string ToUtf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

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

// The bytes a file gives from `offset` on, as far as `length` reaches.
std::string ReadFrom(const platform::RandomAccessFile& file, uint64_t offset, size_t length) {
  std::string bytes(length, '\0');
  std::string error;
  const std::optional<size_t> got = file.ReadAt(offset, reinterpret_cast<uint8_t*>(bytes.data()), length, error);
  EXPECT_TRUE(got) << error;
  bytes.resize(got.value_or(0));
  return bytes;
}

TEST(OpenForReading, ReadsByPositionAndFailuresNameTheirStep) {
  TempFolder folder;
  const auto empty = platform::OpenForReading(folder.AddFile("empty.rep").string());
  ASSERT_TRUE(empty.file);
  EXPECT_EQ(empty.file->size(), 0u);
  EXPECT_EQ(empty.error, platform::ReadError::kNone);
  EXPECT_EQ(ReadFrom(*empty.file, 0, 4), "");

  const auto some = platform::OpenForReading(folder.AddFile("some.rep", std::string("a\0\r\nb", 5)).string());
  ASSERT_TRUE(some.file);
  EXPECT_EQ(some.file->size(), 5u);
  EXPECT_EQ(ReadFrom(*some.file, 0, 5), std::string("a\0\r\nb", 5));  // byte for byte, no text translation
  EXPECT_EQ(ReadFrom(*some.file, 2, 2), "\r\n");
  EXPECT_EQ(ReadFrom(*some.file, 3, 10), "\nb");  // the end of the file ends the read
  EXPECT_EQ(ReadFrom(*some.file, 9, 1), "");

  const auto missing = platform::OpenForReading((folder.path() / "missing.rep").string());
  EXPECT_FALSE(missing.file);
  EXPECT_EQ(missing.error, platform::ReadError::kOpen);
  EXPECT_EQ(missing.error_text, "No such file or directory");
}

// The length stays what it was at open; a file shortened since gives fewer
// bytes, one that grew gives no more.
TEST(OpenForReading, TheLengthAtOpenBoundsWhatIsRead) {
  TempFolder folder;
  const fs::path path = folder.AddFile("live.rep", std::string(1000, 'x'));
  const auto opened = platform::OpenForReading(path.string());
  ASSERT_TRUE(opened.file);
  fs::resize_file(path, 600);
  EXPECT_EQ(opened.file->size(), 1000u);
  EXPECT_EQ(ReadFrom(*opened.file, 500, 500).size(), 100u);
  fs::resize_file(path, 5000);
  EXPECT_EQ(opened.file->size(), 1000u);
}

// Workers read one file at once, each at its own positions.
TEST(OpenForReading, ThreadsReadOneFileAtTheirOwnPositions) {
  TempFolder folder;
  std::string bytes(1 << 20, '\0');
  for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<char>((j * 7 + j / 251) & 0xFF);
  const auto opened = platform::OpenForReading(folder.AddFile("shared.rep", bytes).string());
  ASSERT_TRUE(opened.file);
  std::vector<std::thread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (size_t offset = static_cast<size_t>(t) * 977; offset + 4096 <= bytes.size(); offset += 4 * 977) {
        if (ReadFrom(*opened.file, offset, 4096) != bytes.substr(offset, 4096)) ++wrong;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(LastErrorText, NamesTheLastFailureOnOneLineWithItsCode) {
  TempFolder folder;
  platform::OpenForReading((folder.path() / "missing.rep").string());
  const std::string text = platform::LastErrorText();
  // "file not found" has code 2 both as a system error and as errno.
  EXPECT_TRUE(text.ends_with(" 2 (0x2)")) << text;
  EXPECT_GT(text.size(), std::string(" 2 (0x2)").size()) << "no message text";
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

#ifdef _WIN32
TEST(OpenForReading, ReadsFilesAWriterHoldsOpenButNotLockedOnes) {
  TempFolder folder;
  const fs::path file = folder.AddFile("busy.rep", "content");
  {
    const auto writer = HoldOpen(file, Sharing::kWriterShares);
    ASSERT_TRUE(writer);
    const auto read = platform::OpenForReading(file.string());
    ASSERT_TRUE(read.file) << read.error_text;
    EXPECT_EQ(ReadFrom(*read.file, 0, 100), "content");
  }
  const auto lock = HoldOpen(file, Sharing::kNone);
  ASSERT_TRUE(lock);
  const auto locked = platform::OpenForReading(file.string());
  EXPECT_FALSE(locked.file);
  EXPECT_EQ(locked.error, platform::ReadError::kOpen);
  EXPECT_EQ(locked.error_text, "Permission denied");
}
#endif

// A folder of more entries than one read of the listing returns.
TEST(ListFolder, ListsLargeFoldersWhole) {
  TempFolder folder;
  constexpr int kFiles = 1500;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "Orv_";
    name += std::to_string(1000000 + i);
    name += "_with_a_long_name.rep";
    folder.AddFile(name);
  }
  std::vector<platform::DirEntry> entries;
  std::string error;
  ASSERT_TRUE(platform::ListFolder(folder.path().string(), entries, error)) << error;
  ASSERT_EQ(entries.size(), static_cast<size_t>(kFiles));
  for (const auto& entry : entries) EXPECT_EQ(entry.kind, platform::EntryKind::kFile) << entry.name;
}

TEST(ListFolder, ListsFilesAndFoldersWithoutTheDotEntries) {
  TempFolder folder;
  folder.AddFile("b.rep");
  folder.AddFolder("a");
  std::ofstream(folder.path() / FromUtf8("Ünïcode-名前.rep")).put('x');
  std::vector<platform::DirEntry> entries;
  std::string error;
  ASSERT_TRUE(platform::ListFolder(folder.path().string(), entries, error)) << error;
  std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_TRUE(entries[0].is_folder());
  EXPECT_EQ(entries[1].name, "b.rep");
  EXPECT_EQ(entries[1].kind, platform::EntryKind::kFile);
  EXPECT_EQ(entries[2].name, "Ünïcode-名前.rep");
  EXPECT_EQ(entries[2].kind, platform::EntryKind::kFile);
  EXPECT_FALSE(platform::ListFolder((folder.path() / "missing").string(), entries, error));
  EXPECT_FALSE(error.empty());
}

// The identity of a folder as a listing opens it, or nothing.
std::optional<platform::FileIdentity> FolderIdentity(const fs::path& folder) {
  std::vector<platform::DirEntry> entries;
  std::string error;
  platform::FileIdentity identity;
  if (!platform::ListFolder(ToUtf8(folder), entries, error, &identity)) return std::nullopt;
  return identity;
}

// The identity of a file as it is opened for reading, or nothing.
std::optional<platform::FileIdentity> OpenedIdentity(const fs::path& file) {
  const platform::OpenResult opened = platform::OpenForReading(ToUtf8(file));
  if (!opened.file) return std::nullopt;
  return opened.file->identity();
}

TEST(FileIdentity, NamesAFolderOrFileWhicheverPathLeadsToIt) {
  TempFolder folder;
  const fs::path a = folder.AddFolder("a");
  const fs::path b = folder.AddFolder("b");
  const fs::path file = folder.AddFile("file.rep", "x");
  const fs::path other = folder.AddFile("other.rep", "y");
  const auto of_a = FolderIdentity(a);
  ASSERT_TRUE(of_a);
  EXPECT_EQ(FolderIdentity(a / "."), of_a);
  EXPECT_EQ(FolderIdentity(b / ".." / "a"), of_a);
  EXPECT_NE(FolderIdentity(b), of_a);
  const auto of_file = OpenedIdentity(file);
  ASSERT_TRUE(of_file);
  EXPECT_EQ(OpenedIdentity(a / ".." / "file.rep"), of_file);
  EXPECT_NE(OpenedIdentity(other), of_file);
  EXPECT_NE(*of_file, *of_a);
#ifdef _WIN32
  EXPECT_EQ(FolderIdentity("\\\\?\\" + ToUtf8(a)), of_a);  // the long-path form
#else
  fs::create_directory_symlink(a, folder.path() / "link");
  fs::create_symlink(file, folder.path() / "link.rep");
  EXPECT_EQ(FolderIdentity(folder.path() / "link"), of_a);
  EXPECT_EQ(OpenedIdentity(folder.path() / "link.rep"), of_file);
#endif
}

// A service replaces repository files by renaming new copies over them, and
// the number a deleted file had is soon given to a new one: an identity
// remembered after its file is gone must not match the new file.
TEST(FileIdentity, TellsAFileFromOneThatTookItsNumberLater) {
  if (UnderImitatedPlatform()) {
    GTEST_SKIP() << "wine gives a file the Linux inode number as its ID, without the sequence number of Windows";
  }
  TempFolder folder;
  const fs::path first = folder.AddFile("first.rep", "x");
  const auto gone = OpenedIdentity(first);
  ASSERT_TRUE(gone);
  fs::remove(first);
  bool reused = false;
  for (int i = 0; i < 200 && !reused; ++i) {
    const fs::path next = folder.AddFile("next" + std::to_string(i) + ".rep", "y");
    const auto identity = OpenedIdentity(next);
    ASSERT_TRUE(identity);
    if (identity->volume == gone->volume && identity->file == gone->file) {
      reused = true;
      EXPECT_NE(*identity, *gone) << "a new file with the old number counts as the old one";
    }
    fs::remove(next);
  }
  if (!reused) GTEST_SKIP() << "this file system gave no new file the old number";
}

#ifdef _WIN32
const platform::DirEntry* EntryNamed(const std::vector<platform::DirEntry>& entries, const std::string& name) {
  const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; });
  return found == entries.end() ? nullptr : &*found;
}

TEST(FileIdentity, ALockedFileIsListedAndItsFolderNamed) {
  TempFolder folder;
  folder.AddFolder("a");
  const fs::path locked = folder.AddFile("locked.rep", "x");
  // Another process's lock keeps the content from being read, not the
  // entry from being listed.
  const auto lock = HoldOpen(locked, Sharing::kNone);
  ASSERT_TRUE(lock);
  std::vector<platform::DirEntry> entries;
  std::string error;
  platform::FileIdentity identity;
  ASSERT_TRUE(platform::ListFolder(ToUtf8(folder.path()), entries, error, &identity)) << error;
  ASSERT_EQ(entries.size(), 2u);
  const platform::DirEntry* listed_a = EntryNamed(entries, "a");
  const platform::DirEntry* listed_file = EntryNamed(entries, "locked.rep");
  ASSERT_TRUE(listed_a && listed_file);
  EXPECT_TRUE(listed_a->is_folder());
  EXPECT_EQ(listed_file->kind, platform::EntryKind::kFile) << listed_file->error_text;
  EXPECT_EQ(FolderIdentity(folder.path()), identity);
}

TEST(FileIdentity, AJunctionLeadsToTheIdentityOfItsFolder) {
  TempFolder folder;
  const fs::path target = folder.AddFolder("target");
  const fs::path gone = folder.AddFolder("gone");
  // A junction needs no privilege; the shell makes it, which keeps the
  // system headers out of the tests.
  const auto make_junction = [&](const char* name, const fs::path& to) {
    const fs::path junction = folder.path() / name;
    const std::string command = "\"mklink /J \"" + junction.string() + "\" \"" + to.string() + "\" >NUL 2>&1\"";
    return std::system(command.c_str()) == 0 && fs::exists(junction);
  };
  if (!make_junction("link", target) || !make_junction("dangling", gone)) {
    GTEST_SKIP() << "mklink /J made no junction here (wine cannot)";
  }
  fs::remove(gone);
  const auto of_target = FolderIdentity(target);
  ASSERT_TRUE(of_target);
  EXPECT_EQ(FolderIdentity(folder.path() / "link"), of_target);
  std::vector<platform::DirEntry> entries;
  std::string error;
  ASSERT_TRUE(platform::ListFolder(ToUtf8(folder.path()), entries, error)) << error;
  const platform::DirEntry* link = EntryNamed(entries, "link");
  const platform::DirEntry* dangling = EntryNamed(entries, "dangling");
  ASSERT_TRUE(link && dangling);
  EXPECT_TRUE(link->is_folder());
  EXPECT_EQ(dangling->kind, platform::EntryKind::kUnknown);
  EXPECT_FALSE(dangling->error_text.empty());
}

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
