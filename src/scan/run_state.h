// How the run is going, beyond what the counter holds. The counter keeps the
// counts, the totals and the sticky failed mark; whether the report may be
// missing something, or the run must stop, is the run's, set by the scan and
// by the driver's totals check, and it decides the exit status.
#pragma once

#include <cstdint>

#include "counters/rep_counters.h"

namespace tallymere {

struct RunState {
  // Damaged or inconsistent content was met (a file that could not be read
  // or parsed, a failed data buffer, a footer that was skipped or did not
  // add up, events that could not be placed, a folder that could not be
  // listed): the report may be incomplete, and the program ends with
  // status 2.
  bool incomplete = false;
  // Repository files taken in, and the lines printed about damaged or
  // inconsistent content (the HTML page says both).
  uint64_t files = 0;
  uint64_t diagnostic_lines = 0;
  // Set when the run cannot go on (counts refused, memory ran out): nothing
  // more is read or applied, and the driver ends the run without a report.
  RunStop stop = RunStop::kNone;
};

}  // namespace tallymere
