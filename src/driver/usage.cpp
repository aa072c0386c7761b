#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "driver/run.h"
#include "platform/output.h"
#include "platform/platform.h"

namespace tallymere {

std::string ProgramName(const char* argv0) {
  std::string_view name = argv0 == nullptr ? "" : argv0;
  const size_t cut = name.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

std::string GetFileVersionString() {
  uint16_t parts[4];
  if (!platform::GetProgramVersion(parts)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%02d", parts[0], parts[1], parts[2], parts[3]);
  return text;
}

void PrintBanner() {
  std::string banner = "Kalvex Orvanta Tallymere";
  const std::string version = GetFileVersionString();
  if (!version.empty()) banner += " " + version;
  banner += "\nCopyright (c) Kalvex. All rights reserved.\n\n";
  Err() << banner;
}

void PrintUsage(const char* argv0) {
  Out() << "Displays statistical information about the contents of an Orvanta repository.\n"
        << "The output is multi-level counts of specific types of items.\n"
        << "\nUsage:\n\n"
        << ProgramName(argv0) << " [-h -v] -m <mode>"
        << "\n                          [-d <how_many_days_back>]"
        << "\n                          [-r <how_many_hours_back>]"
        << "\n                          [-f <YYYY[MM[DD[HH[mm]]]]>]"
        << "\n                          [-t <YYYY[MM[DD[HH[mm]]]]>]"
        << "\n                          [--format csv|jsonl|html] [-o <output_file>]"
        << "\n                          <repository_path> [> <output_file>]\n"
        << "\n-h        - Print this help (also --help)"
        << "\n-v        - Verbose mode"
        << "\n-o <file> - Write the report to this file (also --output <file>), which is"
        << "\n            replaced only once the whole report is written"
        << "\n--format <csv|jsonl|html>"
        << "\n          - CSV with a header line, JSON Lines, or an HTML summary page;"
        << "\n            the diagnostics and verbose lines then go to standard error"
        << "\n-m <mode> - Multi-level grouping mode for counts; one of the following:\n"
        << "    0 - Log, Event ID             7 - Day, Computer, Log, EventID\n"
        << "    1 - Day, Log, Event ID        8 - Hour, Computer, Log, EventID\n"
        << "    2 - Hour, Log, Event ID       9 - Day, Computer, Category\n"
        << "    3 - Day, Computer            10 - Hour, Computer, Category\n"
        << "    4 - Hour, Computer           11 - Day, Computer, Category, Event Type\n"
        << "    5 - Day, Computer, Log       12 - Hour, Computer, Category, Event Type\n"
        << "    6 - Hour, Computer,Log\n"
        << "\n     Time filters:"
        << "\n-d <how_many_days_back>    - Results for this many past days, beginning"
        << "\n                             with 12:00 AM on the earliest matching day"
        << "\n-r <how_many_hours_back>   - Results for this many past hours, beginning"
        << "\n                             with the start of the earliest matching hour"
        << "\n-f <YYYY[MM[DD[HH[mm]]]]>  - Results starting from this date and time (UTC, inclusive)"
        << "\n-t <YYYY[MM[DD[HH[mm]]]]>  - Results before this date and time (UTC, exclusive)"
        << "\n     The -f and -t filter options can be used together."
        << "\n     A time may also be written YYYY-MM-DD[THH:MM[:SS][Z]] (UTC; a space may"
        << "\n     stand for the T); other texts than these forms are refused."
        << "\n";
  FlushOutput();
}

std::string FormatElapsed(int64_t start, int64_t end) {
  const int64_t ticks = end - start;
  const int64_t seconds = ticks / 10000000;
  const int64_t fraction = std::llabs(ticks - seconds * 10000000);
  char text[64];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(seconds),
                static_cast<long long>(fraction / 10000));
  return text;
}

void PrintElapsed(int64_t start, int64_t end) {
  Out() << FormatElapsed(start, end) << "\n";
  FlushOutput();
}

}  // namespace tallymere
