// A replacing file whose writer is stopped mid-way, on POSIX systems: by
// SIGINT and SIGTERM (the old content stays, the temporary file goes), by
// SIGKILL (the old content stays, the temporary file is left recognisable)
// and by the program's fatal stops.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/output.h"
#include "platform/replacing_file.h"
#include "support/program_runner.h"
#include "support/report_files.h"
#include "support/utf8_paths.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;
using platform::ReplacingFile;

// Runs `body` in a child process, and the wait status it ended with.
template <class Body>
int StatusOfChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// A child that writes a report slowly through a ReplacingFile and a way
// to stop it mid-way, once its temporary file holds some of the report.
class StoppedWriter : public ::testing::Test {
 protected:
  void SetUp() override { path_ = folder_.AddFile("report.csv", "the old report\n"); }

  // The wait status of the writer, ended by `signal_number` mid-way.
  int StopMidWay(int signal_number) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) WriteForever();
    const bool started = WaitForPartialReport();
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(started) << "the writer wrote nothing";
    return status;
  }

  [[noreturn]] void WriteForever() {
    // A shell's background job starts with SIGINT ignored; a user's run does not.
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) std::signal(SIGINT, SIG_DFL);
    std::string error_text;
    auto file = ReplacingFile::Create(ToUtf8(path_), error_text);
    for (int i = 0; file && i < 60000 && file->Write(Report(4096), error_text); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    _exit(3);
  }

  bool WaitForPartialReport() {
    for (int i = 0; i < 10000; ++i) {
      for (const std::string& name : TemporaryFilesIn(folder_.path())) {
        std::error_code ignored;
        if (fs::file_size(folder_.path() / name, ignored) >= 8192) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  TempFolder folder_;
  fs::path path_;
};

TEST_F(StoppedWriter, SigintAndSigtermLeaveTheOldContentAndNoTemporaryFile) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    const int status = StopMidWay(signal_number);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number << ": " << status;
    EXPECT_EQ(ReadText(path_), "the old report\n");
    EXPECT_TRUE(TemporaryFilesIn(folder_.path()).empty()) << signal_number;
  }
}

// SIGKILL cannot be caught: the old content is all that counts then, and
// the temporary file stays, named so that it can be recognised.
TEST_F(StoppedWriter, SigkillLeavesTheOldContentAndARecognisableTemporaryFile) {
  const int status = StopMidWay(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(ReadText(path_), "the old report\n");
  const std::vector<std::string> left = TemporaryFilesIn(folder_.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with(".report.csv.tmp-")) << left[0];
}

TEST_F(StoppedWriter, TheFatalStopsRemoveTheTemporaryFile) {
  const auto stopped_while_writing = [&](void (*stop)()) {
    return StatusOfChild([&] {
      const int null = open("/dev/null", O_WRONLY);  // the stop's message is tested elsewhere
      if (null < 0 || dup2(null, STDERR_FILENO) < 0) _exit(3);
      std::string error_text;
      auto file = ReplacingFile::Create(ToUtf8(path_), error_text);
      if (!file || !file->Write(Report(100000), error_text)) _exit(3);
      stop();
    });
  };
  for (void (*stop)() : {+[] { StopReportUnwritable("No space left on device"); }, +[] { StopOutOfMemory(); }}) {
    const int status = stopped_while_writing(stop);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kStatusFatal) << status;
    EXPECT_EQ(ReadText(path_), "the old report\n");
    EXPECT_TRUE(TemporaryFilesIn(folder_.path()).empty());
  }
}

// The status line's blank and the removal both run on one interrupt.
TEST_F(StoppedWriter, AnInterruptClearsTheStatusLineAndRemovesTheTemporaryFile) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the folder
  EXPECT_EXIT(
      {
        ShowStatusLine("12 files");
        std::string error_text;
        auto file = ReplacingFile::Create(ToUtf8(path_), error_text);
        if (file && file->Write("partial", error_text)) std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "^\r12 files\r {8}\r$");
  EXPECT_EQ(ReadText(path_), "the old report\n");
  EXPECT_TRUE(TemporaryFilesIn(folder_.path()).empty());
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
