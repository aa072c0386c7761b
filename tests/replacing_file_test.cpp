// An output file that replaces its path only when complete, on a real file
// system: the old content survives a full disk, an unwritable folder, a
// file given up, a fatal stop and a signal; devices are written directly;
// links stay; no temporary file is left where the program could remove it.
// A writer stopped by a signal or a fatal stop: replacing_file_stop_test.cpp.
#include "platform/replacing_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/output.h"
#include "support/program_runner.h"
#include "support/report_files.h"
#include "support/utf8_paths.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <thread>
#else
#include "support/file_holder.h"
#endif

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;
using platform::ReplacingFile;

std::unique_ptr<ReplacingFile> Create(const fs::path& path) {
  std::string error_text;
  auto file = ReplacingFile::Create(ToUtf8(path), error_text);
  EXPECT_TRUE(file) << ToUtf8(path) << ": " << error_text;
  return file;
}

TEST(TemporaryFileName, IsHiddenRecognisableAndFitsAFileName) {
  const std::string name = platform::TemporaryFileName("report.csv", 12345);
  ASSERT_EQ(name.size(), std::string(".report.csv.tmp-").size() + 6);
  EXPECT_TRUE(name.starts_with(".report.csv.tmp-")) << name;
  for (char c : name.substr(16)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
  EXPECT_NE(name, platform::TemporaryFileName("report.csv", 12346));
  EXPECT_NE(platform::TemporaryNameSeed(1), platform::TemporaryNameSeed(1));
  // 150 two-byte letters: cut at the start of one, within 255 bytes.
  std::string long_name;
  for (int i = 0; i < 150; ++i) long_name += "\xC3\xA9";
  const std::string cut = platform::TemporaryFileName(long_name, 0);
  std::string expected = ".";
  expected.append(long_name, 0, 242).append(".tmp-AAAAAA");
  EXPECT_EQ(cut, expected);
}

TEST(ReplacingFile, CommitReplacesTheOldContentExactlyAndLeavesNoTemporaryFile) {
  TempFolder folder;
  const fs::path path = folder.AddFile("report.csv", "the old report\n");
#ifndef _WIN32
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  // Root gives the new file the old one's owner (nobody's, here).
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
#endif
  auto file = Create(path);
  ASSERT_TRUE(file);
  // Hidden and recognisable, in FILE's folder.
  const std::string temporary = ToUtf8(FromUtf8(file->temporary_path()).filename());
  EXPECT_TRUE(temporary.starts_with(".report.csv.tmp-")) << file->temporary_path();
  EXPECT_EQ(TemporaryFilesIn(folder.path()), std::vector<std::string>{temporary});
  const std::string report = "first line\r\n" + Report(3 << 20) + "last line";
  std::string error_text;
  ASSERT_TRUE(file->Write("first line\r\n", error_text)) << error_text;
  ASSERT_TRUE(file->Write("", error_text)) << error_text;
  ASSERT_TRUE(file->Write(Report(3 << 20), error_text)) << error_text;
  ASSERT_TRUE(file->Write("last line", error_text)) << error_text;
  EXPECT_EQ(ReadText(path), "the old report\n");  // nothing shows before the end
  ASSERT_TRUE(file->Commit(error_text)) << error_text;
  EXPECT_EQ(ReadText(path), report);
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_TRUE(info.st_uid == 65534 && info.st_gid == 65534) << info.st_uid << ":" << info.st_gid;
  }
#endif
  // Committed once; it takes nothing more.
  EXPECT_FALSE(file->Write("more", error_text));
  EXPECT_FALSE(file->Commit(error_text));
  EXPECT_EQ(ReadText(path), report);
}

TEST(ReplacingFile, DestroyedWithoutCommitLeavesTheOldContentAndNoTemporaryFile) {
  TempFolder folder;
  const fs::path old_file = folder.AddFile("old.csv", "the old report\n");
  const fs::path new_file = folder.path() / "new.csv";
  for (const fs::path& path : {old_file, new_file}) {
    auto file = Create(path);
    ASSERT_TRUE(file);
    std::string error_text;
    ASSERT_TRUE(file->Write(Report(100000), error_text)) << error_text;
    EXPECT_EQ(TemporaryFilesIn(folder.path()).size(), 1u);
    file.reset();
    EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
  }
  EXPECT_EQ(ReadText(old_file), "the old report\n");
  EXPECT_FALSE(fs::exists(new_file));
}

// What an interrupt or a fatal stop does, with the file still open: its
// temporary file goes, and so does any chance to commit it; a second call
// finds nothing more to do.
TEST(ReplacingFile, RemovingUnfinishedFilesTakesTheTemporaryFileAway) {
  TempFolder folder;
  const fs::path path = folder.AddFile("report.csv", "the old report\n");
  auto file = Create(path);
  ASSERT_TRUE(file);
  std::string error_text;
  ASSERT_TRUE(file->Write("partial", error_text)) << error_text;
  platform::RemoveUnfinishedFiles();
  platform::RemoveUnfinishedFiles();
#ifndef _WIN32
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
#endif
  EXPECT_FALSE(file->Commit(error_text));
  // On Windows a file deleted while open goes when it is closed.
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
  EXPECT_EQ(ReadText(path), "the old report\n");
  file.reset();
  // The slot is free again for the next file.
  auto next = Create(path);
  ASSERT_TRUE(next && next->Write("next", error_text) && next->Commit(error_text)) << error_text;
  EXPECT_EQ(ReadText(path), "next");
}

TEST(ReplacingFile, ALongNameAndAMissingOrFolderPathAreHandled) {
  TempFolder folder;
  const fs::path long_name = folder.path() / std::string(250, 'n');
  auto file = Create(long_name);
  ASSERT_TRUE(file);
  std::string error_text;
  ASSERT_TRUE(file->Write("report", error_text) && file->Commit(error_text)) << error_text;
  EXPECT_EQ(ReadText(long_name), "report");

  EXPECT_FALSE(ReplacingFile::Create(ToUtf8(folder.path() / "missing" / "report.csv"), error_text));
  EXPECT_EQ(error_text, std::strerror(ENOENT));
  EXPECT_FALSE(ReplacingFile::Create(ToUtf8(folder.path()), error_text));
  EXPECT_EQ(error_text, std::strerror(EISDIR));
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
}

#ifdef _WIN32

TEST(ReplacingFile, NulIsWrittenDirectly) {
  std::string error_text;
  auto file = ReplacingFile::Create("NUL", error_text);
  ASSERT_TRUE(file) << error_text;
  EXPECT_EQ(file->temporary_path(), "");
  ASSERT_TRUE(file->Write("report", error_text) && file->Commit(error_text)) << error_text;
}

TEST(ReplacingFile, APathLongerThanTheOldLimit) {
  TempFolder folder;
  std::string deep = "report";
  while (deep.size() < 300) deep += "\\a-folder-with-a-rather-long-name";
  const fs::path long_folder("\\\\?\\" + (folder.path() / deep).make_preferred().string());
  fs::create_directories(long_folder);
  auto file = Create(folder.path() / deep / "report.csv");
  std::string error_text;
  ASSERT_TRUE(file && file->Write("deep report", error_text) && file->Commit(error_text)) << error_text;
  EXPECT_EQ(ReadText(long_folder / "report.csv"), "deep report");
}

// A reader that lets others write and delete (a log viewer, say) holds the
// old file open: the commit either replaces it or fails, never losing both.
TEST(ReplacingFile, AFileHeldOpenByAnotherIsReplacedOrKept) {
  TempFolder folder;
  const fs::path path = folder.AddFile("report.csv", "the old report\n");
  const auto held = HoldOpen(path, Sharing::kWriterShares);
  ASSERT_TRUE(held);
  auto file = Create(path);
  ASSERT_TRUE(file);
  std::string error_text;
  ASSERT_TRUE(file->Write("the new report\n", error_text)) << error_text;
  const bool committed = file->Commit(error_text);
  EXPECT_EQ(ReadText(path), committed ? "the new report\n" : "the old report\n") << error_text;
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
}

#else  // POSIX

TEST(ReplacingFile, ANewFileGetsWhatARedirectionGives) {
  TempFolder folder;
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    const mode_t previous = umask(mask);
    const fs::path path = folder.path() / ("new-" + std::to_string(mask));
    auto file = Create(path);
    std::string error_text;
    const bool committed = file && file->Commit(error_text);
    umask(previous);
    ASSERT_TRUE(committed) << error_text;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask) << mask;
  }
}

TEST(ReplacingFile, ALinkStaysAndTheFileItLeadsToIsReplacedInItsFolder) {
  TempFolder folder;
  const fs::path target = folder.AddFile("data/report.csv", "the old report\n");
  const fs::path links = folder.AddFolder("links");
  fs::create_symlink("../data/report.csv", links / "first");
  fs::create_symlink("first", links / "second");  // a chain
  fs::create_hard_link(target, folder.path() / "hard-link");
  fs::create_symlink("../data/not-yet.csv", links / "dangling");

  auto file = Create(links / "second");
  ASSERT_TRUE(file);
  EXPECT_TRUE(fs::equivalent(fs::path(file->temporary_path()).parent_path(), target.parent_path()))
      << file->temporary_path();
  EXPECT_TRUE(TemporaryFilesIn(links).empty());
  std::string error_text;
  ASSERT_TRUE(file->Write("the new report\n", error_text) && file->Commit(error_text)) << error_text;
  EXPECT_TRUE(fs::is_symlink(links / "first") && fs::is_symlink(links / "second"));
  EXPECT_EQ(ReadText(links / "second"), "the new report\n");
  EXPECT_EQ(ReadText(target), "the new report\n");
  // The name is replaced, not the file another name shares.
  EXPECT_EQ(ReadText(folder.path() / "hard-link"), "the old report\n");

  auto created = Create(links / "dangling");
  ASSERT_TRUE(created && created->Write("created", error_text) && created->Commit(error_text)) << error_text;
  EXPECT_TRUE(fs::is_symlink(links / "dangling"));
  EXPECT_EQ(ReadText(folder.path() / "data/not-yet.csv"), "created");
  EXPECT_TRUE(TemporaryFilesIn(target.parent_path()).empty());
}

TEST(ReplacingFile, DevNullAndAFifoAreWrittenDirectlyAndStayWhatTheyAre) {
  std::string error_text;
  auto null = ReplacingFile::Create("/dev/null", error_text);
  ASSERT_TRUE(null) << error_text;
  EXPECT_EQ(null->temporary_path(), "");
  ASSERT_TRUE(null->Write("report", error_text) && null->Commit(error_text)) << error_text;
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(TemporaryFilesIn("/dev").empty());

  TempFolder folder;
  const fs::path fifo = folder.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = ReadText(fifo); });
  auto file = Create(fifo);  // waits for the reader, as a redirection does
  const bool written = file && file->Write("through the pipe\n", error_text) && file->Commit(error_text);
  file.reset();
  reader.join();
  ASSERT_TRUE(written) << error_text;
  EXPECT_EQ(received, "through the pipe\n");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(TemporaryFilesIn(folder.path()).empty());
}

// A file deeper than the system takes a path: reached one folder at a time.
TEST(ReplacingFile, APathLongerThanTheSystemTakesWhole) {
  TempFolder folder;
  std::string relative;
  const int top = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  int at = top;
  while (relative.size() <= PATH_MAX) {
    const std::string name(200, 'd');
    ASSERT_EQ(mkdirat(at, name.c_str(), 0755), 0) << std::strerror(errno);
    const int deeper = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(deeper, 0);
    if (at != top) close(at);
    at = deeper;
    relative += name + "/";
  }
  const int deepest = at;
  const std::string path = ToUtf8(folder.path()) + "/" + relative + "report.csv";
  auto file = Create(path);
  std::string error_text;
  ASSERT_TRUE(file && file->Write("deep report", error_text) && file->Commit(error_text)) << error_text;
  const int read_back = openat(deepest, "report.csv", O_RDONLY);
  char bytes[32] = {};
  EXPECT_EQ(read(read_back, bytes, sizeof bytes), 11);
  EXPECT_STREQ(bytes, "deep report");
  close(read_back);
  close(deepest);
  close(top);
  // std::filesystem cannot remove what lies deeper than a path reaches.
  EXPECT_EQ(std::system(("rm -rf " + ShellQuoted(ToUtf8(folder.path() / std::string(200, 'd')))).c_str()), 0);
}

// A tmpfs of its own mounted in a temporary folder (root only): Mount skips
// the test when it cannot mount.
class MountedFolder : public ::testing::Test {
 protected:
  void Mount(const std::string& options) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    mount_ = folder_.AddFolder("mount");
    const std::string command =
        "mount -t tmpfs -o " + options + " tmpfs " + ShellQuoted(ToUtf8(mount_)) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "mounting a tmpfs was refused";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      EXPECT_EQ(std::system(("umount " + ShellQuoted(ToUtf8(mount_))).c_str()), 0);
    }
  }

  TempFolder folder_;
  fs::path mount_;
  bool mounted_ = false;
};

TEST_F(MountedFolder, AFullFileSystemFailsTheWriteAndKeepsTheOldFile) {
  Mount("size=64k");
  if (IsSkipped()) return;
  const fs::path path = mount_ / "report.csv";
  ASSERT_TRUE(folder_.AddFile("mount/report.csv", "the old report\n") == path);
  auto file = Create(path);
  ASSERT_TRUE(file);
  const std::string piece = Report(16 << 10);
  std::string error_text;
  size_t written = 0;
  while (written < (1u << 20) && file->Write(piece, error_text)) written += piece.size();
  EXPECT_LT(written, 64u << 10);
  EXPECT_EQ(error_text, "No space left on device");
  // Spoilt: its temporary file is gone at once, and it is not committed.
  EXPECT_TRUE(TemporaryFilesIn(mount_).empty());
  EXPECT_FALSE(file->Commit(error_text));
  EXPECT_EQ(error_text, "No space left on device");
  file.reset();
  EXPECT_EQ(ReadText(path), "the old report\n");
  EXPECT_TRUE(TemporaryFilesIn(mount_).empty());
}

TEST_F(MountedFolder, AFolderThatCannotBeWrittenIntoFailsCreate) {
  Mount("ro,size=64k");
  if (IsSkipped()) return;
  std::string error_text;
  EXPECT_FALSE(ReplacingFile::Create(ToUtf8(mount_ / "report.csv"), error_text));
  EXPECT_EQ(error_text, std::strerror(EROFS));
}

TEST(ReplacingFile, AFolderWithoutWritePermissionFailsCreate) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into any folder (the read-only mount is tested instead)";
  TempFolder folder;
  const fs::path locked = folder.AddFolder("locked");
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  std::string error_text;
  EXPECT_FALSE(ReplacingFile::Create(ToUtf8(locked / "report.csv"), error_text));
  EXPECT_EQ(error_text, std::strerror(EACCES));
  chmod(locked.c_str(), 0755);
}

#endif  // _WIN32

}  // namespace
}  // namespace tallymere::test
