// The reports programs read: CSV with a header, read back by Python's csv
// module and summed by SQLite; JSON Lines, every line valid JSON and UTF-8;
// both with names that hold commas, quotes, line breaks, control
// characters and broken UTF-16, and both alone on standard output while
// the diagnostics and verbose lines go to standard error.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "repwriter/repository.h"
#include "support/expected_report.h"
#include "support/program_runner.h"
#include "support/spawn.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;
using repwriter::Event;
using repwriter::FooterDescription;
using repwriter::ImageDescription;
using repwriter::RepositoryFile;

constexpr uint32_t k20180307 = 1520380800;  // 2018-03-07 00:00:00 UTC

// Names a careless report would split, join or pass raw to whatever reads
// it. The computer names are upper-cased by the report (a-z only).
const std::vector<std::u16string> kComputers = {
    u"pc,9", u"ws\"7\"", u"line\r\nbreak", u"esc\x1b[2J", u"half\xD800surrogate", u"plain", u"b\u00fcro"};
const std::vector<std::u16string> kCategories = {u"Policy,Change", u"Say \"hi\"", u"", u"tab\there",
                                                 u"=cmd|' /C calc'!A0"};

ImageDescription HostileImage(std::u16string log, uint32_t first_time, uint32_t count) {
  FooterDescription footer;
  footer.log = std::move(log);
  footer.platform_id = 610;
  repwriter::PartDescription part{.index = 1};
  for (uint32_t i = 0; i < count; ++i) {
    part.events.push_back({.computer = kComputers[i % kComputers.size()],
                           .category = kCategories[i % kCategories.size()],
                           .event_type = static_cast<uint16_t>(i % 3),
                           .event_id = i % 4 == 0 ? 0x80000005u : 4624 + i % 5,
                           .time = first_time + i * 1800});
  }
  footer.parts.push_back(std::move(part));
  return {.footers = {std::move(footer)}};
}

// The fields of each record a reader gives, as lines of fields parted by
// U+001F and ended by U+001E, from Python.
std::vector<std::vector<std::string>> Records(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::string field;
  std::vector<std::string> record;
  for (char c : text) {
    if (c == '\x1f' || c == '\x1e') {
      record.push_back(field);
      field.clear();
      if (c == '\x1e') records.push_back(std::exchange(record, {}));
    } else {
      field.push_back(c);
    }
  }
  return records;
}

class ReportFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{.image = HostileImage(u"Sec,urity", k20180307, 60)},
              {.image = HostileImage(u"App \"x\"", k20180307 + 86400, 45)}};
    files_[1].folder = "Other";
    repwriter::WriteRepository(Repository(), files_);
  }
  std::string Repository() const { return (folder_.path() / "repo").string(); }
  std::vector<repwriter::ExpectedEvent> Events() const {
    std::vector<repwriter::ExpectedEvent> events;
    for (const RepositoryFile& file : files_) {
      const auto more = repwriter::ListEvents(file.image);
      events.insert(events.end(), more.begin(), more.end());
    }
    return events;
  }
  // Runs the program and keeps its report in a file of the test's folder.
  std::string ReportFile(const std::vector<std::string>& args, const std::string& name) {
    const ProgramResult result = RunProgramRaw(args);
    EXPECT_EQ(result.status, 0) << result.err;
    return folder_.AddFile(name, result.out).string();
  }

  TempFolder folder_;
  std::vector<RepositoryFile> files_;
};

TEST_F(ReportFormats, CsvHasAHeaderAndPythonReadsTheReportsRows) {
  const std::string python =
      "import csv,sys\n"
      "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
      "  for row in csv.reader(f): sys.stdout.write('\\x1f'.join(row) + '\\x1e')\n";
  const std::string script = folder_.AddFile("read.py", python).string();
  const std::vector<std::pair<int, std::string>> modes = {{1, "day,log,event_id,count"},
                                                          {8, "hour,computer,log,event_id,count"},
                                                          {11, "day,computer,category,event_type,count"},
                                                          {29, "day,computer,category,count"}};
  for (const auto& [mode, header] : modes) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::string csv = ReportFile({"-m", std::to_string(mode), "--format", "csv", Repository()}, "report.csv");
    EXPECT_EQ(ReadText(csv).substr(0, header.size() + 1), header + "\n");
    const auto records = Records(ShellOutput("python3 " + ShellQuoted(script) + " " + ShellQuoted(csv)));
    const std::vector<ExpectedRow> expected = ExpectedRows(mode, Events());
    ASSERT_EQ(records.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
      std::vector<std::string> fields = expected[i].fields;
      fields.push_back(std::to_string(expected[i].count));
      EXPECT_EQ(records[i + 1], fields) << "row " << i;
    }
  }
}

TEST_F(ReportFormats, JsonLinesAreValidJsonAndUtf8WithNumbersAsNumbers) {
  // Each line parsed strictly; each value as its type's letter and its text.
  const std::string python =
      "import json,sys\n"
      "text = open(sys.argv[1], 'rb').read().decode('utf-8', errors='strict')\n"
      "for line in text.split('\\n')[:-1]:\n"
      "  for key, value in json.loads(line).items():\n"
      "    sys.stdout.write(key + '=' + ('n' + str(value) if isinstance(value, int) else 's' + value) + '\\x1f')\n"
      "  sys.stdout.write('\\x1e')\n";
  const std::string script = folder_.AddFile("read.py", python).string();
  for (const auto& [mode, fields] :
       std::vector<std::pair<int, std::vector<std::string>>>{{12, {"hour", "computer", "category", "event_type"}},
                                                             {1, {"day", "log", "event_id"}},
                                                             {20, {"log", "event_id"}}}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::string jsonl = ReportFile({"-m", std::to_string(mode), "--format=jsonl", Repository()}, "report.jsonl");
    const auto records = Records(ShellOutput("python3 " + ShellQuoted(script) + " " + ShellQuoted(jsonl)));
    const std::vector<ExpectedRow> expected = ExpectedRows(mode, Events());
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      std::vector<std::string> want;
      for (size_t f = 0; f < fields.size(); ++f) {
        const bool number = fields[f] == "event_type" || fields[f] == "event_id";
        want.push_back(fields[f] + "=" + (number ? "n" : "s") + expected[i].fields[f]);
      }
      want.push_back("count=n" + std::to_string(expected[i].count));
      want.push_back("");  // after the last separator
      EXPECT_EQ(records[i], want) << "row " << i;
    }
  }
}

// Standard output holds the report alone; what the run says about the
// repository and the verbose lines go to standard error, and the exit
// status is what it would be without --format.
TEST_F(ReportFormats, DiagnosticsAndVerboseLinesGoToStandardError) {
  const std::string damaged = (folder_.path() / "repo" / "Environment$" / "zz" / "damaged.rep").string();
  fs::create_directories(fs::path(damaged).parent_path());
  folder_.AddFile("repo/Environment$/zz/damaged.rep", "not an image at all, but long enough for the header...");
  const ProgramResult result = RunProgram({"-v", "-m", "0", "--format", "csv", Repository()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out.substr(0, 19), "log,event_id,count\n");
  EXPECT_EQ(result.out.find("some problem"), std::string::npos);
  EXPECT_EQ(result.out.find("total"), std::string::npos);
  EXPECT_NE(result.err.find("some problem in file:\n" + damaged + "\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(Repository() + "\n\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("\ntotal : 105\n"), std::string::npos) << result.err;
  // Without --format the diagnostics stay on standard output.
  const ProgramResult plain = RunProgram({"-m", "0", Repository()});
  EXPECT_EQ(plain.status, 2);
  EXPECT_NE(plain.out.find("some problem in file:"), std::string::npos);
}

TEST_F(ReportFormats, ThePropertyTotalIsOneRowNamedCount) {
  EXPECT_EQ(RunProgram({"-m", "-1", "--format", "csv", Repository()}).out, "count\n105\n");
  EXPECT_EQ(RunProgram({"-m", "-1", "--format", "jsonl", Repository()}).out, "{\"count\":105}\n");
}

TEST(ReportFormatOptions, UnknownLongOptionsAndFormatsAreRefused) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {{{"-m", "0", "--format", "xml", "/nowhere"}, "Unknown format : xml (csv, jsonl or html)\n"},
               {{"-m", "0", "--format=", "/nowhere"}, "Unknown format :  (csv, jsonl or html)\n"},
               {{"-m", "0", "--fromat", "csv", "/nowhere"}, "Unknown option : --fromat\n"},
               {{"-m", "0", "/nowhere", "--format"}, "Repository doesn't exist : /nowhere\n"},
               {{"-m", "0", "-v", "--format"}, "Value missing for --format\n"}};
  for (const auto& c : cases) {
    const ProgramResult result = RunProgram(c.args);
    EXPECT_EQ(result.status, 1) << c.args[2];
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_NE((result.out + result.err).find("Usage:"), std::string::npos);
  }
}

// How an organisation with many collectors combines their reports: the CSV
// reports of two repositories, summed by SQLite over the fields, are the
// CSV report of both together.
TEST_F(ReportFormats, SqliteSumsTwoReportsIntoTheReportOfBoth) {
  if (ShellOutput("command -v sqlite3").empty())
    GTEST_SKIP() << "sqlite3 is not installed (scripts/deps.sh installs it)";
  TempFolder second;
  std::vector<RepositoryFile> more = {{.image = HostileImage(u"Sec,urity", k20180307 + 3600, 50)},
                                      {.image = HostileImage(u"Third", k20180307 + 2 * 86400, 20)}};
  more[1].folder = "Third";
  repwriter::WriteRepository(second.path() / "repo", more);
  // Both together, the second repository's files in folders of their own.
  more[0].folder = "Second";
  TempFolder both;
  repwriter::WriteRepository(both.path() / "repo", {files_[0], files_[1], more[0], more[1]});
  const std::string a = ReportFile({"-m", "11", "--format", "csv", Repository()}, "a.csv");
  const std::string b = ReportFile({"-m", "11", "--format", "csv", (second.path() / "repo").string()}, "b.csv");
  const std::string all = ReportFile({"-m", "11", "--format", "csv", (both.path() / "repo").string()}, "all.csv");
  const std::string sql =
      "CREATE TABLE part(day TEXT, computer TEXT, category TEXT, event_type INTEGER, count INTEGER);\n"
      "CREATE TABLE whole(day TEXT, computer TEXT, category TEXT, event_type INTEGER, count INTEGER);\n"
      ".import --csv --skip 1 " +
      a +
      " part\n"
      ".import --csv --skip 1 " +
      b +
      " part\n"
      ".import --csv --skip 1 " +
      all +
      " whole\n"
      "CREATE TABLE summed AS SELECT day, computer, category, event_type, SUM(count) AS count FROM part\n"
      "  GROUP BY day, computer, category, event_type;\n"
      "SELECT (SELECT COUNT(*) FROM summed), (SELECT COUNT(*) FROM whole),\n"
      "  (SELECT COUNT(*) FROM (SELECT * FROM summed EXCEPT SELECT * FROM whole)),\n"
      "  (SELECT COUNT(*) FROM (SELECT * FROM whole EXCEPT SELECT * FROM summed));\n";
  const std::string commands = folder_.AddFile("merge.sql", sql).string();
  const std::string answer = ShellOutput("sqlite3 -batch :memory: <" + ShellQuoted(commands) + " 2>&1");
  std::vector<repwriter::ExpectedEvent> every = Events();
  for (const RepositoryFile& file : more) {
    const auto events = repwriter::ListEvents(file.image);
    every.insert(every.end(), events.begin(), events.end());
  }
  const std::string count = std::to_string(ExpectedRows(11, every).size());
  EXPECT_EQ(answer, count + "|" + count + "|0|0\n");
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
