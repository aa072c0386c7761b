#include "support/program_runner.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "support/spawn.h"

namespace tallymere::test {

namespace fs = std::filesystem;

namespace {

fs::path UniqueTempPath(const char* prefix) {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::random_device random;
  return fs::temp_directory_path() / (std::string(prefix) + std::to_string(stamp) + "-" + std::to_string(random()) +
                                      "-" + std::to_string(counter++));
}

// Lines end with CR LF on Windows; the tests compare the text.
std::string WithLineFeeds(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result.push_back(text[i]);
  }
  return result;
}

}  // namespace

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ProgramPath() { return NativeProgramPath(TALLYMERE_EXE); }

std::string ProgramFileName() {
  const std::string path = ProgramPath();
  return path.substr(path.find_last_of("/\\") + 1);
}

std::string ShownPath(const std::string& absolute) { return NativeShownPath(absolute); }

ProgramResult RunProgramRaw(const std::vector<std::string>& args, const fs::path& working_folder) {
  const fs::path capture = UniqueTempPath("tallymere-run-");
  fs::create_directories(capture);
  ProgramResult result;
  std::string failure;
  result.status = RunCaptured(ProgramPath(), args, working_folder, capture / "out", capture / "err", failure);
  // What the program wrote before the runner lost it is read all the same,
  // and the runner's own failure is added where an assertion shows it.
  result.out = ReadText(capture / "out");
  result.err = ReadText(capture / "err");
  if (!failure.empty()) result.err += "[test runner] " + failure + "\n";
  fs::remove_all(capture);
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& args, const fs::path& working_folder) {
  ProgramResult result = RunProgramRaw(args, working_folder);
  result.out = WithLineFeeds(result.out);
  result.err = WithLineFeeds(result.err);
  return result;
}

TempFolder::TempFolder() : path_(UniqueTempPath("tallymere-test-")) { fs::create_directories(path_); }

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path TempFolder::AddFolder(const std::string& relative) {
  const fs::path folder = path_ / relative;
  fs::create_directories(folder);
  return folder;
}

fs::path TempFolder::AddFile(const std::string& relative, const std::string& content) {
  const fs::path file = path_ / relative;
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
  return file;
}

std::string ExpectedUsage(const std::string& program_name) {
  return "Displays statistical information about the contents of an Orvanta repository.\n"
         "The output is multi-level counts of specific types of items.\n"
         "\nUsage:\n\n" +
         program_name +
         " [-h -v] -m <mode>"
         "\n                          [-d <how_many_days_back>]"
         "\n                          [-r <how_many_hours_back>]"
         "\n                          [-f <YYYY[MM[DD[HH[mm]]]]>]"
         "\n                          [-t <YYYY[MM[DD[HH[mm]]]]>]"
         "\n                          [--format csv|jsonl|html] [-o <output_file>]"
         "\n                          <repository_path> [> <output_file>]\n"
         "\n-h        - Print this help (also --help)"
         "\n-v        - Verbose mode"
         "\n-o <file> - Write the report to this file (also --output <file>), which is"
         "\n            replaced only once the whole report is written"
         "\n--format <csv|jsonl|html>"
         "\n          - CSV with a header line, JSON Lines, or an HTML summary page;"
         "\n            the diagnostics and verbose lines then go to standard error"
         "\n-m <mode> - Multi-level grouping mode for counts; one of the following:\n"
         "    0 - Log, Event ID             7 - Day, Computer, Log, EventID\n"
         "    1 - Day, Log, Event ID        8 - Hour, Computer, Log, EventID\n"
         "    2 - Hour, Log, Event ID       9 - Day, Computer, Category\n"
         "    3 - Day, Computer            10 - Hour, Computer, Category\n"
         "    4 - Hour, Computer           11 - Day, Computer, Category, Event Type\n"
         "    5 - Day, Computer, Log       12 - Hour, Computer, Category, Event Type\n"
         "    6 - Hour, Computer,Log\n"
         "\n     Time filters:"
         "\n-d <how_many_days_back>    - Results for this many past days, beginning"
         "\n                             with 12:00 AM on the earliest matching day"
         "\n-r <how_many_hours_back>   - Results for this many past hours, beginning"
         "\n                             with the start of the earliest matching hour"
         "\n-f <YYYY[MM[DD[HH[mm]]]]>  - Results starting from this date and time (UTC, inclusive)"
         "\n-t <YYYY[MM[DD[HH[mm]]]]>  - Results before this date and time (UTC, exclusive)"
         "\n     The -f and -t filter options can be used together."
         "\n     A time may also be written YYYY-MM-DD[THH:MM[:SS][Z]] (UTC; a space may"
         "\n     stand for the T); other texts than these forms are refused."
         "\n";
}

}  // namespace tallymere::test
