// Names that hold escape sequences, CR and LF, run through in a real
// terminal (tmux): the status line and the report on the terminal show them
// escaped, so the pane keeps its title and its text; redirected, the report
// and the diagnostics hold the repository's bytes exactly; and an interrupt
// takes the status line off the screen before it ends the program.
#ifndef _WIN32

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "repwriter/generator.h"
#include "repwriter/repository.h"
#include "support/program_runner.h"
#include "support/spawn.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A folder name that would retitle the terminal, clear its screen and break
// the line if it were written as it is, and how it must be shown.
const std::string kFolder = "log-\x1b]2;pwned\x07-\x1b[2J-\r\n-end";
const std::string kFolderShown = "log-\\e]2;pwned\\a-\\e[2J-\\r\\n-end";
// A computer name (upper-cased by the report) and a log name, likewise.
const std::u16string kComputer = u"ws\x1b]2;pwned\x07";
const std::string kComputerInReport = "WS\x1b]2;PWNED\x07";
const std::string kComputerShown = "WS\\e]2;PWNED\\a";
const std::u16string kLog = u"Sys\x1b[2Jtem\x9b\r\n";
const std::string kLogBytes = "Sys\x1b[2Jtem\xC2\x9B\r\n";
const std::string kLogShown = "Sys\\e[2Jtem\\x9B\\r\\n";

constexpr uint32_t k20180307 = 1520380800;  // 2018-03-07 00:00:00 UTC
constexpr char kBanner[] = "Kalvex Orvanta Tallymere 1.1.0.01\nCopyright (c) Kalvex. All rights reserved.\n\n";

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of a pane that hold a status line.
std::vector<std::string> StatusLines(const std::string& pane) {
  std::vector<std::string> lines;
  std::istringstream in(pane);
  for (std::string line; std::getline(in, line);) {
    if (Holds(line, " files, ")) lines.push_back(line);
  }
  return lines;
}

class EscapedNames : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteReportRepository();
    WriteDiagnosticRepository();
  }
  void TearDown() override { Tmux("kill-server"); }

  std::string Path(const std::string& name) const { return (folder_.path() / name).string(); }
  std::string Folder(const std::string& repository) const {
    return (repwriter::RootFolder(Path(repository), repwriter::Root::Environment) / kFolder).string();
  }

  // One event of a computer whose name holds escapes: mode 4 prints one line.
  void WriteReportRepository() {
    repwriter::FooterDescription footer;
    footer.log = u"Security";
    footer.parts.push_back(
        {.index = 1, .events = {{.computer = kComputer, .event_id = 4624, .time = k20180307 + 14 * 3600}}});
    repwriter::WriteRepository(Path("report-repo"), {{.folder = kFolder, .image = {.footers = {footer}}}});
  }

  // A footer without "EventsCount": mode -1 lists its properties, the log
  // name among them.
  void WriteDiagnosticRepository() {
    repwriter::FooterDescription footer;
    footer.log = kLog;
    footer.parts.push_back({.index = 1, .events = {{.computer = u"dc01", .event_id = 1, .time = k20180307}}});
    repwriter::ImagePlan plan = repwriter::Lower({.footers = {footer}});
    std::erase_if(plan.footers[0].properties, [](const auto& p) { return p.name == u"EventsCount"; });
    const fs::path file = fs::path(Folder("diagnostic-repo")) / repwriter::RepositoryFileName(1, k20180307, k20180307);
    repwriter::WriteFileBytes(file, repwriter::BuildImage(plan));
  }

  // A run of a few seconds on one thread, every file in a folder whose name
  // begins with `prefix` (copies are files of their own, each counted).
  void WriteLongRepository(const std::string& prefix) {
    repwriter::GeneratorOptions options;
    options.out = Path("long-repo");
    options.events = 500000;
    options.files = 8;
    options.threads = 2;
    repwriter::GenerateRepository(options);
    for (const fs::path root : {Path("long-repo") + "/Hot$/Environment$", Path("long-repo") + "/Environment$"}) {
      std::vector<fs::path> logs{fs::directory_iterator(root), fs::directory_iterator()};
      for (const fs::path& log : logs) {
        const fs::path renamed = root / (prefix + "-" + log.filename().string());
        fs::rename(log, renamed);
        for (int copy = 1; copy <= 23; ++copy) {
          fs::copy(renamed, root / ("copy" + std::to_string(copy) + "-" + renamed.filename().string()));
        }
      }
    }
  }

  bool HaveTmux() { return !ShellOutput("command -v tmux").empty(); }

  // A tmux command to the test's server, whose socket lies in the test's
  // folder and goes with it.
  std::string Tmux(const std::string& command) {
    return ShellOutput("tmux -S " + ShellQuoted(socket_) + " " + command + " 2>/dev/null");
  }
  // Starts `script` (sh) in a detached tmux session, on a server of its
  // own: one that was just told to end may still be going.
  void StartSession(const std::string& script) {
    Tmux("kill-server");
    socket_ = Path("tmux-" + std::to_string(++sessions_));
    Tmux("new-session -d -s run -x 220 -y 50 " + ShellQuoted(script));
  }
  std::string Pane() { return Tmux("capture-pane -p -t run"); }
  std::string Title() { return Tmux("display-message -p -t run '#{pane_title}'"); }

  // Polls the pane until it holds `mark` or the script's end (or two
  // minutes pass), gathering every status line seen on the way; returns the
  // last pane.
  std::string WaitFor(const std::string& mark, std::vector<std::string>* status_lines = nullptr) {
    std::string pane;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      pane = Pane();
      if (status_lines != nullptr) {
        for (const std::string& line : StatusLines(pane)) status_lines->push_back(line);
      }
      if (Holds(pane, mark) || Holds(pane, "run-ended")) break;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return pane;
  }

  std::string Program() const { return ShellQuoted(ProgramPath()); }

  TempFolder folder_;
  std::string socket_ = Path("tmux-0");
  int sessions_ = 0;
};

TEST_F(EscapedNames, OnATerminalTheyAreShownEscapedAndTheTerminalIsLeftAlone) {
  if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/deps.sh installs it)";
  WriteLongRepository(kFolder);
  const std::string report = Path("report");
  // The status line over the long run (the report to a file); then a report
  // and diagnostics written to the terminal itself.
  StartSession("echo before-run; TALLYMERE_THREADS=0 " + Program() + " -m 4 " + ShellQuoted(Path("long-repo")) + " >" +
               ShellQuoted(report) + "; " + Program() + " -m 4 " + ShellQuoted(Path("report-repo")) + "; " + Program() +
               " -m -1 " + ShellQuoted(Path("diagnostic-repo")) + "; echo run-ended; sleep 60");
  const std::string title = Title();
  std::vector<std::string> status_lines;
  const std::string pane = WaitFor("run-ended", &status_lines);
  ASSERT_TRUE(Holds(pane, "run-ended")) << pane;
  EXPECT_EQ(Title(), title);
  EXPECT_FALSE(Holds(Title(), "pwned") || Holds(Title(), "PWNED")) << Title();
  EXPECT_TRUE(Holds(pane, "before-run\nKalvex Orvanta Tallymere")) << "the screen was cleared:\n" << pane;
  bool folder_shown = false;
  for (const std::string& line : status_lines) folder_shown = folder_shown || Holds(line, kFolderShown);
  EXPECT_TRUE(folder_shown) << (status_lines.empty() ? "no status line was seen" : status_lines.back());
  EXPECT_TRUE(StatusLines(pane).empty()) << pane;
  EXPECT_TRUE(Holds(pane, "\n2018-03-07 14:00," + kComputerShown + ",1\n")) << pane;
  EXPECT_TRUE(Holds(pane, "\nUnderDataSource = " + kLogShown + "\n")) << pane;
  // The report file is the redirected run's, untouched by the status line.
  EXPECT_EQ(ReadText(report), RunProgram({"-m", "4", Path("long-repo")}).out);
}

// Redirected, nothing is escaped: the names' bytes are the report's.
TEST_F(EscapedNames, RedirectedTheReportAndDiagnosticsHoldTheBytesExactly) {
  const ProgramResult report = RunProgramRaw({"-m", "4", Path("report-repo")});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(report.out, "2018-03-07 14:00," + kComputerInReport + ",1\n");
  EXPECT_EQ(report.err, kBanner);
  // A diagnostic naming a path, and one quoting a property's value.
  const std::string fifo = Folder("diagnostic-repo") + "/0-waiting.rep";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const ProgramResult diagnostics = RunProgramRaw({"-m", "-1", Path("diagnostic-repo")});
  EXPECT_EQ(diagnostics.status, 2);
  EXPECT_EQ(diagnostics.out,
            "Can't open file " + fifo + "\nComputerType = 0\nPlatformID = 0\nUnderDataSource = " + kLogBytes + "\n");
  EXPECT_EQ(diagnostics.err, kBanner + std::string("Not a regular file\nEventsCount not found in footer property.\n"));
}

// Ctrl-C or a polite kill in the middle of a run: the status line is gone
// from the screen, and the shell sees the program ended by the signal.
TEST_F(EscapedNames, AnInterruptClearsTheStatusLineAndEndsTheRunByTheSignal) {
  if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/deps.sh installs it)";
  WriteLongRepository("plain");
  for (int signal_number : {SIGINT, SIGTERM}) {
    const std::string pid_file = Path("pid");
    fs::remove(pid_file);
    StartSession("echo before-run; TALLYMERE_THREADS=0 sh -c 'echo $$ >\"$0\"; exec \"$1\" -m 4 \"$2\" >/dev/null' " +
                 ShellQuoted(pid_file) + " " + Program() + " " + ShellQuoted(Path("long-repo")) +
                 "; echo run-ended-$?; sleep 60");
    const std::string shown = WaitFor(" files, ");
    ASSERT_FALSE(StatusLines(shown).empty()) << "the run ended before its status line was seen:\n" << shown;
    const pid_t pid = static_cast<pid_t>(std::stol(ReadText(pid_file)));
    // Stopped, the run is still in its walk when the signal arrives.
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    ASSERT_EQ(::kill(pid, signal_number), 0);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    const std::string pane = WaitFor("run-ended-");
    EXPECT_TRUE(Holds(pane, "run-ended-" + std::to_string(128 + signal_number))) << signal_number << "\n" << pane;
    EXPECT_TRUE(StatusLines(pane).empty()) << signal_number << "\n" << pane;
    EXPECT_TRUE(Holds(pane, "before-run\nKalvex Orvanta Tallymere")) << pane;
  }
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
