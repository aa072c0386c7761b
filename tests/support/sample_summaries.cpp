#include "support/sample_summaries.h"

#include <algorithm>
#include <cstdint>

namespace tallymere::test {

namespace {

std::string LongName() {
  std::string name = "LONG-";
  while (name.size() < 296) name += "abcdefghij";
  name.resize(296);
  return name + "-END";  // 300 characters
}

std::string DayText(int day) { return "2018-03-" + std::string(day < 10 ? "0" : "") + std::to_string(day); }

}  // namespace

std::vector<std::string> HostileNames() {
  return {
      "<img src=x onerror=alert(1)>",
      "<img src=x onerror=\"document.documentElement.setAttribute('data-pwned','img')\">",
      "</script><script>alert(2)</script>",
      "</script><script>document.documentElement.setAttribute('data-pwned','script')</script>",
      "<!--<script>document.documentElement.setAttribute('data-pwned','comment')</script>",
      "\"quotes\" & 'apostrophes'",
      "line\xE2\x80\xA8separator",
      LongName(),
  };
}

ReportSummary SmallSummary() {
  ReportSummary summary;
  summary.repository = "/srv/orvanta/repository";
  summary.mode = 0;
  summary.mode_name = "Log, Event ID";
  summary.fields = {"log", "event_id"};
  summary.files = 2;
  summary.events = 7;
  summary.elapsed_seconds = 0.125;
  summary.levels = {{.field = "log", .top = {{"Security", 4}, {"System", 3}}, .other = 0, .distinct = 2},
                    {.field = "event_id", .top = {{"4624", 3}, {"7036", 3}, {"4625", 1}}, .other = 0, .distinct = 3}};
  summary.top_rows = {{{"Security", "4624"}, 3}, {{"System", "7036"}, 3}, {{"Security", "4625"}, 1}};
  summary.row_count = 3;
  return summary;
}

ReportSummary HostileSummary() {
  const std::vector<std::string> hostile = HostileNames();
  std::vector<std::string> computers = hostile;
  computers.insert(computers.end(), {"DC01", "WS-7", "FILESRV"});  // 11: three past the time chart's split
  const std::vector<std::string> categories = {hostile[2], hostile[5], hostile[6], "Logon"};

  ReportSummary summary;
  summary.repository = "/srv/" + hostile[0] + "/" + hostile[2];
  summary.mode = 9;
  summary.mode_name = "Day, Computer, Category";
  summary.fields = {"day", "computer", "category"};
  summary.window = "from 2018-03-01 00:00:00 UTC " + hostile[5];
  summary.files = 1234;
  summary.elapsed_seconds = 3.5;
  summary.diagnostics = 2;

  ReportSummary::TimeSeries time;
  time.field = "day";
  time.split_field = "computer";
  for (int day = 1; day <= 14; ++day) time.periods.push_back(DayText(day));
  for (size_t c = 0; c < ReportSummary::kTopSeries; ++c) time.series.push_back(computers[c]);
  time.series.push_back("other");
  time.counts.assign(time.series.size(), std::vector<uint64_t>(time.periods.size()));

  // Computer c has (11 - c) * 100 events a day, spread over the categories.
  ReportSummary::Level computer_level{.field = "computer", .distinct = computers.size()};
  std::vector<uint64_t> category_counts(categories.size());
  for (size_t c = 0; c < computers.size(); ++c) {
    const uint64_t per_day = (computers.size() - c) * 100;
    for (size_t day = 0; day < time.periods.size(); ++day) {
      time.counts[std::min(c, ReportSummary::kTopSeries)][day] += per_day;
      for (size_t k = 0; k < categories.size(); ++k) {
        const uint64_t count = per_day / categories.size() + (k == 0 ? per_day % categories.size() : 0);
        category_counts[k] += count;
        if (summary.top_rows.size() < 50)
          summary.top_rows.push_back({{time.periods[day], computers[c], categories[k]}, count});
      }
    }
    summary.events += per_day * time.periods.size();
    if (computer_level.top.size() < ReportSummary::kTopValues) {
      computer_level.top.push_back({computers[c], per_day * time.periods.size()});
    } else {
      computer_level.other += per_day * time.periods.size();
    }
  }
  ReportSummary::Level category_level{.field = "category", .distinct = categories.size()};
  for (size_t k = 0; k < categories.size(); ++k) category_level.top.push_back({categories[k], category_counts[k]});
  summary.levels = {computer_level, category_level};
  summary.time = time;
  summary.row_count = computers.size() * categories.size() * time.periods.size();
  return summary;
}

ReportSummary EmptySummary(int mode) {
  ReportSummary summary;
  summary.repository = "/srv/empty";
  summary.mode = mode;
  if (mode >= 0) {
    summary.mode_name = "Day, Log, Event ID";
    summary.fields = {"day", "log", "event_id"};
    summary.levels = {{.field = "log"}, {.field = "event_id"}};
    summary.time = ReportSummary::TimeSeries{.field = "day", .split_field = "log"};
  } else {
    summary.mode_name = "Total of the files' event counts";
    summary.events = 0;
  }
  return summary;
}

}  // namespace tallymere::test
