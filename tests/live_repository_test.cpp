// A repository that the collecting service writes while the program reads
// it, on a real file system: links, FIFOs, files that shrink, folders that
// cannot be listed, paths beyond the system's limit, a report that cannot
// be written. Each run must end, report what it lost, and exit 0 only with
// the complete report written. Memory, threads and descriptors that run
// out: live_resources_test.cpp.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "repwriter/generator.h"
#include "support/live_repository.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;

TEST_F(LiveRepository, LinksToFoldersAreFollowedButEachFolderAndFileCountsOnce) {
  const std::string log = FirstLog();
  fs::create_directory_symlink("..", Env() + "/loop");                // back up the tree
  fs::create_directory_symlink(Env() + "/" + log, Env() + "/again");  // a second way in
  fs::create_directory_symlink(Hot(), Env() + "/hot");                // into the other root
  fs::create_directory_symlink(Repo(), Hot() + "/up");                // far up, twice over
  for (const auto& entry : fs::directory_iterator(Env() + "/" + log)) {
    fs::create_symlink(entry.path(), Env() + "/" + log + "/zz-" + entry.path().filename().string());
    break;
  }
  for (const char* mode : {"20", "0", "8"}) {
    const ProgramResult result =
        RunScript("timeout 60 \"$PROG\" -m " + std::string(mode) + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
    EXPECT_EQ(result.status, 0) << mode << result.err;
    EXPECT_EQ(result.out, baseline_[mode]) << mode;
  }
}

TEST_F(LiveRepository, EntriesThatAreNoRegularFilesAreReportedWithoutBlocking) {
  const std::string log = FirstLog();
  const std::string fifo = Env() + "/" + log + "/0-waiting.rep";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const ProgramResult result = RunScript("timeout 60 \"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Can't open file " + fifo + "\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("Not a regular file\n"));
}

// Files of the kernel's attribute file system announce a length of a page
// and yield a few bytes: a file that shrinks between the length and the
// read, every time.
TEST_F(LiveRepository, AFileThatShrinksWhileReadIsReported) {
  const std::string shrinking = "/sys/devices/system/cpu/online";
  struct stat info {};
  if (stat(shrinking.c_str(), &info) != 0 || ReadText(shrinking).size() >= static_cast<size_t>(info.st_size)) {
    GTEST_SKIP() << "no file here yields fewer bytes than its length";
  }
  const std::string link = Env() + "/" + FirstLog() + "/0.rep";
  fs::create_symlink(shrinking, link);
  const ProgramResult result = RunScript("\"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Can't read file " + link + "\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("The file shrank while it was read (") +
                            std::to_string(ReadText(shrinking).size()) + " of 4096 bytes)\n");
}

TEST_F(LiveRepository, FoldersThatCannotBeListedAreReportedAndTheWalkGoesOn) {
  if (!CanRunAsNobody()) GTEST_SKIP() << "needs root, and the build readable by the user nobody";
  const std::string locked = Env() + "/0-locked";
  fs::create_directories(locked + "/below");
  fs::permissions(locked, fs::perms::none);
  fs::create_directory_symlink(Repo() + "/unplugged-archive", Env() + "/1-archive");
  const ProgramResult result =
      RunScript("setpriv --reuid=nobody --regid=nogroup --clear-groups \"$PROG\" -m 20 \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out,
            "Can't open folder " + locked + "\nCan't open folder " + Env() + "/1-archive\n" + baseline_["20"]);
  EXPECT_EQ(result.err, kBanner + std::string("Permission denied\nNo such file or directory\n"));
}

// Folders nested deeper than the 4,096 bytes a path may have: each level is
// reached from the one above it.
TEST_F(LiveRepository, PathsLongerThanTheSystemLimitAreWalkedAndRead) {
  const std::string log = FirstLog();
  const std::string deep_repo = (folder_.path() / "deep").string();
  fs::create_directories(deep_repo + "/Environment$");
  int folder = open((deep_repo + "/Environment$").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  const std::string name(200, 'd');
  for (int level = 0; level < 25; ++level) {  // 25 x 201 bytes
    ASSERT_EQ(mkdirat(folder, name.c_str(), 0755), 0);
    const int deeper = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(folder);
    ASSERT_GE(deeper, 0);
    folder = deeper;
  }
  for (const auto& entry : fs::directory_iterator(Env() + "/" + log)) {
    const std::string bytes = ReadText(entry.path());
    const int file = openat(folder, entry.path().filename().c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(file);
  }
  close(folder);
  fs::rename(Hot(), Repo() + "/hot-aside");
  for (const auto& entry : fs::directory_iterator(Env())) {
    if (entry.path().filename() != log) fs::rename(entry.path(), Repo() + "/" + entry.path().filename().string());
  }
  const std::string alone = RunProgram({"-m", "8", Repo()}).out;
  const ProgramResult deep = RunScript("\"$PROG\" -m 8 " + ShellQuoted(deep_repo) +
                                       " >\"$OUT\" 2>\"$ERR\"; s=$?; rm -rf " + ShellQuoted(deep_repo) + "; exit $s");
  EXPECT_EQ(deep.status, 0) << deep.out;
  EXPECT_EQ(deep.out, alone);
  EXPECT_FALSE(alone.empty());
}

TEST_F(LiveRepository, AReportThatCannotBeWrittenIsNeverASuccess) {
  struct Case {
    const char* script;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"\"$PROG\" -m 0 \"$REPO\" >/dev/full 2>\"$ERR\"", 255, "Can't write the report: No space left on device\n"},
      {"\"$PROG\" -m 0 \"$REPO\" >&- 2>\"$ERR\"", 255, "Can't write the report: Bad file descriptor\n"},
      // The reader is gone before the program starts.
      {"trap '' PIPE; { sleep 1; exec \"$PROG\" -m 0 \"$REPO\" 2>\"$ERR\"; } | exit 0; exit ${PIPESTATUS[0]}", 255,
       "Can't write the report: Broken pipe\n"},
      // With SIGPIPE at its default the signal ends the program, as with any tool.
      {"{ sleep 1; exec \"$PROG\" -m 0 \"$REPO\" 2>\"$ERR\"; } | exit 0; exit ${PIPESTATUS[0]}", 128 + 13, ""},
  };
  for (const Case& c : cases) {
    const ProgramResult result = RunScript(c.script);
    EXPECT_EQ(result.status, c.status) << c.script;
    EXPECT_EQ(result.err, kBanner + std::string(c.message)) << c.script;
  }
}

// A service that replaces each file by renaming a fresh copy over it frees
// the old file's inode number, and the next new file takes it. A run that
// remembered files by that number alone took the new file for one already
// counted and dropped it, with status 0. Every run must now count every
// file, or say what it lost.
TEST(RepositoryWrittenByRename, NoFileIsDroppedWhileFilesAreReplaced) {
  TempFolder folder;
  repwriter::GeneratorOptions options;
  options.out = folder.path() / "repo";
  options.events = 200000;
  options.files = 40;
  options.nested_share = 0;
  repwriter::GenerateRepository(options);
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(options.out)) {
    if (entry.path().extension() == ".rep") files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 40u);
  const std::string total = "\ntotal : 200000\n";
  ASSERT_NE(RunProgram({"-v", "-m", "0", options.out.string()}).out.find(total), std::string::npos);

  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop) {
      for (const fs::path& file : files) {
        const fs::path copy = file.string() + ".new";
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        fs::rename(copy, file);
      }
    }
  });
  int complete = 0;
  for (int run = 0; run < 40; ++run) {
    const ProgramResult result = RunProgram({"-v", "-m", run % 2 ? "20" : "0", options.out.string()});
    if (result.status == 0) {
      ++complete;
      EXPECT_NE(result.out.find(total), std::string::npos) << "run " << run << ": a file was lost\n" << result.err;
    } else {
      EXPECT_EQ(result.status, 2) << result.err;
      EXPECT_NE((result.out + result.err).find("Can't "), std::string::npos) << result.out << result.err;
    }
  }
  stop = true;
  writer.join();
  EXPECT_GT(complete, 0);
}

// -o FILE: the report takes FILE's place only once it is whole. A full
// disk, a run out of memory or one stopped by SIGTERM leaves FILE as it was
// and no temporary file beside it; standard output holds no report.
TEST_F(LiveRepository, AnOutputFileIsReplacedOnlyByAWholeReport) {
  const std::string out_folder = (folder_.path() / "reports").string();
  fs::create_directories(out_folder);
  const std::string report = out_folder + "/counts.csv";
  const auto others_in_folder = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_folder)) {
      if (entry.path().filename() != "counts.csv") names.push_back(entry.path().filename().string());
    }
    return names;
  };
  // A whole report replaces the old content; standard output holds the
  // verbose lines alone.
  std::ofstream(report) << "old content\n";
  ProgramResult result = RunScript("\"$PROG\" -v -m 8 -o " + ShellQuoted(report) + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(ReadText(report) == baseline_["8"]);  // megabytes: no dump
  EXPECT_EQ(result.out.find(baseline_["8"].substr(0, 40)), std::string::npos);
  EXPECT_NE(result.out.find("\ntotal : 40000\n"), std::string::npos) << result.out;
  EXPECT_TRUE(others_in_folder().empty());

  // Stopped on the way, by running out of memory at some limit, or by
  // SIGTERM: the old content stays, and no temporary file.
  const auto check_stopped = [&](const ProgramResult& stopped, int status, const std::string& context) {
    EXPECT_EQ(stopped.status, status) << context << stopped.err;
    EXPECT_EQ(ReadText(report), "old content\n") << context;
    EXPECT_TRUE(others_in_folder().empty()) << context << ": " << others_in_folder().front();
  };
  int stopped = 0;
  for (int megabytes = 16; megabytes <= 64 && !BuiltWithSanitizers(); megabytes += 8) {
    std::ofstream(report) << "old content\n";
    result = RunScript("ulimit -v " + std::to_string(megabytes * 1024) + "; \"$PROG\" -m 8 -o " + ShellQuoted(report) +
                       " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
    if (result.status == 0) continue;
    ++stopped;
    check_stopped(result, 255, std::to_string(megabytes) + " MB");
    EXPECT_NE(result.err.find("Out of memory: the run was stopped before the report was complete\n"),
              std::string::npos);
  }
  EXPECT_TRUE(stopped > 0 || BuiltWithSanitizers());
  // The signal comes once the temporary file is there, while the run goes
  // on. On a busy machine the run may end first (status 0): it is tried
  // again, until a signal meets a run.
  bool signalled = false;
  for (int attempt = 0; attempt < 20 && !signalled; ++attempt) {
    std::ofstream(report) << "old content\n";
    result = RunScript("TALLYMERE_THREADS=0 \"$PROG\" -m 8 -o " + ShellQuoted(report) +
                       " \"$REPO\" >\"$OUT\" 2>\"$ERR\" & p=$!; " + "while kill -0 $p 2>/dev/null && ! ls " +
                       ShellQuoted(out_folder) + "/.counts.csv.tmp-* >/dev/null 2>&1; " +
                       "do sleep 0.001; done; kill -TERM $p 2>/dev/null; wait $p");
    if (result.status == 0) {
      EXPECT_TRUE(ReadText(report) == baseline_["8"]);
      continue;
    }
    signalled = true;
    check_stopped(result, 128 + 15, "SIGTERM");
  }
  EXPECT_TRUE(signalled) << "every run ended before its signal";

  // A full file system: a small one of its own, as root.
  const std::string small = (folder_.path() / "small").string();
  fs::create_directories(small);
  if (RunScript("mount -t tmpfs -o size=64k tmpfs " + ShellQuoted(small)).status != 0) {
    GTEST_SKIP() << "no file system can be mounted here";
  }
  std::ofstream(small + "/counts.csv") << "old content\n";
  result = RunScript("\"$PROG\" -m 8 -o " + ShellQuoted(small + "/counts.csv") + " \"$REPO\" >\"$OUT\" 2>\"$ERR\"");
  const std::string left = ReadText(small + "/counts.csv");
  const size_t entries = static_cast<size_t>(std::distance(fs::directory_iterator(small), fs::directory_iterator()));
  RunScript("umount " + ShellQuoted(small));
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, kBanner + std::string("Can't write the report: No space left on device\n"));
  EXPECT_EQ(left, "old content\n");
  EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
