// The HTML page of a run: one self-contained file for people, which opens
// from a disk or a mail attachment with no network. It says what was read
// and shows the report's counts as charts and tables: events over time when
// the report has periods, the largest values of every other level with their
// shares, and the report's largest rows.
//
// Every name in it comes from the repository and may hold anything, markup
// included, so none is ever parsed as markup: the facts written here are
// escaped for HTML text, and the counts travel as JSON in a data block that
// the page's script reads and sets as text. The page also lets only its own
// scripts run (a Content-Security-Policy naming their digests) and fetch
// nothing, should a name ever get past the escaping.
#pragma once

#include <string>
#include <string_view>

#include "counters/page_text.h"  // the escaping, for callers of the page
#include "counters/report_summary.h"

namespace tallymere {

// Appends the whole page.
void WriteHtmlPage(const ReportSummary& summary, std::string& out);

// Whether this build carries Chart.js, so that its pages draw charts; a page
// without says so and shows its tables only.
bool HtmlPageHasCharts();

}  // namespace tallymere
