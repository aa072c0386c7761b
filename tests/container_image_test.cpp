// Repository images: header, footer chain, buffer tables and properties, the
// image kinds and the parts built from them.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "container/rep_file_buffer.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_name_tables.h"
#include "repwriter/description.h"
#include "repwriter/image.h"
#include "support/output_capture.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;
using repwriter::Damage;
using repwriter::FooterDescription;
using repwriter::FooterRole;
using repwriter::ImageDescription;
using repwriter::Property;

repwriter::Event At(uint32_t time, std::u16string computer = u"dc01") {
  return {.computer = std::move(computer), .category = u"Logon", .event_type = 8, .event_id = 4624, .time = time};
}

FooterDescription DataFooter(uint32_t part_index, size_t events, std::u16string log = u"Application") {
  FooterDescription footer;
  footer.log = std::move(log);
  repwriter::PartDescription part{.index = part_index};
  for (size_t i = 0; i < events; ++i) part.events.push_back(At(1000 + static_cast<uint32_t>(i)));
  footer.parts.push_back(std::move(part));
  return footer;
}

struct Parsed {
  std::unique_ptr<RepFileBuffer> file = std::make_unique<RepFileBuffer>();
  int status = 0;
};

// Opens and parses as the pipeline does, selecting categories, computers and
// events.
Parsed OpenAndParse(const Buffer& image) {
  Parsed result;
  if (result.file->Open(Bytes(image))) {
    result.file->part_flags = {1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  }
  result.status = result.file->Parse();
  return result;
}

Buffer Write(ImageDescription description) { return repwriter::WriteImage(description); }

Buffer WithDamage(ImageDescription description, Damage what, size_t footer = 0, uint64_t length = 0) {
  description.damage.push_back({.what = what, .footer = footer, .length = length});
  return Write(std::move(description));
}

uint64_t U64At(const Buffer& b, uint64_t at) { return ByteView(Bytes(b)).U64At(at); }
void PutU64(Buffer& b, uint64_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

class ImageTest : public ::testing::Test {
 protected:
  OutputCapture capture_;
};

TEST_F(ImageTest, HeaderMustEndTheImageWithTheLastFooter) {
  Parsed tiny = OpenAndParse(Buffer(20, 0));
  EXPECT_EQ(tiny.status, -1);
  EXPECT_FALSE(tiny.file->scanned);
  EXPECT_EQ(capture_.out(), "last_footer_offset + last_footer_len != buffer_len :0 != 20\n");
  capture_.Clear();

  const Buffer good = Write({.footers = {DataFooter(1, 2)}});
  Buffer short_image = WithDamage({.footers = {DataFooter(1, 2)}}, Damage::ShorterThanHeader);
  ASSERT_EQ(short_image.size(), 43u);
  EXPECT_EQ(OpenAndParse(short_image).status, -1);
  // The length field at 40 is incomplete and reads as 0.
  EXPECT_EQ(capture_.out(),
            "last_footer_offset + last_footer_len != buffer_len :" + std::to_string(U64At(good, 32)) + " != 43\n");
  capture_.Clear();

  const Buffer off = WithDamage({.footers = {DataFooter(1, 2)}}, Damage::HeaderSumOff);
  EXPECT_EQ(OpenAndParse(off).status, -1);
  EXPECT_EQ(capture_.out(), "last_footer_offset + last_footer_len != buffer_len :" + std::to_string(off.size() + 1) +
                                " != " + std::to_string(off.size()) + "\n");
}

TEST_F(ImageTest, FooterChainMustMoveBackwardsInsideTheImage) {
  const ImageDescription two = {.footers = {DataFooter(1, 1), DataFooter(2, 1)}};
  const std::string size = std::to_string(Write(two).size());
  for (Damage damage : {Damage::ChainOutOfRange, Damage::ChainLoopsToSelf, Damage::ChainPointsForward}) {
    // A link to the image end is reported as the reads there would fail.
    const std::string lines = damage != Damage::ChainOutOfRange
                                  ? ""
                                  : "Current buffer offset " + std::to_string(std::stoull(size) + 8) +
                                        " is out of range " + size + "\nCurrent buffer offset " +
                                        std::to_string(std::stoull(size) + 12) + " is out of range " + size + "\n";
    for (size_t footer : {0u, 1u}) {
      capture_.Clear();
      const Parsed parsed = OpenAndParse(WithDamage(two, damage, footer));
      EXPECT_EQ(parsed.status, -1);
      EXPECT_EQ(capture_.out(), lines + "ScanFooters() error\n") << static_cast<int>(damage) << " " << footer;
    }
  }
  // A last footer too close to the end for its chain fields.
  capture_.Clear();
  Buffer image(60, 0);
  PutU64(image, 32, 56);
  image[40] = 4;
  EXPECT_EQ(OpenAndParse(image).status, -1);
  EXPECT_EQ(capture_.out(),
            "Current buffer offset 64 is out of range 60\nCurrent buffer offset 68 is out of range 60\n"
            "ScanFooters() error\n");
}

// The last footer's link to the previous one, set to `link`; returns what
// Open printed.
std::string OpenWithLink(OutputCapture& capture, uint64_t link) {
  Buffer image = Write({.footers = {DataFooter(1, 1)}});
  PutU64(image, U64At(image, 32), link);
  capture.Clear();
  EXPECT_EQ(OpenAndParse(image).status, -1) << link;
  return capture.out();
}

std::string OutOfRange(const std::string& position, uint64_t size) {
  return "Current buffer offset " + position + " is out of range " + std::to_string(size) + "\n";
}

TEST_F(ImageTest, ChainLinksPastTheEndReportEachFieldThatDoesNotFit) {
  const uint64_t size = Write({.footers = {DataFooter(1, 1)}}).size();
  const std::string error = "ScanFooters() error\n";
  EXPECT_EQ(OpenWithLink(capture_, size + 1000),
            OutOfRange(std::to_string(size + 1008), size) + OutOfRange(std::to_string(size + 1012), size) + error);
  // The offset field fits, the length field after it does not.
  EXPECT_EQ(OpenWithLink(capture_, size - 10), OutOfRange(std::to_string(size + 2), size) + error);
  // Positions near the top of the range are shown exactly, without wrapping
  // to small offsets that would seem to fit.
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(OpenWithLink(capture_, top - 7),
            OutOfRange("18446744073709551616", size) + OutOfRange("18446744073709551620", size) + error);
  EXPECT_EQ(OpenWithLink(capture_, top),
            OutOfRange("18446744073709551623", size) + OutOfRange("18446744073709551627", size) + error);
  // A link forward whose fields lie inside the image is refused silently.
  EXPECT_EQ(OpenWithLink(capture_, size - 12), error);
}

// The earlier footer must end before the later one begins and hold at least
// its links and both section lengths, so a chain never holds more footers
// than the image has room for.
TEST_F(ImageTest, AnEarlierFooterThatOverlapsTheNextOrIsTooShortIsRefused) {
  const Buffer sound = Write({.footers = {DataFooter(1, 1), DataFooter(2, 1)}});
  const uint64_t last = U64At(sound, 32);
  const uint64_t first = U64At(sound, last);
  ASSERT_GT(first, 0u);
  const uint64_t room = last - first;
  const uint64_t stored = U64At(sound, last + 8) & 0xFFFFFFFF;
  ASSERT_LE(stored, room);
  for (const auto& [length, status] : std::vector<std::pair<uint64_t, int>>{{stored, 0}, {room + 1, -1}, {27, -1}}) {
    Buffer image = sound;
    PutU64(image, last + 8, (U64At(image, last + 8) & ~uint64_t{0xFFFFFFFF}) | length);
    capture_.Clear();
    EXPECT_EQ(OpenAndParse(image).status, status) << length;
    EXPECT_EQ(capture_.out(), status == 0 ? "" : "ScanFooters() error\n") << length;
  }
}

TEST_F(ImageTest, TwoFootersAreReadFirstFooterFirstEachBoundedByItsOwnEnd) {
  const Parsed parsed = OpenAndParse(Write({.footers = {DataFooter(1, 2, u"First"), DataFooter(2, 3, u"Second")}}));
  ASSERT_EQ(parsed.status, 0);
  EXPECT_EQ(parsed.file->kind, FileKind::Data);
  ASSERT_EQ(parsed.file->footers.size(), 2u);
  const RepFooter& first = parsed.file->footers[0];
  EXPECT_EQ(*first.FindProperty(u"UnderDataSource"), u"First");
  EXPECT_LT(first.offset + first.length, parsed.file->footers[1].offset + 1);
  ASSERT_EQ(first.parts.size(), 1u);
  EXPECT_EQ(first.parts[0].index, 1u);
  EXPECT_EQ(first.parts[0].events()->ulCount, 2u);
  EXPECT_EQ(parsed.file->footers[1].parts[0].events()->ulCount, 3u);
  EXPECT_EQ(capture_.out(), "");
}

TEST_F(ImageTest, PropertySectionFaults) {
  const ImageDescription one = {.footers = {DataFooter(1, 1)}};
  Buffer image = Write(one);
  const uint64_t footer = U64At(image, 32);
  const uint64_t table_len = U64At(image, footer + 12);
  const uint64_t position = footer + 20 + table_len;
  const uint64_t length = U64At(image, position);
  PutU64(image, position, length + 2);
  EXPECT_EQ(OpenAndParse(image).status, -1);
  EXPECT_EQ(capture_.err(), "Wrong property len!!!\n");
  EXPECT_EQ(capture_.out(), "Wrong property len!!!\nproperty_offset = " + std::to_string(position) +
                                "\nproperty_len = " + std::to_string(length + 2) +
                                "\nproperty_offset + property_len = " + std::to_string(position + length + 2) +
                                "\nfooter size = " + std::to_string(image.size()) + "\n");

  capture_.Clear();
  Buffer long_name = Write(one);
  PutU64(long_name, position + 8, 0x7FFFFFFF);  // the first name length, and 4 bytes of name
  EXPECT_EQ(OpenAndParse(long_name).status, -1);
  EXPECT_EQ(capture_.err(), "Wrong property name!!!\n");
  EXPECT_EQ(capture_.out(), "Wrong property name!!!\n");

  capture_.Clear();
  EXPECT_EQ(OpenAndParse(WithDamage(one, Damage::PropertyLengthPastSection)).status, -1);
  EXPECT_EQ(capture_.err(), "Wrong property value!!!\n");
  EXPECT_EQ(capture_.out(), "Wrong property value!!!\n");

  capture_.Clear();
  auto bare = repwriter::Lower(one);
  bare.footers[0].properties.clear();  // P = 0
  EXPECT_EQ(OpenAndParse(repwriter::BuildImage(bare)).status, -1);
  EXPECT_EQ(capture_.out(), "");
}

struct KindCase {
  std::vector<Property> properties;
  FooterRole role;
  int status;
  FileKind kind;
};

TEST_F(ImageTest, FootersClassifyTheImage) {
  const std::vector<KindCase> cases = {
      {{{u"EventsCount", u"12"}}, FooterRole::Data, 0, FileKind::Data},
      {{{u"EventsCount", u"12x"}}, FooterRole::Data, 0, FileKind::Data},
      {{{u"EventsCount", u"x12"}}, FooterRole::Data, -1, FileKind::Unset},
      {{{u"EventsCount", u"0"}}, FooterRole::Data, 0, FileKind::NoEvents},
      {{{u"EventsCount", u"000"}}, FooterRole::Data, 0, FileKind::NoEvents},
      {{{u"EventsCount", u"x"}}, FooterRole::PrevPosition, 0, FileKind::PrevPosition},
      {{}, FooterRole::ActiveSegment, 0, FileKind::ActiveSegment},
  };
  for (const KindCase& c : cases) {
    FooterDescription footer = c.role == FooterRole::ActiveSegment ? FooterDescription{} : DataFooter(1, 12);
    footer.role = c.role;
    footer.properties = c.properties;
    const Parsed parsed = OpenAndParse(Write({.footers = {footer}}));
    EXPECT_EQ(parsed.status, c.status) << static_cast<int>(c.kind);
    EXPECT_EQ(parsed.file->kind, c.kind);
  }
  // An empty table without "ActiveSegmentId" fails.
  auto empty = repwriter::Lower({.footers = {FooterDescription{.role = FooterRole::ActiveSegment}}});
  std::erase_if(empty.footers[0].properties, [](const Property& p) { return p.name == u"ActiveSegmentId"; });
  EXPECT_EQ(OpenAndParse(repwriter::BuildImage(empty)).status, -1);
  // A later footer is not looked at once one stops the walk.
  FooterDescription no_events = DataFooter(1, 1);
  no_events.role = FooterRole::NoEvents;
  const Parsed stopped = OpenAndParse(Write({.footers = {no_events, DataFooter(2, 1)}}));
  EXPECT_EQ(stopped.file->kind, FileKind::NoEvents);
  EXPECT_TRUE(stopped.file->footers[1].parts.empty());
}

TEST_F(ImageTest, PropertiesKeepTheFirstValueAndMatchExactly) {
  auto plan = repwriter::Lower({.footers = {DataFooter(1, 1)}});
  plan.footers[0].properties.push_back({u"UnderDataSource", u"Second"});
  plan.footers[0].properties.push_back({u"eventscount", u"5"});
  const Parsed parsed = OpenAndParse(repwriter::BuildImage(plan));
  ASSERT_EQ(parsed.status, 0);
  const RepFooter& footer = parsed.file->footers[0];
  EXPECT_EQ(*footer.FindProperty(u"UnderDataSource"), u"Application");
  EXPECT_EQ(*footer.FindProperty(u"EventsCount"), u"1");
  EXPECT_FALSE(footer.HasProperty(u"EVENTSCOUNT"));
}

TEST_F(ImageTest, MalformedBufferEntriesFailTheParse) {
  const ImageDescription one = {.footers = {DataFooter(1, 2)}};
  for (Damage damage : {Damage::EntryPastImage, Damage::BufferShorterThanHeader, Damage::EntryNameLengthPastTable,
                        Damage::StrayBytesAfterLastRecord}) {
    ImageDescription damaged = one;
    damaged.damage.push_back({.what = damage, .part = 1});
    EXPECT_EQ(OpenAndParse(Write(damaged)).status, -1) << static_cast<int>(damage);
  }
  auto bad_index = repwriter::Lower(one);
  bad_index.footers[0].buffers[0].name = "x_cat.dat";
  EXPECT_EQ(OpenAndParse(repwriter::BuildImage(bad_index)).status, -1);
  bad_index.footers[0].buffers[0].name = "99999999999_cat.dat";
  EXPECT_EQ(OpenAndParse(repwriter::BuildImage(bad_index)).status, -1);
}

TEST_F(ImageTest, EntriesBecomePartsNestedReferencesOrAreSkipped) {
  auto plan = repwriter::Lower({.footers = {DataFooter(4, 2)}});
  auto& buffers = plan.footers[0].buffers;
  // A second events buffer of part 4 replaces the first; an unselected kind
  // still creates its part; a name and content of no known kind is skipped.
  repwriter::EventRecord record;
  buffers.push_back({.name = "4_events.dat", .content = repwriter::EventsBuffer(std::vector{record})});
  buffers.push_back({.name = "9_desc.dat", .content = {}});
  buffers.push_back({.name = "notes.bin", .content = {1, 2, 3}});
  buffers.push_back({.name = "segment_1.img", .content = {'E', 'D', 'R', 'P'}, .holds_image = true});
  const Parsed parsed = OpenAndParse(repwriter::BuildImage(plan));
  ASSERT_EQ(parsed.status, 0);
  EXPECT_EQ(capture_.out(), "Unknown Buffer ID = -3\n");
  const RepFooter& footer = parsed.file->footers[0];
  ASSERT_EQ(footer.parts.size(), 2u);
  EXPECT_EQ(footer.parts[0].events()->ulCount, 1u);
  EXPECT_NE(footer.parts[0].categories(), nullptr);
  EXPECT_NE(footer.parts[0].computers(), nullptr);
  EXPECT_EQ(footer.parts[1].index, 9u);
  for (const auto& slot : footer.parts[1].slots) EXPECT_EQ(slot, nullptr);
  ASSERT_EQ(footer.nested_refs.size(), 2u);
  EXPECT_TRUE(footer.nested_refs[0].IsNull());
  EXPECT_FALSE(footer.nested_refs[1].IsNull());
}

TEST_F(ImageTest, PropInfoReadsTheCountingPropertiesAndReportsMissingOnes) {
  FooterDescription footer = DataFooter(1, 3, u"Security");
  footer.platform_id = 610;
  footer.computer_type = 2;
  const Parsed parsed = OpenAndParse(Write({.footers = {footer}}));
  FooterPropInfo info;
  EXPECT_EQ(RepFileBuffer::ReadPropInfo(parsed.file->footers[0], info), 0);
  EXPECT_EQ(info.ulEventNum, 3u);
  EXPECT_EQ(info.PlatformID, 610u);
  EXPECT_EQ(info.ComputerType, 2u);
  EXPECT_EQ(info.UnderDataSource(), u"Security");

  RepFooter bad;
  bad.properties = {{u"ComputerType", u"1"}, {u"EventsCount", u"3"}, {u"PlatformID", u"4294967296"}};
  EXPECT_EQ(RepFileBuffer::ReadPropInfo(bad, info), -1);
  EXPECT_EQ(capture_.err(), "PlatformID not found in footer property.\n");
  EXPECT_EQ(capture_.out(),
            "PlatformID not found in footer property.\n"
            "ComputerType = 1\nEventsCount = 3\nPlatformID = 4294967296\n\n");
  RepFooter excused;
  excused.properties = {{u"ComputerType", u"1"}, {u"PrevPositionGUID", u"{x}"}};
  EXPECT_EQ(RepFileBuffer::ReadPropInfoStatus(excused, info), PropInfoStatus::kExcused);
}

TEST(PropertyNumber, ReadsLikeTheCLibraryWithin32Bits) {
  EXPECT_EQ(PropertyNumber(u"12"), 12u);
  EXPECT_EQ(PropertyNumber(u" \t+7z"), 7u);
  EXPECT_EQ(PropertyNumber(u"4294967295"), 4294967295u);
  EXPECT_EQ(PropertyNumber(u"-1"), 4294967295u);
  EXPECT_EQ(PropertyNumber(u"4294967296"), std::nullopt);
  EXPECT_EQ(PropertyNumber(u""), std::nullopt);
  EXPECT_EQ(PropertyNumber(u"x1"), std::nullopt);
  EXPECT_EQ(PropertyNumber(u"- 1"), std::nullopt);
}

}  // namespace
}  // namespace tallymere::test
