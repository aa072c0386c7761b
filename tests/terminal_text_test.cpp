// Repository text on a terminal: every control character a name may hold is
// shown as an escape, everything else is left as it is, and a stream that is
// no terminal gets the repository's bytes unchanged.
#include "platform/terminal_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "buffers/hex_dump.h"
#include "counters/count_table.h"
#include "counters/counter_classes.h"
#include "counters/group_report.h"
#include "platform/output.h"
#include "scan/progress.h"
#include "support/output_capture.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace tallymere {
namespace {

// Takes the streams for terminals (or not) while it lives.
class TerminalStreams {
 public:
  TerminalStreams(bool out, bool err) { SetTerminalOutputForTesting(out, err); }
  ~TerminalStreams() { SetTerminalOutputForTesting(false, false); }
  TerminalStreams(const TerminalStreams&) = delete;
  TerminalStreams& operator=(const TerminalStreams&) = delete;
};

// The escape a control character must show as, spelled out apart from the
// code under test.
std::string ExpectedEscape(unsigned value) {
  switch (value) {
    case 0x07: return "\\a";
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0B: return "\\v";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    case 0x1B: return "\\e";
    default: {
      char text[8];
      std::snprintf(text, sizeof text, "\\x%02X", value);
      return text;
    }
  }
}

std::vector<unsigned> ControlCharacters() {
  std::vector<unsigned> controls;
  for (unsigned c = 0; c < 0x20; ++c) controls.push_back(c);
  for (unsigned c = 0x7F; c <= 0x9F; ++c) controls.push_back(c);
  return controls;
}

TEST(Escaped, EveryC0DelAndC1ControlIsAnEscapeInPathsAndUtf16Names) {
  for (unsigned c : ControlCharacters()) {
    // In a path a C1 control is its two-byte UTF-8 form.
    const std::string utf8 =
        c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string{static_cast<char>(0xC2), static_cast<char>(c)};
    const std::string shown = std::string("a").append(ExpectedEscape(c)).append("b");
    EXPECT_EQ(Escaped(std::string("a").append(utf8).append("b")), shown) << c;
    const std::u16string utf16 = std::u16string(u"a").append(1, static_cast<char16_t>(c)).append(u"b");
    EXPECT_EQ(Escaped(utf16), shown) << c;
  }
  EXPECT_EQ(Escaped(std::string_view("x\0y", 3)), "x\\x00y");
  EXPECT_EQ(Escaped(u"Sec\x1b]2;pwned\x07-\x1b[2J-\r\n"), "Sec\\e]2;pwned\\a-\\e[2J-\\r\\n");
}

TEST(Escaped, BytesOfAPathThatAreNoValidUtf8AreEscapedEachAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\x80z", "a\\x80z"},                         // a lone continuation byte
      {"a\xC3", "a\\xC3"},                           // cut off at the end
      {"\xE2\x82z", "\\xE2\\x82z"},                  // cut off before a letter
      {"\xC0\xAF", "\\xC0\\xAF"},                    // an overlong '/'
      {"\xE0\x80\x80", "\\xE0\\x80\\x80"},           // an overlong NUL
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
      {"\xF5\xFE\xFF", "\\xF5\\xFE\\xFF"},           // never in UTF-8
      {"\x9B"
       "31m",
       "\\x9B31m"},  // an 8-bit CSI
      {"\xC2\x9B"
       "31m",
       "\\x9B31m"},  // CSI as a code point
  };
  for (const auto& [path, shown] : cases) EXPECT_EQ(Escaped(path), shown) << shown;
}

TEST(Escaped, PrintableTextIsLeftAsItIs) {
  std::string ascii;
  for (char c = 0x20; c < 0x7F; ++c) ascii.push_back(c);
  const std::string texts[] = {
      ascii,
      "C:\\repository\\Environment$\\Security\\a.rep",  // backslashes are not doubled
      "Srv-\xC3\xA9",                                   // U+00E9
      "\xC2\xA0",                                       // U+00A0, the first code point after C1
      "\xE6\x97\xA5\xE6\x9C\xAC",                       // CJK
      "\xF0\x9F\x98\x80",                               // U+1F600, four bytes
      "\xEF\xBF\xBD",                                   // U+FFFD
      "",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(Escaped(text), text);
    EXPECT_EQ(Escaped(ToUtf16(text)), text);
  }
  // Surrogate pairs are one code point; an unpaired surrogate becomes U+FFFD
  // as in any other UTF-16 text written.
  EXPECT_EQ(Escaped(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Escaped(std::u16string(1, char16_t{0xD800}) + u"x"), "\xEF\xBF\xBDx");
}

TEST(Escaped, EscapedTextHoldsNoControlAndEscapingItAgainChangesNothing) {
  std::string nasty = "\\a\x1b]2;t\x07\xC2\x85\xFF\r\n\t\x7F";
  for (unsigned c = 0; c < 0x100; ++c) nasty.push_back(static_cast<char>(c));
  const std::string once = Escaped(nasty);
  for (char c : once) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
  EXPECT_EQ(Escaped(once), once);
}

// Paths marked as the repository's and UTF-16 strings are escaped on a
// stream that is a terminal; the program's own text never is.
TEST(TerminalOutput, RepositoryTextIsEscapedOnlyOnAStreamThatIsATerminal) {
  const std::string path = "/r/a\x1b[2J\r\n.rep";
  const std::u16string name = u"WS\x1b]2;x\x07";
  for (bool out_terminal : {false, true}) {
    for (bool err_terminal : {false, true}) {
      const TerminalStreams streams(out_terminal, err_terminal);
      test::OutputCapture capture;
      Out() << "Can't open file " << RepositoryText(path) << "\n" << name << "\n";
      Err() << RepositoryText(path) << "\n";
      const std::string path_out = out_terminal ? "/r/a\\e[2J\\r\\n.rep" : path;
      const std::string name_out = out_terminal ? "WS\\e]2;x\\a" : ToUtf8(name);
      EXPECT_EQ(capture.out(), "Can't open file " + path_out + "\n" + name_out + "\n");
      EXPECT_EQ(capture.err(), (err_terminal ? "/r/a\\e[2J\\r\\n.rep" : path) + "\n");
      EXPECT_EQ(RepositoryUtf8ForOut(name), name_out);
    }
  }
}

// Notes are made on worker threads and written later: each stream's text
// is escaped as it is recorded, for the stream it will be written to.
TEST(TerminalOutput, NotesEscapeForTheStreamTheyWillBeWrittenTo) {
  const TerminalStreams streams(false, true);
  Notes notes;
  notes.out() << "UnderDataSource = " << std::u16string(u"Sys\rtem") << "\n";
  notes.err() << "Can't read file " << RepositoryText("/r/\x1b[2J.rep") << "\n";
  test::OutputCapture capture;
  notes.Write();
  EXPECT_EQ(capture.out(), "UnderDataSource = Sys\rtem\n");
  EXPECT_EQ(capture.err(), "Can't read file /r/\\e[2J.rep\n");
}

// The report makes each name's text once, escaped when standard output is a
// terminal; a redirected report holds the names' bytes.
TEST(TerminalOutput, ReportLinesShowNamesEscapedOnATerminalOnly) {
  const CounterFamily& family = kCounterFamilies[8];  // hour, computer, log, event ID
  const auto report = [&] {
    KeyPools pools;
    CountTable table(RestLayout(family.level_count, family.GroupLevel()));
    PartCountTable part(table.layout());
    bool moved = false;
    const uint32_t log = pools.logs.Intern(u"Sec\nurity");
    const uint32_t plain = pools.computers.Intern(u"DC01");
    const uint32_t odd = pools.computers.Intern(u"WS\x1b]2;PWNED\x07");
    const uint32_t id = pools.event_ids.Intern(4624);
    part.Add({1520431200, plain, log, id}, log, 2, moved);
    part.Add({1520431200, odd, log, id}, log, 3, moved);
    table.Absorb(HeldCounts(part));
    test::OutputCapture capture;
    EXPECT_EQ(GroupReport(family, pools, {&table}, 0).Write(), 5u);
    return capture.out();
  };
  EXPECT_EQ(report(),
            "2018-03-07 14:00,DC01,Sec\nurity,4624,2\n"
            "2018-03-07 14:00,WS\x1b]2;PWNED\x07,Sec\nurity,4624,3\n");
  const TerminalStreams streams(true, false);
  EXPECT_EQ(report(),
            "2018-03-07 14:00,DC01,Sec\\nurity,4624,2\n"
            "2018-03-07 14:00,WS\\e]2;PWNED\\a,Sec\\nurity,4624,3\n");
}

// The text column of a hex dump shows bytes as they are, but on a terminal
// only printable ASCII: a byte above it may spell a C1 control.
TEST(TerminalOutput, HexDumpTextColumnKeepsToPrintableAsciiOnATerminal) {
  const std::vector<uint8_t> bytes = {'A', 0x1B, 0x7F, 0x9B, 0xC2, 0x85, 'z'};
  const auto dump = [&](bool terminal) {
    const TerminalStreams streams(terminal, false);
    test::OutputCapture capture;
    HexDump(Out(), Bytes(bytes), bytes.size());
    return capture.out();
  };
  EXPECT_NE(dump(false).find("A.\x7F\x9B\xC2\x85z\n"), std::string::npos) << dump(false);
  EXPECT_NE(dump(true).find("A.....z\n"), std::string::npos) << dump(true);
}

TEST(ProgressLine, AFolderNameIsShownEscapedAndFittedAsEscaped) {
  Progress progress;
  progress.SetFolderOf("/srv/r/Environment$/Sec\x1b]2;pwned\x07-\x1b[2J-\r\n-log/a.rep");
  const std::string counts = "0 files, 0 events, 0 B read, 0 B unpacked, 0 B/s, 0:01";
  const std::string shown = "/srv/r/Environment$/Sec\\e]2;pwned\\a-\\e[2J-\\r\\n-log";
  EXPECT_EQ(progress.Line(std::chrono::milliseconds(1000), 200), counts + " | " + shown);
  // Fitted from the left by what the escapes take on the screen.
  const std::string fitted = progress.Line(std::chrono::milliseconds(1000), 100);
  EXPECT_EQ(fitted, counts + " | ..." + shown.substr(shown.size() - (99 - counts.size() - 6)));
}

#ifndef _WIN32

// An interrupt blanks the status line out as the last thing written, and
// the program still ends by the signal. (Each case runs in a child process.)
TEST(StatusLineDeathTest, SigintAndSigtermBlankTheLineAndEndTheProgramByTheSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int signal_number : {SIGINT, SIGTERM}) {
    EXPECT_EXIT(
        {
          ShowStatusLine("12 files \x1b[2J");
          std::raise(signal_number);
        },
        ::testing::KilledBySignal(signal_number), "^\r12 files \\\\e\\[2J\r {14}\r$")
        << signal_number;
  }
}

TEST(StatusLineDeathTest, ASignalTheProgramWasStartedToIgnoreStaysIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_IGN);
        ShowStatusLine("line");
        std::raise(SIGINT);
        ClearStatusLine();
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "^\rline\r    \r$");
}

#endif  // _WIN32

}  // namespace
}  // namespace tallymere
