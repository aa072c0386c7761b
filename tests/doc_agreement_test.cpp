// The README and the man page describe the program its usage text describes:
// the same options (and which of them take an argument), the same grouping
// modes with the same fields, the exit statuses the program ends with, and
// example command lines that run.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/output.h"
#include "support/program_runner.h"

namespace tallymere::test {
namespace {

namespace fs = std::filesystem;

fs::path SourceFile(const std::string& relative) {
  fs::path path = fs::path(TALLYMERE_SOURCE_DIR) / relative;
#if defined(_WIN32)
  // Under wine the Linux source tree is drive Z:.
  if (!fs::exists(path)) path = fs::path("Z:" TALLYMERE_SOURCE_DIR) / relative;
#endif
  return path;
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path.string();
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "Day, Computer,Log" and "day, computer, log, count" both give
// "day,computer,log": lower case, no spaces, without the final count.
std::string NormalFields(std::string text) {
  std::string result;
  for (char c : text) {
    if (c != ' ') result.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  const std::string count = ",count";
  if (result.size() >= count.size() && result.compare(result.size() - count.size(), count.size(), count) == 0) {
    result.resize(result.size() - count.size());
  }
  return result;
}

std::set<char> OptionLetters(const std::string& text) {
  std::set<char> letters;
  static const std::regex kOption(R"((?:^|[\s\[|])(?:\\)?-([a-z])\b)");
  for (std::sregex_iterator it(text.begin(), text.end(), kOption), end; it != end; ++it) {
    letters.insert((*it)[1].str()[0]);
  }
  return letters;
}

// What one text says about the command line.
struct Description {
  std::set<char> synopsis;           // letters in the synopsis
  std::map<char, bool> options;      // letter: takes an argument
  std::map<int, std::string> modes;  // mode: its fields (NormalFields)
  std::map<int, int> fast_modes;     // mode: its Fast mode
  std::set<int> exit_statuses;
};

Description FromUsage(const std::string& usage) {
  Description d;
  const size_t start = usage.find("Usage:");
  const size_t end = usage.find("<repository_path>");
  EXPECT_NE(start, std::string::npos);
  EXPECT_NE(end, std::string::npos);
  if (start != std::string::npos && end != std::string::npos) {
    d.synopsis = OptionLetters(usage.substr(start, end - start));
  }
  static const std::regex kOption(R"(^-([a-z])( <[^>]+>)? +- )");
  static const std::regex kMode(R"((\d+) - (.+?)(?= {2,}\d+ - |$))");
  for (const std::string& line : SplitLines(usage)) {
    std::smatch m;
    if (std::regex_search(line, m, kOption)) d.options[m[1].str()[0]] = m[2].matched;
    if (line.rfind("    ", 0) != 0) continue;
    for (std::sregex_iterator it(line.begin(), line.end(), kMode), e; it != e; ++it) {
      d.modes[std::stoi((*it)[1])] = NormalFields((*it)[2]);
    }
  }
  return d;
}

// The lines under a Markdown heading, up to the next heading of its level or
// above.
std::vector<std::string> MarkdownSection(const std::vector<std::string>& lines, const std::string& heading) {
  const size_t level = heading.find(' ');
  std::vector<std::string> section;
  bool inside = false;
  for (const std::string& line : lines) {
    if (inside && line.rfind("#", 0) == 0 && line.find(' ') <= level) break;
    if (inside) section.push_back(line);
    if (line == heading) inside = true;
  }
  EXPECT_TRUE(inside) << "README has no heading " << heading;
  return section;
}

Description FromReadme(const std::vector<std::string>& readme) {
  Description d;
  static const std::regex kOption(R"(^\| `-([a-z])( <[^>]+>)?` \|)");
  static const std::regex kMode(R"(^\| (-?\d+) \| *(\d*) *\| ([^|]*) \|)");
  static const std::regex kStatus(R"(^\| (\d+) \|)");
  std::string synopsis;
  for (const std::string& line : MarkdownSection(readme, "## Usage")) {
    std::smatch m;
    // The synopsis, and the lines that go on with it.
    if (line.rfind("tallymere [", 0) == 0 || (!synopsis.empty() && line.rfind("          [", 0) == 0)) {
      synopsis += line + "\n";
      d.synopsis = OptionLetters(synopsis);
    }
    if (std::regex_search(line, m, kOption)) d.options[m[1].str()[0]] = m[2].matched;
  }
  for (const std::string& line : MarkdownSection(readme, "## Modes and report format")) {
    std::smatch m;
    if (!std::regex_search(line, m, kMode)) continue;
    const int mode = std::stoi(m[1]);
    d.modes[mode] = NormalFields(m[3]);
    if (m[2].length() > 0) d.fast_modes[mode] = std::stoi(m[2]);
  }
  for (const std::string& line : MarkdownSection(readme, "### Exit status")) {
    std::smatch m;
    if (std::regex_search(line, m, kStatus)) d.exit_statuses.insert(std::stoi(m[1]));
  }
  return d;
}

// The lines of a man page section, from `.SH NAME` to the next `.SH`.
std::vector<std::string> ManSection(const std::vector<std::string>& lines, const std::string& name) {
  std::vector<std::string> section;
  bool inside = false;
  for (const std::string& line : lines) {
    if (line.rfind(".SH", 0) == 0) {
      if (inside) break;
      inside = line == ".SH " + name || line == ".SH \"" + name + "\"";
      continue;
    }
    if (inside) section.push_back(line);
  }
  EXPECT_TRUE(inside) << "the man page has no section " << name;
  return section;
}

// The tag line of each `.TP` item, with the line that follows it.
std::vector<std::pair<std::string, std::string>> TaggedItems(const std::vector<std::string>& section) {
  std::vector<std::pair<std::string, std::string>> items;
  for (size_t i = 0; i + 1 < section.size(); ++i) {
    if (section[i] == ".TP") items.emplace_back(section[i + 1], i + 2 < section.size() ? section[i + 2] : "");
  }
  return items;
}

Description FromManPage(const std::vector<std::string>& page) {
  Description d;
  std::string synopsis;
  for (const std::string& line : ManSection(page, "SYNOPSIS")) synopsis += line + "\n";
  d.synopsis = OptionLetters(synopsis);
  static const std::regex kOption(R"(^\.(BI?) \\-([a-z])(?: " [a-z_]+")?$)");
  static const std::regex kMode(R"(^\.BR? (\\-)?(\d+)(?: ", Fast mode " (\d+))?$)");
  static const std::regex kStatus(R"(^\.B (\d+)$)");
  for (const auto& [tag, next] : TaggedItems(ManSection(page, "OPTIONS"))) {
    std::smatch m;
    if (std::regex_match(tag, m, kOption)) d.options[m[2].str()[0]] = m[1] == "BI";
  }
  for (const auto& [tag, next] : TaggedItems(ManSection(page, "MODES"))) {
    std::smatch m;
    if (!std::regex_match(tag, m, kMode)) {
      ADD_FAILURE() << "unexpected item in the man page's MODES: " << tag;
      continue;
    }
    const int mode = (m[1].matched ? -1 : 1) * std::stoi(m[2]);
    d.modes[mode] = NormalFields(next);
    if (m[3].matched) d.fast_modes[mode] = std::stoi(m[3]);
  }
  for (const auto& [tag, next] : TaggedItems(ManSection(page, "EXIT STATUS"))) {
    std::smatch m;
    if (std::regex_match(tag, m, kStatus)) d.exit_statuses.insert(std::stoi(m[1]));
  }
  return d;
}

// A man page line as a reader sees it: the arguments of a font macro joined
// as roff joins them (.B and .I with spaces, .BR, .IR and the like without),
// hyphen escapes and font changes undone.
std::string ManText(const std::string& line) {
  static const std::regex kFontMacro(R"(^\.([BIR]{1,2}) (.*)$)");
  std::string text = line;
  std::smatch m;
  if (std::regex_match(line, m, kFontMacro)) {
    const bool alternating = m[1].length() == 2;
    const std::string arguments = m[2];
    text.clear();
    bool quoted = false;
    for (char c : arguments) {
      if (c == '"') quoted = !quoted;
      else if (c != ' ' || quoted || !alternating) text.push_back(c);
    }
  }
  text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
  return std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
}

class Documentation : public ::testing::Test {
 protected:
  void SetUp() override {
    const ProgramResult help = RunProgram({"-h"});
    ASSERT_EQ(help.status, 0);
    banner_ = help.err;
    usage_text_ = help.out;
    usage_ = FromUsage(help.out);
    readme_lines_ = ReadLines(SourceFile("README.md"));
    man_lines_ = ReadLines(SourceFile("doc/tallymere.1"));
    readme_ = FromReadme(readme_lines_);
    man_ = FromManPage(man_lines_);
  }

  std::string banner_, usage_text_;
  Description usage_, readme_, man_;
  std::vector<std::string> readme_lines_, man_lines_;
};

TEST_F(Documentation, OptionsAgreeWithTheUsage) {
  ASSERT_EQ(usage_.options.size(), 8u);  // -h -v -o -m -d -r -f -t
  EXPECT_EQ(readme_.options, usage_.options);
  EXPECT_EQ(man_.options, usage_.options);

  std::set<char> letters;
  for (const auto& [letter, argument] : usage_.options) letters.insert(letter);
  EXPECT_EQ(usage_.synopsis, letters);
  EXPECT_EQ(readme_.synopsis, letters);
  EXPECT_EQ(man_.synopsis, letters);
}

TEST_F(Documentation, ModesAgreeWithTheUsage) {
  ASSERT_EQ(usage_.modes.size(), 13u);  // 0 to 12
  for (const auto& [mode, fields] : usage_.modes) {
    EXPECT_EQ(readme_.modes[mode], fields) << "README, mode " << mode;
    EXPECT_EQ(man_.modes[mode], fields) << "man page, mode " << mode;
    EXPECT_EQ(readme_.fast_modes[mode], mode + 20) << "README, mode " << mode;
    EXPECT_EQ(man_.fast_modes[mode], mode + 20) << "man page, mode " << mode;
  }
  // Beyond the usage, both list the property total, and nothing else.
  std::set<int> readme_modes, man_modes;
  for (const auto& [mode, fields] : readme_.modes) readme_modes.insert(mode);
  for (const auto& [mode, fields] : man_.modes) man_modes.insert(mode);
  EXPECT_EQ(readme_modes.size(), 14u);
  EXPECT_TRUE(readme_modes.count(-1));
  EXPECT_EQ(man_modes, readme_modes);
  EXPECT_EQ(man_.fast_modes, readme_.fast_modes);
}

TEST_F(Documentation, ExitStatusesAreThoseOfTheProgram) {
  const std::set<int> statuses = {kExitOk, kExitRefused, kExitIncomplete, kExitFatal};
  EXPECT_EQ(kStatusFatal, kExitFatal);
  EXPECT_EQ(readme_.exit_statuses, statuses);
  EXPECT_EQ(man_.exit_statuses, statuses);

  // The three a run can be led to: help, a refusal, and a repository file
  // that does not parse.
  TempFolder folder;
  folder.AddFile("repo/Environment$/Application/Orv_0000000001_2018050100000020180530164800.rep",
                 std::string(512, 'x'));
  const std::string repo = (folder.path() / "repo").string();
  EXPECT_EQ(RunProgram({"-h"}).status, kExitOk);
  EXPECT_EQ(RunProgram({"-m", "13", repo}).status, kExitRefused);
  EXPECT_EQ(RunProgram({"-m", "0", repo}).status, kExitIncomplete);
}

// The long options and the formats are named alike in the usage, the
// README and the man page.
TEST_F(Documentation, LongOptionsAgreeWithTheUsage) {
  std::string readme, man;
  for (const std::string& line : MarkdownSection(readme_lines_, "## Usage")) readme += line + "\n";
  for (const std::string& line : ManSection(man_lines_, "OPTIONS")) man += ManText(line) + "\n";
  for (const std::string name : {"--format", "--output", "--help", "csv", "jsonl", "html"}) {
    EXPECT_NE(usage_text_.find(name), std::string::npos) << name;
    EXPECT_NE(readme.find(name), std::string::npos) << name;
    EXPECT_NE(man.find(name), std::string::npos) << name;
  }
}

// Beside the digit form, the usage, the README and the man page name the
// same ISO 8601 form of a time, and the message that refuses other texts.
TEST_F(Documentation, TimeFormsAgreeWithTheUsage) {
  const std::string iso = "YYYY-MM-DD[THH:MM[:SS][Z]]";
  ASSERT_NE(usage_text_.find(iso), std::string::npos) << usage_text_;
  std::string readme, man;
  for (const std::string& line : MarkdownSection(readme_lines_, "## Usage")) readme += line + "\n";
  for (const std::string& line : ManSection(man_lines_, "OPTIONS")) man += ManText(line) + "\n";
  EXPECT_NE(readme.find("`" + iso + "`"), std::string::npos);
  EXPECT_NE(man.find(iso), std::string::npos) << man;
  EXPECT_NE(readme.find("`Wrong time : <text>`"), std::string::npos);
  EXPECT_NE(man.find("Wrong time : text"), std::string::npos) << man;
}

// Every command line the man page's EXAMPLES and the README's shell
// examples show runs (over an empty repository here) rather than being
// refused.
TEST_F(Documentation, ExampleCommandLinesRun) {
  std::vector<std::string> examples;
  for (const std::string& line : ManSection(man_lines_, "EXAMPLES")) {
    std::string text = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    text = std::regex_replace(text, std::regex(R"(^[A-Z_]+=\S+ )"), "");  // an environment setting
    if (text.rfind("tallymere ", 0) == 0) examples.push_back(text);
  }
  for (const std::string& line : readme_lines_) {
    if (line.rfind("$ tallymere ", 0) == 0) examples.push_back(line.substr(2));
  }
  ASSERT_GE(examples.size(), 4u);

  TempFolder folder;
  folder.AddFolder("repo/Environment$");
  const std::string repo = (folder.path() / "repo").string();
  for (const std::string& example : examples) {
    std::vector<std::string> args;
    std::istringstream words(example);
    words.ignore(std::string("tallymere").size());
    for (std::string word; words >> word;) {
      if (word == ">") break;  // the redirection and its file
      args.push_back(word == "/srv/orvanta/repository" ? repo : word);
    }
    const ProgramResult result = RunProgram(args);
    EXPECT_EQ(result.status, kExitOk) << example << "\n" << result.err;
    EXPECT_EQ(result.out.find("Usage:"), std::string::npos) << example;
  }
}

TEST_F(Documentation, ManPageNamesTheProgramVersion) {
  // The banner says "1.1.0.01"; the page's header "tallymere 1.1.0.1".
  std::smatch banner;
  ASSERT_TRUE(std::regex_search(banner_, banner, std::regex(R"((\d+)\.(\d+)\.(\d+)\.(\d+))")));
  std::string version;
  for (int i = 1; i <= 4; ++i) {
    if (i > 1) version += '.';
    version += std::to_string(std::stoi(banner[i]));
  }
  std::string header;
  for (const std::string& line : man_lines_) {
    if (line.rfind(".TH ", 0) == 0) header = line;
  }
  EXPECT_NE(header.find("\"tallymere " + version + "\""), std::string::npos) << header;
}

}  // namespace
}  // namespace tallymere::test
