// Report summaries for the HTML page's tests: a small plain one, and one
// whose names are the hostile texts a repository may hold.
#pragma once

#include <string>
#include <vector>

#include "counters/report_summary.h"

namespace tallymere::test {

// Mode 0 over a small repository: log and event ID, no periods, five rows.
ReportSummary SmallSummary();

// Mode 9 (day, computer, category) over 14 days, with more computers than
// the time chart splits by and more rows than the page lists; the names
// below stand as computers, categories, the repository path and the window.
ReportSummary HostileSummary();

// Names that must show as text: markup, a script end, quotes and an
// ampersand, U+2028, control characters, and a name of 300 characters.
// The markup ones would mark the page's root element data-pwned if any of
// their code ran.
std::vector<std::string> HostileNames();

// A run with no rows: mode -1, or any mode over an empty repository.
ReportSummary EmptySummary(int mode);

}  // namespace tallymere::test
