// The status line of a long run: in a real terminal (tmux) it appears after
// the first half second, changes as the run goes on, and leaves nothing on
// the screen. (Redirected, standard error stays the program's messages
// alone: every end-to-end test compares it exactly.)
#include "scan/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "repwriter/generator.h"
#include "support/program_runner.h"
#include "support/spawn.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(ProgressLine, SaysWhatWasDoneAndFitsTheTerminal) {
  Progress progress;
  progress.AddRead(2'500'000);
  progress.AddUnpacked(7'000'000);
  progress.AddFileDone(1'234'567);
  progress.AddFileDone(0);
  progress.SetFolderOf("/srv/repository/Environment$/Security/a.rep");
  const std::string line = progress.Line(milliseconds(65'000), 80);
  const std::string counts = "2 files, 1,234,567 events, 2.5 MB read, 7.0 MB unpacked, 38.5 kB/s, 1:05";
  EXPECT_EQ(line, counts);  // no room for the folder in 80 columns
  EXPECT_EQ(progress.Line(milliseconds(65'000), 200), counts + " | /srv/repository/Environment$/Security");
  // One column short of the width: a line that wraps cannot be rewritten.
  EXPECT_EQ(progress.Line(milliseconds(65'000), 100), counts + " | ...Environment$/Security");
  EXPECT_EQ(progress.Line(milliseconds(65'000), 40), counts.substr(0, 39));
}

#ifndef _WIN32

// The lines of the pane that hold a status line.
std::vector<std::string> StatusLines(const std::string& pane) {
  std::vector<std::string> lines;
  std::istringstream in(pane);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" files, ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

class TerminalRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ShellOutput("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed (scripts/deps.sh installs it)";
    // A run of a few seconds on one thread: generated files, copied into
    // further folders (copies are files of their own, each counted).
    repwriter::GeneratorOptions options;
    options.out = Repo();
    options.events = 500000;
    options.files = 8;
    options.threads = 2;
    repwriter::GenerateRepository(options);
    for (const fs::path root : {Repo() + "/Hot$/Environment$", Repo() + "/Environment$"}) {
      std::vector<fs::path> logs{fs::directory_iterator(root), fs::directory_iterator()};
      for (int copy = 1; copy <= 11; ++copy) {
        for (const fs::path& log : logs) {
          fs::copy(log, root / ("copy" + std::to_string(copy) + "-" + log.filename().string()));
        }
      }
    }
  }
  void TearDown() override { ShellOutput("tmux -L " + socket_ + " kill-server 2>/dev/null"); }

  std::string Repo() const { return (folder_.path() / "repo").string(); }
  std::string Pane() { return ShellOutput("tmux -L " + socket_ + " capture-pane -p -t run 2>/dev/null"); }

  TempFolder folder_;
  const std::string socket_ = "tallymere-test-" + std::to_string(::getpid());
};

TEST_F(TerminalRun, TheStatusLineChangesDuringTheRunAndIsGoneAfterIt) {
  const fs::path report = folder_.path() / "report";
  const std::string command = "TALLYMERE_THREADS=0 " + ShellQuoted(ProgramPath()) + " -m 8 " + ShellQuoted(Repo()) +
                              " >" + ShellQuoted(report.string()) + "; echo run-ended-$?; sleep 60";
  ShellOutput("tmux -L " + socket_ + " new-session -d -s run -x 160 -y 24 " + ShellQuoted(command));
  std::set<std::string> seen;
  std::string pane;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    pane = Pane();
    if (pane.find("run-ended-") != std::string::npos) break;
    for (const std::string& line : StatusLines(pane)) seen.insert(line);
    std::this_thread::sleep_for(milliseconds(40));
  }
  ASSERT_NE(pane.find("run-ended-0"), std::string::npos) << pane;
  EXPECT_GE(seen.size(), 2u) << "the line should appear and change during a run of several seconds";
  EXPECT_TRUE(StatusLines(pane).empty()) << pane;
  // The pane holds the banner and the shell's line, and no trace of the status line.
  EXPECT_NE(pane.find("Copyright (c) Kalvex. All rights reserved.\n"), std::string::npos) << pane;
  EXPECT_EQ(ReadText(report), RunProgram({"-m", "8", Repo()}).out);
}

#endif  // _WIN32

}  // namespace
}  // namespace tallymere::test
