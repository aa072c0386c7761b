// The HTML page in a real browser (headless Chromium): its script runs to
// the end without an error (the page records any on its root element), the
// hostile names of a repository show as text and never as elements or code,
// and the screenshot shows the page with its charts drawn. Chromium takes a
// second or more to start, so each page is opened once or twice only.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "buffers/byte_reader.h"
#include "counters/html_page.h"
#include "platform/output.h"
#include "repwriter/repository.h"
#include "support/program_runner.h"
#include "support/sample_summaries.h"
#include "support/spawn.h"

namespace tallymere::test {
namespace {

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Text as the browser serialises a text node of the DOM.
std::string SerializedText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out.push_back(c);
  }
  return out;
}

// ---- Screenshots --------------------------------------------------------------

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint32_t> pixels;  // 0xRRGGBB
  std::string error;             // why it could not be decoded
};

uint32_t BigEndian32(ByteReader& reader) {
  const Bytes b = reader.Raw(4);
  return b.size() == 4 ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3] : 0;
}

uint8_t Paeth(int left, int up, int up_left) {
  const int p = left + up - up_left;
  const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - up_left);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? left : pb <= pc ? up : up_left);
}

// Undoes the filter of each scan line in place (PNG's five filter types).
bool Unfilter(std::vector<uint8_t>& data, uint32_t width, uint32_t height, uint32_t channels) {
  const size_t stride = size_t{width} * channels;
  for (size_t y = 0; y < height; ++y) {
    uint8_t* line = data.data() + y * (stride + 1);
    const uint8_t* above = y > 0 ? line - (stride + 1) : nullptr;
    const uint8_t filter = line[0];
    if (filter > 4) return false;
    for (size_t x = 1; x <= stride; ++x) {
      const int left = x > channels ? line[x - channels] : 0;
      const int up = above != nullptr ? above[x] : 0;
      const int up_left = above != nullptr && x > channels ? above[x - channels] : 0;
      const int predicted = filter == 0   ? 0
                            : filter == 1 ? left
                            : filter == 2 ? up
                            : filter == 3 ? (left + up) / 2
                                          : Paeth(left, up, up_left);
      line[x] = static_cast<uint8_t>(line[x] + predicted);
    }
  }
  return true;
}

Image Failed(const char* why) {
  Image image;
  image.error = why;
  return image;
}

// Decodes the 8-bit RGB or RGBA PNG that Chromium writes.
Image DecodePng(const std::string& file) {
  Image image;
  const Bytes bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  ByteReader reader(bytes);
  if (file.compare(0, 8, "\x89PNG\r\n\x1A\n") != 0) return Failed("no PNG signature");
  reader.Skip(8);
  uint32_t channels = 0;
  std::vector<uint8_t> packed;
  while (reader.ok()) {
    const uint32_t length = BigEndian32(reader);
    const Bytes type = reader.Raw(4);
    const Bytes data = reader.Raw(length);
    reader.Skip(4);  // CRC
    if (!reader.ok()) break;
    const std::string kind(type.begin(), type.end());
    if (kind == "IHDR") {
      ByteReader header(data);
      image.width = BigEndian32(header);
      image.height = BigEndian32(header);
      const uint8_t depth = header.U8(), colour = header.U8();
      header.Skip(2);
      const uint8_t interlace = header.U8();
      if (!header.ok() || depth != 8 || (colour != 2 && colour != 6) || interlace != 0) {
        return Failed("not an 8-bit RGB or RGBA PNG without interlacing");
      }
      channels = colour == 2 ? 3 : 4;
    } else if (kind == "IDAT") {
      packed.insert(packed.end(), data.begin(), data.end());
    } else if (kind == "IEND") {
      break;
    }
  }
  if (channels == 0 || image.width == 0 || image.height == 0 || image.width > 10000 || image.height > 10000) {
    return Failed("no usable IHDR chunk");
  }
  std::vector<uint8_t> lines(size_t{image.height} * (size_t{image.width} * channels + 1));
  uLongf size = static_cast<uLongf>(lines.size());
  if (uncompress(lines.data(), &size, packed.data(), static_cast<uLong>(packed.size())) != Z_OK ||
      size != lines.size() || !Unfilter(lines, image.width, image.height, channels)) {
    return Failed("the image data does not unpack");
  }
  for (size_t y = 0; y < image.height; ++y) {
    const uint8_t* p = lines.data() + y * (size_t{image.width} * channels + 1) + 1;
    for (size_t x = 0; x < image.width; ++x, p += channels) image.pixels.push_back((p[0] << 16) | (p[1] << 8) | p[2]);
  }
  return image;
}

// ---- The browser ---------------------------------------------------------------

class HtmlPageInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ShellOutput("command -v chromium").empty())
      GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
  }

  std::string WritePage(const std::string& name, const ReportSummary& summary) {
    std::string page;
    WriteHtmlPage(summary, page);
    return folder_.AddFile(name, page).string();
  }

  // Runs Chromium on the page with the given action, in a profile of its
  // own, with everything that would call out to the network turned off (as
  // root its sandbox cannot run). Returns standard output.
  std::string Chromium(const std::string& page, const std::string& action) {
    const std::string profile = folder_.AddFolder("profile-" + std::to_string(++runs_)).string();
    const std::string log = (folder_.path() / ("chromium-" + std::to_string(runs_) + ".log")).string();
    const std::string output = ShellOutput(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
        ShellQuoted(profile) + " " + action + " " + ShellQuoted("file://" + page) + " 2>" + ShellQuoted(log));
    last_log_ = ReadText(log);
    return output;
  }
  std::string Dom(const std::string& page) { return Chromium(page, "--dump-dom"); }

  // The root element's start tag, where the page's script leaves its marks.
  static std::string RootTag(const std::string& dom) {
    const size_t start = dom.find("<html");
    return start == std::string::npos ? std::string() : dom.substr(start, dom.find('>', start) + 1 - start);
  }

  // The page's script ran to its end, no script failed and no policy blocked
  // anything.
  void ExpectDrawnWithoutErrors(const std::string& dom) {
    const std::string root = RootTag(dom);
    EXPECT_TRUE(Holds(root, "data-page=\"drawn\"")) << root << "\n" << last_log_;
    EXPECT_FALSE(Holds(root, "data-script-errors")) << root;
  }

  TempFolder folder_;
  int runs_ = 0;
  std::string last_log_;
};

TEST_F(HtmlPageInBrowser, HostileNamesStayTextAndThePageIsDrawn) {
  const std::string page = WritePage("hostile.html", HostileSummary());
  const std::string dom = Dom(page);
  ASSERT_FALSE(dom.empty()) << last_log_;
  ExpectDrawnWithoutErrors(dom);
  // No name became an element or ran: the page's three scripts alone, no
  // image, and no mark from the names' code on the root element.
  EXPECT_FALSE(Holds(RootTag(dom), "data-pwned")) << RootTag(dom);
  EXPECT_EQ(Occurrences(dom, "<script"), HtmlPageHasCharts() ? 3u : 2u);
  EXPECT_EQ(Occurrences(dom, "<img"), 0u);
  // Every name shows whole as the text of a table cell; the path and the
  // window as the text of the facts.
  for (const std::string& name : HostileNames()) {
    EXPECT_TRUE(Holds(dom, "<td>" + SerializedText(name) + "</td>")) << name;
  }
  EXPECT_TRUE(Holds(dom, "<td class=\"name\">" + SerializedText(HostileSummary().repository) + "</td>"));
  EXPECT_TRUE(Holds(dom, "<td>" + SerializedText(HostileSummary().window) + "</td>"));
  EXPECT_TRUE(Holds(dom, "<td>other (1 value)</td>"));
  if (HtmlPageHasCharts()) {
    // Chart.js sized every canvas it drew on.
    EXPECT_EQ(Occurrences(dom, "<canvas"), 3u);
    EXPECT_EQ(Occurrences(dom, "box-sizing: border-box"), 3u) << dom.substr(0, 4000);
  }
}

TEST_F(HtmlPageInBrowser, TheScreenshotShowsThePageAndItsCharts) {
  const std::string page = WritePage("hostile.html", HostileSummary());
  const std::string png = (folder_.path() / "page.png").string();
  Chromium(page, "--window-size=1200,1600 --screenshot=" + ShellQuoted(png));
  const Image image = DecodePng(ReadText(png));
  ASSERT_TRUE(image.error.empty()) << image.error << "\n" << last_log_;
  EXPECT_EQ(image.width, 1200u);
  EXPECT_EQ(image.height, 1600u);
  // Text, rules and bars in many shades, not one colour.
  const std::set<uint32_t> colours(image.pixels.begin(), image.pixels.end());
  EXPECT_GT(colours.size(), 20u);
  if (HtmlPageHasCharts()) {
    // The bars of the largest value and of "other" in their colours.
    const auto pixels_of = [&](uint32_t colour) {
      return std::count(image.pixels.begin(), image.pixels.end(), colour);
    };
    EXPECT_GT(pixels_of(0x4E79A7), 5000);
    EXPECT_GT(pixels_of(0xBAB0AC), 5000);
  }
}

TEST_F(HtmlPageInBrowser, PagesWithoutPeriodsOrRowsAreDrawnToo) {
  const std::string small = Dom(WritePage("small.html", SmallSummary()));
  ExpectDrawnWithoutErrors(small);
  EXPECT_FALSE(Holds(small, "id=\"time-chart\""));
  EXPECT_TRUE(Holds(small, "<td>Security</td><td class=\"num\">4</td><td class=\"num\">57.1%</td>"));
  const std::string empty = Dom(WritePage("empty.html", EmptySummary(-1)));
  ExpectDrawnWithoutErrors(empty);
  EXPECT_TRUE(Holds(empty, "This mode prints no rows"));
}

// The page of a real run, through the program: a repository whose
// computer, category and log names are the hostile ones, in mode 9 (day,
// computer, category), gives a page that is drawn without error, every name
// a table cell's text.
TEST_F(HtmlPageInBrowser, AProgramsPageOfAHostileRepositoryIsDrawnWithTheNamesAsText) {
  const std::vector<std::string> names = HostileNames();
  repwriter::FooterDescription footer;
  footer.log = ToUtf16(names[0]);
  repwriter::PartDescription part{.index = 1};
  for (uint32_t i = 0; i < 40; ++i) {
    part.events.push_back({.computer = ToUtf16(names[i % names.size()]),
                           .category = ToUtf16(names[(i + 1) % names.size()]),
                           .event_type = 4,
                           .event_id = 4624,
                           .time = 1520380800 + i * 20000});
  }
  footer.parts.push_back(std::move(part));
  const std::filesystem::path repository = folder_.path() / "repo";
  repwriter::WriteRepository(repository, {{.image = {.footers = {std::move(footer)}}}});
  const ProgramResult result = RunProgramRaw({"-m", "9", "--format", "html", repository.string()});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string page = folder_.AddFile("run.html", result.out).string();
  const std::string dom = Dom(page);
  ASSERT_FALSE(dom.empty()) << last_log_;
  ExpectDrawnWithoutErrors(dom);
  EXPECT_FALSE(Holds(RootTag(dom), "data-pwned")) << RootTag(dom);
  EXPECT_EQ(Occurrences(dom, "<img"), 0u);
  // Computer names are upper-cased by the report (a-z only); categories are
  // as written.
  for (const std::string& name : names) {
    std::string upper = name;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    EXPECT_TRUE(Holds(dom, "<td>" + SerializedText(name) + "</td>")) << name;
    EXPECT_TRUE(Holds(dom, "<td>" + SerializedText(upper) + "</td>")) << upper;
  }
}

}  // namespace
}  // namespace tallymere::test

#endif  // _WIN32
