#include "counters/html_page.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "counters/page_text.h"
#include "html_page_assets.h"

namespace tallymere {

namespace {

using page_text::AppendDecimal;
using page_text::Counted;
using page_text::FieldTitle;
using page_text::FieldWords;
using page_text::Fixed;
using page_text::Grouped;
using page_text::Share;

// ---- The page ---------------------------------------------------------------

// What the page shows, beside the summary itself.
struct PageFacts {
  bool charts = false;    // Chart.js is inlined
  bool has_rows = false;  // the report has a row
  bool has_time = false;  // a chart over time
};

// The split series of the time chart are the next level's largest values,
// "other" last when that level has more: then there is one more series than
// the largest values kept.
bool LastSeriesIsRest(const ReportSummary::TimeSeries& time) { return time.series.size() > ReportSummary::kTopSeries; }

uint64_t LevelTotal(const ReportSummary::Level& level) {
  uint64_t total = level.other;
  for (const ReportSummary::Value& value : level.top) total += value.count;
  return total;
}

uint64_t OtherValues(const ReportSummary::Level& level) {
  return level.distinct > level.top.size() ? level.distinct - level.top.size() : 0;
}

std::string OtherLabel(const ReportSummary::Level& level) {
  return "other (" + Counted(OtherValues(level), "value", "values") + ")";
}

void WriteHead(const ReportSummary& summary, const PageFacts& facts, std::string& out) {
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Only the page's own scripts run, and nothing is fetched: a name that got
  // past the escaping could neither run nor call out.
  out += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src '";
  out += html_page_assets::PageScriptDigest();
  if (facts.charts) {
    out += "' '";
    out += html_page_assets::ChartJsDigest();
  }
  out += "'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<meta name=\"generator\" content=\"tallymere\">\n<title>tallymere report: ";
  AppendHtmlText(out, summary.repository);
  out += "</title>\n<style>\n";
  out += html_page_assets::PageStyle();
  out += "</style>\n</head>\n";
}

void WriteFact(std::string_view name, std::string_view value, std::string& out, std::string_view value_class = {}) {
  out += "<tr><th scope=\"row\">";
  out += name;
  out += "</th><td";
  if (!value_class.empty()) {
    out += " class=\"";
    out += value_class;
    out += '"';
  }
  out += '>';
  AppendHtmlText(out, value);
  out += "</td></tr>\n";
}

void WriteFacts(const ReportSummary& summary, std::string& out) {
  out += "<section id=\"run\">\n<h2>What was read</h2>\n<table class=\"facts\">\n";
  WriteFact("Repository", summary.repository, out, "name");
  std::string mode = std::to_string(summary.mode);
  if (!summary.mode_name.empty()) mode += ": " + summary.mode_name;
  WriteFact("Mode", mode, out);
  std::string fields;
  for (const std::string& field : summary.fields) fields += (fields.empty() ? "" : ", ") + field;
  WriteFact("Fields", fields.empty() ? "none (the mode prints no rows)" : fields, out);
  WriteFact("Time window", summary.window.empty() ? "none: every event" : summary.window, out);
  WriteFact("Files read", Grouped(summary.files), out);
  WriteFact("Events counted", Grouped(summary.events), out);
  WriteFact("Report rows", Grouped(summary.row_count), out);
  WriteFact("Elapsed time", Fixed(summary.elapsed_seconds, 2) + " s", out);
  if (summary.diagnostics == 0) {
    WriteFact("Diagnostics about damaged files", "none", out);
  } else {
    WriteFact("Diagnostics about damaged files",
              Grouped(summary.diagnostics) + " (printed by the run; the counts may be incomplete)", out, "warn");
  }
  out += "</table>\n</section>\n";
}

// A chart's place: a canvas the script draws on, in a box the style sheet
// sizes. Without Chart.js there is none.
void WriteChart(std::string_view id, std::string_view label, const PageFacts& facts, std::string& out) {
  if (!facts.charts) return;
  out += "<div class=\"chart\"><canvas id=\"";
  out += id;
  out += "\" role=\"img\" aria-label=\"";
  AppendHtmlText(out, label);
  out += "\"></canvas></div>\n";
}

void WriteTimeSection(const ReportSummary::TimeSeries& time, const PageFacts& facts, std::string& out) {
  const std::string period = FieldWords(time.field);
  out += "<section id=\"time\">\n<h2>";
  AppendHtmlText(out, "Events by " + period);
  out += "</h2>\n<p>";
  if (time.split_field.empty()) {
    AppendHtmlText(out, "The events counted in each " + period + ".");
  } else {
    const size_t kept = LastSeriesIsRest(time) ? time.series.size() - 1 : time.series.size();
    std::string text = "The events counted in each " + period + ", split by " + FieldWords(time.split_field) +
                       ": its " + Grouped(kept) + " largest values over the whole report";
    text += LastSeriesIsRest(time) ? ", the rest together as \"other\"." : ".";
    AppendHtmlText(out, text);
  }
  out += "</p>\n";
  WriteChart("time-chart", "Bar chart of the events by " + period, facts, out);
  out += "</section>\n";
}

void WriteTableHead(const std::vector<std::string>& columns, std::string_view body_id, std::string& out) {
  out += "<table class=\"counts\">\n<thead><tr>";
  for (const std::string& column : columns) {
    out += "<th scope=\"col\">";
    AppendHtmlText(out, column);
    out += "</th>";
  }
  out += "<th scope=\"col\" class=\"num\">Events</th><th scope=\"col\" class=\"num\">Share</th></tr></thead>\n";
  out += "<tbody id=\"";
  out += body_id;
  out += "\"></tbody>\n</table>\n";
}

void WriteLevelSection(const ReportSummary::Level& level, size_t index, const PageFacts& facts, std::string& out) {
  std::string id = "level-";
  AppendDecimal(id, index);
  const std::string title = FieldTitle(level.field);
  out += "<section class=\"level\">\n<h2>";
  AppendHtmlText(out, title);
  out += "</h2>\n<p>";
  std::string text = Counted(level.distinct, "value", "values");
  const uint64_t others = OtherValues(level);
  text += others > 0 ? "; the " + Grouped(level.top.size()) + " largest by events" : ", largest first";
  text += ", with their share of the " + Counted(LevelTotal(level), "event", "events") + " counted";
  if (others > 0) text += ", and the other " + Grouped(others) + " together as \"other\"";
  AppendHtmlText(out, text + ".");
  out += "</p>\n";
  WriteChart(id + "-chart", "Bar chart of the largest values of " + title, facts, out);
  WriteTableHead({title}, id, out);
  out += "</section>\n";
}

void WriteRowsSection(const ReportSummary& summary, std::string& out) {
  out += "<section id=\"rows\">\n<h2>Largest rows</h2>\n<p>";
  if (summary.row_count > summary.top_rows.size()) {
    AppendHtmlText(out, "The " + Grouped(summary.top_rows.size()) + " largest of the report's " +
                            Grouped(summary.row_count) + " rows by events, largest first (the page lists at most " +
                            Grouped(ReportSummary::kTopRows) + "; the report itself has them all).");
  } else {
    AppendHtmlText(out, "All " + Counted(summary.row_count, "row", "rows") + " of the report, largest first.");
  }
  out += "</p>\n";
  std::vector<std::string> columns;
  for (const std::string& field : summary.fields) columns.push_back(FieldTitle(field));
  WriteTableHead(columns, "rows-table", out);
  out += "</section>\n";
}

void WriteNoRows(const ReportSummary& summary, std::string& out) {
  out += "<section id=\"no-rows\">\n<h2>Counts</h2>\n<p class=\"note\">";
  AppendHtmlText(out, summary.fields.empty()
                          ? "This mode prints no rows: it only totals the events the repository's files say they hold."
                          : "The report has no rows: no event was counted (the repository holds none, or none "
                            "in the time window).");
  out += "</p>\n</section>\n";
}

void WriteBody(const ReportSummary& summary, const PageFacts& facts, std::string& out) {
  out += "<body>\n<header>\n<h1>tallymere report</h1>\n<p class=\"name\">";
  AppendHtmlText(out, summary.repository);
  out += "</p>\n</header>\n<main>\n";
  out += "<p id=\"script-errors\" class=\"warn\" hidden></p>\n";
  out +=
      "<noscript><p class=\"warn\">This page fills its tables and draws its charts with its own script, "
      "which is turned off here.</p></noscript>\n";
  if (!facts.charts) {
    out +=
        "<p class=\"note\">Charts are not available in this build of tallymere (it was built without "
        "Chart.js); the tables hold every count the page shows.</p>\n";
  }
  WriteFacts(summary, out);
  if (!facts.has_rows) {
    WriteNoRows(summary, out);
  } else {
    if (facts.has_time) WriteTimeSection(*summary.time, facts, out);
    for (size_t i = 0; i < summary.levels.size(); ++i) WriteLevelSection(summary.levels[i], i, facts, out);
    WriteRowsSection(summary, out);
  }
  out += "</main>\n<footer>\n<p class=\"note\">Written by tallymere";
  if (facts.charts) out += "; charts drawn with Chart.js (MIT License), included in this page";
  out += ". The page reads nothing from the network.</p>\n</footer>\n";
}

// ---- The data block ---------------------------------------------------------

// Writes the items of `items` as a JSON array, each by `write`.
template <class Items, class Write>
void AppendJsonArray(std::string& out, const Items& items, Write write) {
  out.push_back('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.push_back(',');
    first = false;
    write(item);
  }
  out.push_back(']');
}

void AppendJsonStrings(std::string& out, const std::vector<std::string>& texts) {
  AppendJsonArray(out, texts, [&](const std::string& text) { AppendJsonString(out, text); });
}

// The cells of a table row: the texts, then the count and its share.
void AppendJsonCells(std::string& out, const std::vector<std::string>& texts, uint64_t count, uint64_t total) {
  out.push_back('[');
  for (const std::string& text : texts) {
    AppendJsonString(out, text);
    out.push_back(',');
  }
  AppendJsonString(out, Grouped(count));
  out.push_back(',');
  AppendJsonString(out, Share(count, total));
  out.push_back(']');
}

void AppendJsonTime(std::string& out, const ReportSummary::TimeSeries& time) {
  out += "{\"periods\":";
  AppendJsonStrings(out, time.periods);
  out += ",\"series\":[";
  for (size_t s = 0; s < time.series.size(); ++s) {
    if (s > 0) out.push_back(',');
    const bool rest = LastSeriesIsRest(time) && s + 1 == time.series.size();
    out += "{\"label\":";
    AppendJsonString(out, time.series[s].empty() && time.split_field.empty() ? "events" : time.series[s]);
    out += rest ? ",\"rest\":true,\"counts\":[" : ",\"rest\":false,\"counts\":[";
    // One count per period, whatever the counts hold (none counts as 0).
    static const std::vector<uint64_t> kNone;
    const std::vector<uint64_t>& counts = s < time.counts.size() ? time.counts[s] : kNone;
    for (size_t p = 0; p < time.periods.size(); ++p) {
      if (p > 0) out.push_back(',');
      AppendDecimal(out, p < counts.size() ? counts[p] : 0);
    }
    out += "]}";
  }
  out += "]}";
}

void AppendJsonLevel(std::string& out, const ReportSummary::Level& level) {
  struct Entry {
    std::string_view label;
    uint64_t count;
  };
  std::vector<Entry> entries;
  for (const ReportSummary::Value& value : level.top) entries.push_back({value.text, value.count});
  const bool rest = OtherValues(level) > 0 || level.other > 0;
  const std::string other_label = OtherLabel(level);
  if (rest) entries.push_back({other_label, level.other});
  const uint64_t total = LevelTotal(level);
  out += "{\"labels\":";
  AppendJsonArray(out, entries, [&](const Entry& entry) { AppendJsonString(out, entry.label); });
  out += ",\"counts\":";
  AppendJsonArray(out, entries, [&](const Entry& entry) { AppendDecimal(out, entry.count); });
  out += rest ? ",\"rest\":true,\"cells\":" : ",\"rest\":false,\"cells\":";
  AppendJsonArray(out, entries,
                  [&](const Entry& entry) { AppendJsonCells(out, {std::string(entry.label)}, entry.count, total); });
  out += "}";
}

void WriteData(const ReportSummary& summary, const PageFacts& facts, std::string& out) {
  out += "<script type=\"application/json\" id=\"page-data\">{\"time\":";
  if (facts.has_time) {
    AppendJsonTime(out, *summary.time);
  } else {
    out += "null";
  }
  out += ",\n\"levels\":";
  // A page without rows has no level sections to fill.
  static const std::vector<ReportSummary::Level> kNoLevels;
  AppendJsonArray(out, facts.has_rows ? summary.levels : kNoLevels,
                  [&](const ReportSummary::Level& level) { AppendJsonLevel(out, level); });
  out += ",\n\"rows\":";
  AppendJsonArray(out, summary.top_rows, [&](const ReportSummary::Row& row) {
    AppendJsonCells(out, row.fields, row.count, summary.events);
    out.push_back('\n');
  });
  out += "}</script>\n";
}

void WriteScripts(const PageFacts& facts, std::string& out) {
  // The page's script first: it records the errors of any script after it,
  // and draws once the document (Chart.js included) is loaded.
  out += "<script>";
  out += html_page_assets::PageScript();
  out += "</script>\n";
  if (facts.charts) {
    out += "<script>";
    out += html_page_assets::ChartJs();
    out += "</script>\n";
  }
}

}  // namespace

bool HtmlPageHasCharts() { return !html_page_assets::ChartJs().empty(); }

void WriteHtmlPage(const ReportSummary& summary, std::string& out) {
  PageFacts facts;
  facts.charts = HtmlPageHasCharts();
  facts.has_rows = summary.row_count > 0 || !summary.top_rows.empty();
  facts.has_time =
      facts.has_rows && summary.time.has_value() && !summary.time->periods.empty() && !summary.time->series.empty();
  WriteHead(summary, facts, out);
  WriteBody(summary, facts, out);
  WriteData(summary, facts, out);
  WriteScripts(facts, out);
  out += "</body>\n</html>\n";
}

}  // namespace tallymere
