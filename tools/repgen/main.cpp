// repgen: writes a whole repository of generated events, deterministic for a
// seed, for the demo and the benchmarks.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "repwriter/bytes.h"
#include "repwriter/generator.h"

namespace {

constexpr const char* kUsage =
    "usage: repgen --out DIR --events N [options]\n"
    "\n"
    "  --out DIR          repository folder to write (created if missing)\n"
    "  --events N         number of events (default 100000)\n"
    "  --files N          number of repository files (default: about 75000 events each)\n"
    "  --parts N          parts per file (default: about 10000 events each)\n"
    "  --footers N        footers per file (default 2)\n"
    "  --computers N      computer names to draw from (default 300)\n"
    "  --categories N     categories to draw from (default 300)\n"
    "  --logs A,B,...     UnderDataSource values, one sub-folder each\n"
    "                     (default Application,System,Security,Setup,Orvanta Agent)\n"
    "  --platform610 X    share of footers with PlatformID 610, 0..1 (default 0.3)\n"
    "  --start STAMP      UTC start, YYYYMMDD[HHmmss] (default 20180501)\n"
    "  --span-days D      time span of all events in days (default 30)\n"
    "  --nested X         share of files that are containers of nested images, 0..1 (default 0.1)\n"
    "  --level L          zlib compression level 0..9 (default 4)\n"
    "  --seed S           seed; the same seed gives the same repository (default 1)\n"
    "  --threads T        files written in parallel; output is the same (default 1)\n"
    "  --help             this text\n";

std::uint64_t ParseUnsigned(std::string_view text, std::string_view option) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    throw std::invalid_argument(std::string(option) + " wants a whole number, not '" + std::string(text) + "'");
  }
  return std::stoull(std::string(text));
}

std::uint32_t ParseCount(std::string_view text, std::string_view option) {
  const std::uint64_t value = ParseUnsigned(text, option);
  if (value > 0xFFFFFFFFULL) throw std::invalid_argument(std::string(option) + " is too large");
  return static_cast<std::uint32_t>(value);
}

double ParseShare(std::string_view text, std::string_view option) {
  std::size_t used = 0;
  double value = -1;
  try {
    value = std::stod(std::string(text), &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(value >= 0 && value <= 1)) {
    throw std::invalid_argument(std::string(option) + " wants a share between 0 and 1");
  }
  return value;
}

std::uint32_t ParseStart(std::string_view text) {
  if ((text.size() != 8 && text.size() != 14) || text.find_first_not_of("0123456789") != std::string_view::npos) {
    throw std::invalid_argument("--start wants YYYYMMDD or YYYYMMDDHHmmss");
  }
  auto field = [&](std::size_t at, std::size_t width) {
    return at + width <= text.size() ? std::stoi(std::string(text.substr(at, width))) : 0;
  };
  return repwriter::UtcSeconds(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), field(12, 2));
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
    if (end > start) items.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (items.empty()) throw std::invalid_argument("--logs wants at least one name");
  return items;
}

using Setter = std::function<void(repwriter::GeneratorOptions&, std::string_view)>;

const std::map<std::string_view, Setter>& Setters() {
  using O = repwriter::GeneratorOptions;
  static const std::map<std::string_view, Setter> setters = {
      {"--out", [](O& o, std::string_view v) { o.out = std::filesystem::path(std::u8string(v.begin(), v.end())); }},
      {"--events", [](O& o, std::string_view v) { o.events = ParseUnsigned(v, "--events"); }},
      {"--files", [](O& o, std::string_view v) { o.files = ParseCount(v, "--files"); }},
      {"--parts", [](O& o, std::string_view v) { o.parts_per_file = ParseCount(v, "--parts"); }},
      {"--footers", [](O& o, std::string_view v) { o.footers_per_file = ParseCount(v, "--footers"); }},
      {"--computers", [](O& o, std::string_view v) { o.computers = ParseCount(v, "--computers"); }},
      {"--categories", [](O& o, std::string_view v) { o.categories = ParseCount(v, "--categories"); }},
      {"--logs", [](O& o, std::string_view v) { o.logs = SplitList(v); }},
      {"--platform610", [](O& o, std::string_view v) { o.platform_610_share = ParseShare(v, "--platform610"); }},
      {"--start", [](O& o, std::string_view v) { o.start_time = ParseStart(v); }},
      {"--span-days", [](O& o, std::string_view v) { o.span_seconds = ParseCount(v, "--span-days") * 86400U; }},
      {"--nested", [](O& o, std::string_view v) { o.nested_share = ParseShare(v, "--nested"); }},
      {"--level", [](O& o, std::string_view v) { o.compression_level = static_cast<int>(ParseCount(v, "--level")); }},
      {"--seed", [](O& o, std::string_view v) { o.seed = ParseUnsigned(v, "--seed"); }},
      {"--threads", [](O& o, std::string_view v) { o.threads = ParseCount(v, "--threads"); }},
  };
  return setters;
}

repwriter::GeneratorOptions ParseArguments(const std::vector<std::string_view>& args) {
  repwriter::GeneratorOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const auto setter = Setters().find(args[i]);
    if (setter == Setters().end()) throw std::invalid_argument("unknown option '" + std::string(args[i]) + "'");
    if (i + 1 == args.size()) throw std::invalid_argument(std::string(args[i]) + " wants a value");
    setter->second(options, args[++i]);
  }
  return options;
}

void PrintSummary(const repwriter::GeneratorSummary& s, double seconds) {
  const double ratio =
      s.bytes_on_disk ? static_cast<double>(s.unpacked_bytes) / static_cast<double>(s.bytes_on_disk) : 0;
  std::printf(
      "files: %llu\nevents: %llu\nbytes on disk: %llu\nunpacked bytes: %llu (%.2f:1)\n"
      "expected mode -1 total: %llu\nseconds: %.1f\n",
      static_cast<unsigned long long>(s.files), static_cast<unsigned long long>(s.events),
      static_cast<unsigned long long>(s.bytes_on_disk), static_cast<unsigned long long>(s.unpacked_bytes), ratio,
      static_cast<unsigned long long>(s.events_count_total), seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::string_view arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  try {
    const auto started = std::chrono::steady_clock::now();
    const repwriter::GeneratorSummary summary = repwriter::GenerateRepository(ParseArguments(args));
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    PrintSummary(summary, elapsed.count());
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "repgen: " << e.what() << "\n" << kUsage;
    return 2;
  }
}
