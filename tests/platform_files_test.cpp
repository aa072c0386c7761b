// The platform layer's file access, checked alike on every build: reading
// by position within the length seen at open, concurrent readers, failures
// that name their step, listing folders whole, and the identity that tells
// one folder or file from another; on Windows also files a writer holds
// open, locked files and junctions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/program_runner.h"
#include "support/spawn.h"
#include "support/utf8_paths.h"
#ifdef _WIN32
#include "support/file_holder.h"
#endif

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;

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

#endif  // _WIN32

}  // namespace
}  // namespace tallymere::test
