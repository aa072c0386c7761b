// What the HTML page of a run shows: facts of the run, and the report's
// counts gathered level by level as its lines are made. Texts are UTF-8 as
// the repository holds them, unescaped: whoever writes them out escapes
// them for where they go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

struct ReportSummary {
  // The largest values of a level, and of the next level in the time chart.
  static constexpr size_t kTopValues = 10;
  static constexpr size_t kTopSeries = 8;
  // The largest rows listed.
  static constexpr size_t kTopRows = 1000;

  // ---- The run ----
  std::string repository{};           // the path as given on the command line
  int mode = 0;                       // as given with -m
  std::string mode_name{};            // its levels in words, "Day, Log, Event ID"
  std::vector<std::string> fields{};  // the report's field names: "day", "log", "event_id", ...
  std::string window{};               // the time window in words; empty without one
  uint64_t files = 0;                 // repository files read
  uint64_t events = 0;                // events counted: the sum of the report's counts
  double elapsed_seconds = 0;
  uint64_t diagnostics = 0;  // lines the run printed about damaged or inconsistent content

  // ---- The counts ----
  struct Value {
    std::string text{};
    uint64_t count = 0;
  };
  // Members initialise to empty, so a summary can be built with designated
  // initialisers naming only what it has.
  // A level that is not a period: its largest values, largest first (ties
  // in report order), at most kTopValues; what the others count together,
  // and how many values it has in all.
  struct Level {
    std::string field{};
    std::vector<Value> top{};
    uint64_t other = 0;
    uint64_t distinct = 0;
  };
  std::vector<Level> levels{};  // in field order, periods left out

  // When the first level is a day or an hour: the events of each period in
  // order, split by the next level's largest values (kTopSeries of them by
  // their count over the whole report), the rest as "other".
  struct TimeSeries {
    std::string field{};                          // "day" or "hour"
    std::string split_field{};                    // the next level's field; empty when there is none
    std::vector<std::string> periods{};           // as the report prints them: "2018-03-07", "2018-03-07 14:00"
    std::vector<std::string> series{};            // the split values, largest first; "other" last when any
    std::vector<std::vector<uint64_t>> counts{};  // counts[series][period]
  };
  std::optional<TimeSeries> time{};

  // The report's largest rows, largest first (ties in report order), at
  // most kTopRows, and how many rows the report has.
  struct Row {
    std::vector<std::string> fields{};  // as the report prints them
    uint64_t count = 0;
  };
  std::vector<Row> top_rows{};
  uint64_t row_count = 0;
};

}  // namespace tallymere
