#include "driver/run.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "buffers/block_pool.h"
#include "counters/count_keys.h"
#include "counters/html_page.h"
#include "counters/rep_counters.h"
#include "driver/options.h"
#include "platform/output.h"
#include "platform/platform.h"
#include "platform/replacing_file.h"
#include "repository/walk.h"
#include "scan/progress.h"
#include "scan/scan_pipeline.h"
#include "window/time_filter.h"

namespace tallymere {

namespace {

// What the options asked for, built while they are scanned.
struct Options {
  std::unique_ptr<RepCounters> counter;
  FilterType filter = kNoFilter;
  int32_t filter_count = 0;
  const char* from_text = "";
  const char* to_text = "";
  bool verbose = false;
  int32_t mode = 0;
  std::optional<ReportFormat> format;  // given with --format
  const char* output = nullptr;        // the file given with -o
  std::string path;                    // the repository path
};

// The next filter state after one of -d, -r, -f, -t, or the refusal message.
std::optional<const char*> UpdateFilterState(FilterType& state, char letter) {
  static constexpr const char* kConfiguration = "Wrong filter configuration!";
  static constexpr const char* kWrongFilter = "Wrong filter";
  if (letter == 't') {
    if (state == kNoFilter) state = kToOnly;
    else if (state == kFromOnly) state = kFromTo;
    else return kWrongFilter;
    return std::nullopt;
  }
  if (letter == 'f' && state == kToOnly) {
    state = kFromTo;
    return std::nullopt;
  }
  if (state != kNoFilter) return kConfiguration;
  state = letter == 'd' ? kDaysBack : letter == 'r' ? kHoursBack : kFromOnly;
  return std::nullopt;
}

// True when the options before the path include -h (looked up without the
// scanner's messages).
bool AsksForHelp(int argc, const char* const* argv) {
  OptionScanner scanner(argc, argv, /*quiet=*/true);
  for (int c = scanner.Next(); c != kOptionsEnd; c = scanner.Next()) {
    if (c == 'h') return true;
  }
  return false;
}

RunOutcome Refuse(const char* argv0, int status = kExitRefused) {
  PrintUsage(argv0);
  return {status, false, false};
}

// Scans the options; returns a refusal outcome, or nothing to go on.
std::optional<RunOutcome> ScanOptions(OptionScanner& scanner, const char* argv0, Options& options) {
  int c = scanner.Next();
  if (c == kOptionsEnd) return Refuse(argv0);
  for (; c != kOptionsEnd; c = scanner.Next()) {
    switch (c) {
      case 'v': options.verbose = true; break;
      case 'h': return Refuse(argv0, kExitOk);
      case 'm': {
        const int32_t mode = AtoiLike(scanner.optarg());
        options.mode = mode;
        options.counter = CreateCounter(mode);
        if (!options.counter) {
          Err() << "Unknown mode : " << mode << "\n";
          return Refuse(argv0);
        }
        break;
      }
      case 'd':
      case 'r':
      case 'f':
      case 't': {
        if (auto message = UpdateFilterState(options.filter, static_cast<char>(c))) {
          Err() << *message << "\n";
          return Refuse(argv0);
        }
        if (c == 'd' || c == 'r') options.filter_count = AtoiLike(scanner.optarg());
        if (c == 'f') options.from_text = scanner.optarg();
        if (c == 't') options.to_text = scanner.optarg();
        break;
      }
      case 'o': options.output = scanner.optarg(); break;
      case kFormatOption: {
        options.format = ReportFormatNamed(scanner.optarg());
        if (!options.format) {
          Err() << "Unknown format : " << scanner.optarg() << " (csv, jsonl or html)\n";
          return Refuse(argv0);
        }
        break;
      }
      case kUnknownLongOption: Err() << "Unknown option : --" << scanner.long_name() << "\n"; return Refuse(argv0);
      case kLongValueMissing: Err() << "Value missing for --" << scanner.long_name() << "\n"; return Refuse(argv0);
      default: break;  // the scanner has written its message
    }
  }
  return std::nullopt;
}

// Reads the command line into `options`: the counter, its time window and
// the repository path. A refusal outcome, or nothing to go on.
std::optional<RunOutcome> ReadCommandLine(int argc, const char* const* argv, Options& options) {
  const char* argv0 = argv[0];
  if (argc < 4) return Refuse(argv0, AsksForHelp(argc, argv) ? kExitOk : kExitRefused);
  OptionScanner scanner(argc, argv);
  if (auto refused = ScanOptions(scanner, argv0, options)) return refused;
  if (!options.counter) return Refuse(argv0);
  RepCounters& counter = *options.counter;
  if (options.filter != kNoFilter) {
    const auto bad_text = SetTimeFilter(counter.time_filter, options.filter, options.filter_count, options.from_text,
                                        options.to_text, platform::CurrentTimeSeconds());
    if (bad_text) {
      Err() << "Wrong time : " << *bad_text << "\n";
      return Refuse(argv0);
    }
  }
  // An empty path (a shell variable that was never set) would name the
  // current folder: it is refused like a missing one.
  if (scanner.optind() >= argc || *argv[scanner.optind()] == '\0') return Refuse(argv0);
  options.path = argv[scanner.optind()];
  return std::nullopt;
}

// The time window in words, for the page.
std::string WindowInWords(const TimeFilter& window) {
  if (!window.enabled) return {};
  std::string words;
  if (window.from != 0) words = "from " + FormatSecond(window.from);
  if (window.to != 0xFFFFFFFF) words += (words.empty() ? "up to " : " up to ") + FormatSecond(window.to);
  return (words.empty() ? std::string("every event") : words) + " UTC";
}

// The page of an HTML report: the counts the counter gathered, and what
// the run was.
void WriteHtmlReport(ReportSummary& summary, const Options& options, const RunState& run,
                     std::chrono::steady_clock::time_point started) {
  const RepCounters& counter = *options.counter;
  summary.repository = options.path;
  summary.mode = options.mode;
  summary.window = WindowInWords(counter.time_filter);
  summary.files = run.files;
  summary.diagnostics = run.diagnostic_lines;
  summary.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string page;
  WriteHtmlPage(summary, page);
  ReportOut() << page;
}

// Without a time window every event the footers announce must have been
// printed; a difference means the report is incomplete.
void CheckTotals(const RepCounters& counter, RunState& run) {
  if (counter.time_filter.enabled || counter.m_total == counter.m_prop_total) return;
  Err() << "counter->m_total != counter->m_prop_total : " << counter.m_total << " != " << counter.m_prop_total << "\n";
  run.incomplete = true;
  ++run.diagnostic_lines;
}

// For the benchmark: with TALLYMERE_STATS set, the processor time of the
// work only this thread can do (the walk, footers, settling, adding counts,
// writing the report), which bounds how far more threads can speed a run up.
bool StatsAsked() {
  const char* asked = std::getenv("TALLYMERE_STATS");
  return asked != nullptr && *asked != '\0';
}

void ReportSerialWork(uint64_t parallel_work_here, std::chrono::steady_clock::duration scan,
                      std::chrono::steady_clock::duration report) {
  if (!StatsAsked()) return;
  const uint64_t serial = platform::ThreadCpuNanoseconds() - parallel_work_here;
  const block_pool::Stats blocks = block_pool::Current();
  const auto ms = [](std::chrono::steady_clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  Err() << "serial CPU ms: " << serial / 1000000 << "\nscan wall ms: " << ms(scan) << ", report wall ms: " << ms(report)
        << "\nblocks in use at most KiB: " << blocks.most_used_bytes / 1024
        << ", kept KiB: " << blocks.kept_bytes / 1024
        << "\nmiddle blocks in use at most KiB: " << blocks.most_cached_bytes / 1024
        << ", slabs KiB: " << blocks.slab_bytes / 1024 << "\n";
}

// A run whose counts could not be taken in ends with what it said (the
// diagnostic of the failure) and no report; an output file keeps its old
// content.
RunOutcome StopWithoutReport(const Options& options) {
  FlushOutput();
  platform::RemoveUnfinishedFiles();
  return {kStatusFatal, false, options.verbose};
}

// Where the report goes: the file given with -o, made now so that a folder
// that cannot take it is said before the repository is read, not after; and
// for a report a program reads, a stream of its own.
void DirectReport(Options& options, ReportSummary& summary) {
  RepCounters& counter = *options.counter;
  if (options.output != nullptr) {
    std::string error_text;
    if (!SendReportToFile(options.output, error_text)) {
      StopReportUnwritable(std::string(options.output) + ": " + error_text);
    }
  }
  if (options.format) {
    SendDiagnosticsToStandardError();
    counter.report_format = *options.format;
    counter.summary = &summary;
  }
}

// Walks both roots of the repository and counts what they hold. False when
// neither root exists; the progress line is gone when this returns.
bool ScanRepository(const Options& options, RunState& run, uint64_t& parallel_work_here) {
  RepCounters& counter = *options.counter;
  VisitedEntries visited;
  std::unique_ptr<Progress> progress = Progress::ForTerminal();
  const RepositoryRoot hot_root(options.path, kHotRoot);
  const RepositoryRoot environment_root(options.path, kEnvironmentRoot);
  {
    // One pipeline for both roots: it reads ahead across them.
    ScanPipeline pipeline(counter, run, progress.get(), &visited);
    if (StatsAsked()) pipeline.MeasureJobsHere();
    for (const RepositoryRoot* root : {&hot_root, &environment_root}) {
      if (root->exists) WalkRepository(*root, counter.time_filter, visited, pipeline);
    }
    pipeline.Drain();
    parallel_work_here = pipeline.job_nanoseconds_here();
  }
  progress.reset();  // the line is gone before anything else is written
  return hot_root.exists || environment_root.exists;
}

// The report in the format asked for, the verbose totals after it, and the
// report put in its place.
void WriteReport(const Options& options, RunState& run, ReportSummary& summary,
                 std::chrono::steady_clock::time_point started) {
  RepCounters& counter = *options.counter;
  if (options.verbose) Out() << options.path << "\n\n";
  counter.Report();
  CheckTotals(counter, run);
  if (options.format == ReportFormat::kHtml) WriteHtmlReport(summary, options, run, started);
  if (options.verbose) {
    if (counter.ReportsPropertyTotal()) Out() << "\ntotal (property): " << counter.m_prop_total;
    else Out() << "\ntotal : " << counter.m_total;
    Out() << "\n";
  }
  FlushOutput();
  if (std::string error_text; !FinishReport(error_text)) StopReportUnwritable(error_text);
}

}  // namespace

unsigned DefaultWorkerThreads() {
  constexpr unsigned kMostDefault = 4;
  constexpr unsigned kMost = 64;
  if (const char* text = std::getenv("TALLYMERE_THREADS")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0') return static_cast<unsigned>(std::min<unsigned long>(value, kMost));
  }
  const unsigned processors = std::thread::hardware_concurrency();
  return processors <= 1 ? 0 : std::min(processors, kMostDefault);
}

RunOutcome Run(int argc, const char* const* argv) {
  PrintBanner();
  Options options;
  if (auto refused = ReadCommandLine(argc, argv, options)) return *refused;
  RepCounters& counter = *options.counter;
  counter.worker_threads = DefaultWorkerThreads();
  ReportSummary summary;
  DirectReport(options, summary);

  RunState run;
  const auto started = std::chrono::steady_clock::now();
  uint64_t parallel_work_here = 0;  // jobs this thread ran instead of a worker
  const bool found = ScanRepository(options, run, parallel_work_here);
  if (run.stop == RunStop::kOutOfMemory) StopOutOfMemory();
  if (run.stop == RunStop::kCountingFailed) return StopWithoutReport(options);
  if (!found) {
    Err() << "Repository doesn't exist : " << options.path << "\n";
    return Refuse(argv[0]);
  }

  const auto scanned = std::chrono::steady_clock::now();
  WriteReport(options, run, summary, started);
  ReportSerialWork(parallel_work_here, scanned - started, std::chrono::steady_clock::now() - scanned);
  return {run.incomplete ? kExitIncomplete : kExitOk, true, options.verbose};
}

}  // namespace tallymere
