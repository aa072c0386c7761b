// The HTML page of a run: names escaped for HTML text and for the page's
// JSON data block, the page valid UTF-8 whatever the names hold, and the
// facts, caps and sections the page must say.
#include "counters/html_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "support/sample_summaries.h"

namespace tallymere {
namespace {

std::string Html(std::string_view text) {
  std::string out;
  AppendHtmlText(out, text);
  return out;
}

std::string Json(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

std::string Page(const ReportSummary& summary) {
  std::string page;
  WriteHtmlPage(summary, page);
  return page;
}

bool Holds(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

size_t Occurrences(std::string_view text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Whether the text is valid UTF-8, checked apart from the code under test:
// well-formed sequences of the shortest form, no surrogates, at most U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto b = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = b(i);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return false;
    }
    if (length == 3 && ((lead == 0xE0 && b(i + 1) < 0xA0) || (lead == 0xED && b(i + 1) >= 0xA0))) return false;
    if (length == 4 && ((lead == 0xF0 && b(i + 1) < 0x90) || (lead == 0xF4 && b(i + 1) >= 0x90))) return false;
    i += length;
  }
  return true;
}

// The text between the data block's tags.
std::string_view DataBlock(std::string_view page) {
  constexpr std::string_view kOpen = "<script type=\"application/json\" id=\"page-data\">";
  const size_t start = page.find(kOpen);
  if (start == std::string_view::npos) return {};
  const size_t end = page.find("</script>", start);
  return page.substr(start + kOpen.size(), end - start - kOpen.size());
}

// The page up to its data block: what the C++ side wrote (the scripts after
// it hold the names of what they fill).
std::string_view Markup(std::string_view page) {
  return page.substr(0, page.find("<script type=\"application/json\""));
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

TEST(HtmlText, MarkupQuotesAndAmpersandsAreCharacterReferences) {
  EXPECT_EQ(Html("<img src=x onerror=alert(1)>"), "&lt;img src=x onerror=alert(1)&gt;");
  EXPECT_EQ(Html("</script><script>alert(2)</script>"), "&lt;/script&gt;&lt;script&gt;alert(2)&lt;/script&gt;");
  EXPECT_EQ(Html("\"quotes\" & 'apostrophes'"), "&quot;quotes&quot; &amp; &#39;apostrophes&#39;");
  EXPECT_EQ(Html("&amp;"), "&amp;amp;");  // escaped again, not taken for a reference
  EXPECT_EQ(Html("plain DC01 Z\xC3\xBCrich \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\x8A"),
            "plain DC01 Z\xC3\xBCrich \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\x8A");
  EXPECT_EQ(Html(""), "");
}

TEST(HtmlText, ControlCharactersShowAsTheirPictures) {
  EXPECT_EQ(Html(std::string_view("a\0b", 3)),
            "a\xE2\x90\x80"
            "b");  // U+2400
  EXPECT_EQ(Html("\t\n\r\x1B"), "\xE2\x90\x89\xE2\x90\x8A\xE2\x90\x8D\xE2\x90\x9B");
  EXPECT_EQ(Html("\x7F"), "\xE2\x90\xA1");  // U+2421
  // U+2028 and C1 controls are text in HTML, and stay as they are.
  EXPECT_EQ(Html("a\xE2\x80\xA8"
                 "b\xC2\x85"),
            "a\xE2\x80\xA8"
            "b\xC2\x85");
}

TEST(HtmlText, EachByteOfInvalidUtf8BecomesAReplacementCharacter) {
  const std::string one(kReplacement);
  EXPECT_EQ(Html("a\xFF"
                 "b"),
            "a" + one + "b");
  EXPECT_EQ(Html("\xC0\x80"), one + one);                      // overlong NUL
  EXPECT_EQ(Html("\xE2\x82"), one + one);                      // cut short at the end
  EXPECT_EQ(Html("\xE2\x82<"), one + one + "&lt;");            // cut short before markup
  EXPECT_EQ(Html("\xED\xA0\x80"), one + one + one);            // a surrogate
  EXPECT_EQ(Html("\xF4\x90\x80\x80"), one + one + one + one);  // past U+10FFFF
  EXPECT_EQ(Html("\x80\xBF"), one + one);                      // stray continuations
  EXPECT_TRUE(IsValidUtf8(Html("\xF0\x9F\x93")));
}

TEST(JsonString, NothingCanEndOrReopenTheScriptBlock) {
  EXPECT_EQ(Json("</script><script>alert(2)</script>"),
            R"("\u003c/script\u003e\u003cscript\u003ealert(2)\u003c/script\u003e")");
  EXPECT_EQ(Json("<!--"), R"("\u003c!--")");
  EXPECT_EQ(Json("a & b"), R"("a \u0026 b")");
  EXPECT_EQ(Json("<img src=x onerror=alert(1)>"), R"("\u003cimg src=x onerror=alert(1)\u003e")");
}

TEST(JsonString, QuotesBackslashesAndLineBreaksAreEscaped) {
  EXPECT_EQ(Json("\"quotes\" 'apostrophes' C:\\logs\\"), R"("\"quotes\" 'apostrophes' C:\\logs\\")");
  // Line and paragraph separators end a line in older script engines.
  EXPECT_EQ(Json("line\xE2\x80\xA8next\xE2\x80\xA9"), R"("line\u2028next\u2029")");
  EXPECT_EQ(Json(std::string_view("\0\x01\t\n\r\x1B\x1F\x7F", 8)),
            R"("\u0000\u0001\u0009\u000a\u000d\u001b\u001f\u007f")");
  EXPECT_EQ(Json("\xC2\x80\xC2\x9F\xC2\xA0"), "\"\\u0080\\u009f\xC2\xA0\"");  // C1 controls, then a no-break space
  EXPECT_EQ(Json("Z\xC3\xBCrich \xF0\x9F\x93\x8A"), "\"Z\xC3\xBCrich \xF0\x9F\x93\x8A\"");
  EXPECT_EQ(Json(""), "\"\"");
}

TEST(JsonString, InvalidUtf8BecomesEscapedReplacementCharacters) {
  EXPECT_EQ(Json("a\xFF\xC0\x80"), R"("a\ufffd\ufffd\ufffd")");
  EXPECT_EQ(Json("\xE2\x82\""), R"("\ufffd\ufffd\"")");
  EXPECT_EQ(Json("\xED\xBF\xBF"), R"("\ufffd\ufffd\ufffd")");
}

TEST(HtmlPage, SaysWhatWasRead) {
  ReportSummary summary = test::SmallSummary();
  summary.files = 1234567;
  summary.events = 7;
  summary.window = "from 2018-03-07 00:00:00 UTC";
  summary.diagnostics = 3;
  const std::string page = Page(summary);
  EXPECT_TRUE(Holds(page, "<title>tallymere report: /srv/orvanta/repository</title>"));
  EXPECT_TRUE(Holds(page, "<td>0: Log, Event ID</td>"));
  EXPECT_TRUE(Holds(page, "<td>log, event_id</td>"));
  EXPECT_TRUE(Holds(page, "<td>from 2018-03-07 00:00:00 UTC</td>"));
  EXPECT_TRUE(Holds(page, "<th scope=\"row\">Files read</th><td>1,234,567</td>"));
  EXPECT_TRUE(Holds(page, "<th scope=\"row\">Events counted</th><td>7</td>"));
  EXPECT_TRUE(Holds(page, "<th scope=\"row\">Elapsed time</th><td>0.13 s</td>"));
  EXPECT_TRUE(Holds(page, "<td class=\"warn\">3 (printed by the run; the counts may be incomplete)</td>"));
  EXPECT_TRUE(Holds(page, "All 3 rows of the report, largest first."));
  // A level's values with their share of its events, in the data block.
  EXPECT_TRUE(Holds(DataBlock(page), R"(["Security","4","57.1%"],["System","3","42.9%"])")) << DataBlock(page);
  EXPECT_TRUE(Holds(page, "with their share of the 7 events counted."));
  summary.window.clear();
  summary.diagnostics = 0;
  const std::string plain = Page(summary);
  EXPECT_TRUE(Holds(plain, "<td>none: every event</td>"));
  EXPECT_TRUE(Holds(plain, "<th scope=\"row\">Diagnostics about damaged files</th><td>none</td>"));
}

TEST(HtmlPage, NoTimeChartWithoutPeriods) {
  const std::string page = Page(test::SmallSummary());
  EXPECT_FALSE(Holds(Markup(page), "id=\"time\""));
  EXPECT_FALSE(Holds(Markup(page), "time-chart"));
  EXPECT_TRUE(Holds(DataBlock(page), "{\"time\":null,"));
  EXPECT_EQ(Occurrences(page, "<section class=\"level\">"), 2u);
}

TEST(HtmlPage, SaysTheRowCapTheRowCountAndOther) {
  const ReportSummary summary = test::HostileSummary();
  const std::string page = Page(summary);
  EXPECT_TRUE(Holds(page,
                    "The 50 largest of the report&#39;s 616 rows by events, largest first (the page lists "
                    "at most 1,000; the report itself has them all)."));
  // 11 computers: the 10 largest and the 11th as "other", with its share.
  EXPECT_TRUE(Holds(page,
                    "11 values; the 10 largest by events, with their share of the 92,400 events counted, "
                    "and the other 1 together as &quot;other&quot;."));
  EXPECT_TRUE(Holds(DataBlock(page), R"j(["other (1 value)","1,400","1.5%"]])j")) << DataBlock(page);
  // The time chart splits by the 8 largest computers, the rest as "other".
  EXPECT_TRUE(Holds(page, "<h2>Events by day</h2>"));
  EXPECT_TRUE(Holds(page,
                    "split by computer: its 8 largest values over the whole report, the rest together as "
                    "&quot;other&quot;."));
  EXPECT_TRUE(Holds(DataBlock(page), R"({"label":"other","rest":true,"counts":[600,)"));
  EXPECT_TRUE(Holds(DataBlock(page), R"({"label":"\"quotes\" \u0026 'apostrophes'","rest":false,"counts":[600,)"));
}

TEST(HtmlPage, HostileNamesCannotAddMarkupOrScripts) {
  const ReportSummary summary = test::HostileSummary();
  const std::string page = Page(summary);
  EXPECT_TRUE(IsValidUtf8(page));
  // The page's own three scripts (data, page, Chart.js) and nothing else.
  const size_t scripts = HtmlPageHasCharts() ? 3 : 2;
  EXPECT_EQ(Occurrences(page, "<script"), scripts);
  EXPECT_EQ(Occurrences(page, "</script"), scripts);
  EXPECT_EQ(Occurrences(page, "<img"), 0u);
  EXPECT_EQ(Occurrences(page, "<!--"), 0u);
  // The repository path in the title, the heading and the facts, escaped.
  EXPECT_TRUE(Holds(page,
                    "<title>tallymere report: /srv/&lt;img src=x onerror=alert(1)&gt;/"
                    "&lt;/script&gt;&lt;script&gt;alert(2)&lt;/script&gt;</title>"));
  EXPECT_EQ(Occurrences(page, "&lt;img src=x onerror=alert(1)&gt;"), 3u);
  EXPECT_TRUE(Holds(page, "UTC &quot;quotes&quot; &amp; &#39;apostrophes&#39;</td>"));
  // In the data block, every hostile name as its JSON string.
  const std::string_view data = DataBlock(page);
  for (const std::string& name : test::HostileNames()) EXPECT_TRUE(Holds(data, Json(name))) << name;
  EXPECT_FALSE(Holds(data, "<"));
  EXPECT_FALSE(Holds(data, "\xE2\x80\xA8"));
}

TEST(HtmlPage, InvalidUtf8InAnyNameGivesAValidPage) {
  ReportSummary summary = test::HostileSummary();
  summary.repository += "/\xFF\xFE";
  summary.window += "\xC0";
  summary.levels[0].top[0].text = "\xED\xA0\x80";
  summary.time->series[0] = "\xE2\x82";
  summary.time->periods[0] = "\x80";
  summary.top_rows[0].fields[1] = "bad\xF5";
  const std::string page = Page(summary);
  EXPECT_TRUE(IsValidUtf8(page));
  EXPECT_TRUE(Holds(DataBlock(page), R"({"label":"\ufffd\ufffd","rest":false)"));
}

TEST(HtmlPage, ARunWithNoRowsSaysSo) {
  for (const int mode : {-1, 1}) {
    SCOPED_TRACE(mode);
    const std::string page = Page(test::EmptySummary(mode));
    EXPECT_TRUE(Holds(page, mode < 0 ? "This mode prints no rows" : "The report has no rows: no event was counted"));
    EXPECT_FALSE(Holds(Markup(page), "<section class=\"level\">"));
    EXPECT_FALSE(Holds(Markup(page), "id=\"time\""));
    EXPECT_FALSE(Holds(Markup(page), "<canvas"));
    EXPECT_EQ(DataBlock(page), R"({"time":null,
"levels":[],
"rows":[]})");
    EXPECT_TRUE(Holds(page, "</body>\n</html>\n"));
  }
  EXPECT_TRUE(Holds(Page(test::EmptySummary(-1)), "<td>-1: Total of the files&#39; event counts</td>"));
}

TEST(HtmlPage, OnlyItsOwnScriptsMayRunAndNothingIsFetched) {
  const std::string page = Page(test::SmallSummary());
  const size_t policy = page.find(
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "script-src 'sha256-");
  ASSERT_NE(policy, std::string::npos);
  const std::string_view content = std::string_view(page).substr(policy, page.find('>', policy) - policy);
  EXPECT_EQ(Occurrences(content, "'sha256-"), HtmlPageHasCharts() ? 2u : 1u) << content;
  EXPECT_FALSE(Holds(page, "http://"));
  EXPECT_FALSE(Holds(page, "https://") && !HtmlPageHasCharts());  // Chart.js's notice names its home page
  EXPECT_FALSE(Holds(page, " src="));
  EXPECT_EQ(Holds(Markup(page), "<canvas"), HtmlPageHasCharts());
  EXPECT_EQ(Holds(page, "Charts are not available in this build"), !HtmlPageHasCharts());
}

}  // namespace
}  // namespace tallymere
