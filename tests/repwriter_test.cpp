// The repository writer, checked against a small reader of its own that
// shares no code with the writer or the program: names derive the intended
// kinds, images are laid out as readers expect, described events come back
// with their times, and every damage switch breaks what it names.
#if defined(TALLYMERE_HAVE_REPWRITER)

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "repwriter/description.h"
#include "repwriter/generator.h"
#include "repwriter/image.h"
#include "repwriter/records.h"
#include "repwriter/repository.h"

namespace {

using repwriter::BufferKind;
using repwriter::Bytes;
using repwriter::Damage;

// ---- A minimal independent reader -----------------------------------------

std::uint64_t Le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b.at(at + i)} << (8 * i);
  return v;
}

std::u16string Text(const Bytes& b, std::size_t at, std::size_t units) {
  std::u16string s;
  for (std::size_t i = 0; i < units; ++i) s.push_back(static_cast<char16_t>(Le(b, at + 2 * i, 2)));
  return s;
}

// The four units before the first "." (or the first four) pick the kind.
int KindOfName(const std::u16string& name) {
  static const std::vector<std::u16string> keys = {u"_cat", u"comp", u"desc", u"ents", u"irst",
                                                   u"_ins", u"last", u"cord", u"_src", u"user",
                                                   u"elds", u"ames", u"lues", u"lter", u"ters"};
  const std::size_t dot = name.find(u'.');
  if (dot == std::u16string::npos || name.size() < 4) return -3;
  const std::u16string key = name.substr(dot < 4 ? 0 : dot - 4, 4);
  const auto it = std::find(keys.begin(), keys.end(), key);
  return it == keys.end() ? -3 : static_cast<int>(it - keys.begin());
}

int PartOfName(const std::u16string& name) {
  return std::stoi(std::string(name.begin(), name.begin() + static_cast<long>(name.find(u'_'))));
}

struct Entry {
  std::size_t table_pos;
  std::u16string name;
  std::uint64_t offset, length;
};

struct Footer {
  std::uint64_t offset, length, prev_offset, prev_length;
  std::size_t table_end, props_start, props_end;
  std::vector<Entry> entries;
  std::vector<std::pair<std::u16string, std::u16string>> props;

  std::optional<std::u16string> Prop(std::u16string_view name) const {
    for (const auto& [n, v] : props)
      if (n == name) return v;
    return std::nullopt;
  }
  const Entry& Named(const std::string& name) const {
    for (const Entry& e : entries)
      if (e.name == std::u16string(name.begin(), name.end())) return e;
    throw std::runtime_error("no entry " + name);
  }
};

Footer ReadFooter(const Bytes& img, std::uint64_t offset, std::uint64_t length) {
  Footer f{offset, length, Le(img, offset, 8), Le(img, offset + 8, 4), 0, 0, 0, {}, {}};
  const std::uint64_t table_len = Le(img, offset + 12, 8);
  std::size_t at = offset + 20;
  f.table_end = at + table_len;
  while (at < f.table_end) {
    const std::size_t n = Le(img, at, 4);
    f.entries.push_back({at, Text(img, at + 4, n), Le(img, at + 12 + 2 * n, 8), Le(img, at + 20 + 2 * n, 8)});
    at += 28 + 2 * n;
  }
  const std::uint64_t props_len = Le(img, f.table_end, 8);
  f.props_start = f.table_end + 8;
  f.props_end = f.props_start + props_len;
  for (at = f.props_start; at < f.props_end;) {
    const std::size_t n = Le(img, at, 4);
    const std::size_t m = Le(img, at + 4 + 2 * n, 4);
    f.props.emplace_back(Text(img, at + 4, n), Text(img, at + 8 + 2 * n, m));
    at += 8 + 2 * n + 2 * m;
  }
  return f;
}

// Footers in file order, following the chain backwards from the header.
std::vector<Footer> ReadFooters(const Bytes& img) {
  std::vector<Footer> footers;
  std::uint64_t offset = Le(img, 32, 8), length = Le(img, 40, 4);
  while (footers.size() < 64) {
    footers.insert(footers.begin(), ReadFooter(img, offset, length));
    if (footers.front().prev_offset == 0) break;
    offset = footers.front().prev_offset;
    length = footers.front().prev_length;
  }
  return footers;
}

struct Unpacked {
  bool inflated = false;
  Bytes content;
  std::uint32_t stored_crc = 0, stored_length = 0;
};

Unpacked Unpack(const Bytes& img, const Entry& e) {
  Unpacked u;
  const std::size_t name_len = e.name.size();
  const std::size_t start = e.offset + 13 + name_len;
  u.stored_crc = static_cast<std::uint32_t>(Le(img, e.offset + e.length - 8, 4));
  u.stored_length = static_cast<std::uint32_t>(Le(img, e.offset + e.length - 4, 4));
  z_stream z{};
  inflateInit2(&z, -15);
  u.content.resize(1 << 24);
  z.next_in = const_cast<Bytef*>(img.data() + start);
  z.avail_in = static_cast<uInt>(e.offset + e.length - start);
  z.next_out = u.content.data();
  z.avail_out = static_cast<uInt>(u.content.size());
  u.inflated = inflate(&z, Z_FINISH) == Z_STREAM_END;
  u.content.resize(z.total_out);
  inflateEnd(&z);
  return u;
}

std::uint32_t Crc(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

struct DecodedEvent {
  std::u16string computer, category;
  std::uint16_t type;
  std::uint32_t id, time;
  bool operator==(const DecodedEvent&) const = default;
};

// Follows the record rules a reader applies: tables by row, the running sum
// of deltas added to the computer's time base, the reference word count.
std::vector<DecodedEvent> DecodePart(const Bytes& cats, const Bytes& comps, const Bytes& events) {
  std::vector<std::tuple<std::u16string, std::uint16_t, std::uint32_t>> cat_rows;
  for (std::size_t at = 0; at < cats.size();) {
    const std::size_t n = Le(cats, at, 4);
    cat_rows.emplace_back(Text(cats, at + 4, n), Le(cats, at + 4 + 2 * n, 2), Le(cats, at + 8 + 2 * n, 4));
    at += 12 + 2 * n;
  }
  std::vector<std::pair<std::u16string, std::uint32_t>> comp_rows;
  for (std::size_t at = 0; at < comps.size();) {
    const std::size_t n = Le(comps, at, 4);
    comp_rows.emplace_back(Text(comps, at + 4, n), Le(comps, at + 4 + 2 * n, 4));
    at += 8 + 2 * n;
  }
  std::vector<DecodedEvent> out;
  std::uint32_t running = 0;
  for (std::size_t at = 0; at < events.size();) {
    const auto data_len = Le(events, at, 4), refs = Le(events, at + 24, 2);
    std::size_t words = 0;
    if (refs > 32767) {
      words = 1;
    } else {
      while (words < refs && Le(events, at + 36 + 4 * words++, 4) != repwriter::kReferenceEndMarker) {
      }
    }
    running += static_cast<std::uint32_t>(Le(events, at + 28, 4));
    const auto& [cat, type, id] = cat_rows.at(Le(events, at + 8, 4));
    const auto& [computer, base] = comp_rows.at(Le(events, at + 12, 4));
    out.push_back({computer, cat, type, id, base + running});
    at += 36 + 4 * words + data_len;
    EXPECT_LE(at, events.size()) << "record runs past the buffer";
  }
  return out;
}

std::vector<DecodedEvent> DecodeFooter(const Bytes& img, const Footer& f) {
  std::vector<DecodedEvent> out;
  for (const Entry& e : f.entries) {
    if (KindOfName(e.name) != 3) continue;
    const std::string part = std::to_string(PartOfName(e.name));
    auto unpack = [&](const char* word) { return Unpack(img, f.Named(part + "_" + word + ".dat")).content; };
    auto events = DecodePart(unpack("cat"), unpack("comp"), unpack("events"));
    out.insert(out.end(), events.begin(), events.end());
  }
  return out;
}

std::vector<DecodedEvent> AsDecoded(const std::vector<repwriter::ExpectedEvent>& expected) {
  std::vector<DecodedEvent> out;
  for (const auto& e : expected) out.push_back({e.computer, e.category, e.event_type, e.event_id, e.time});
  return out;
}

// ---- Descriptions used by several tests ------------------------------------

repwriter::Event Ev(std::u16string computer, std::u16string category, std::uint16_t type, std::uint32_t id,
                    std::uint32_t time) {
  return {std::move(computer), std::move(category), type, id, time, std::nullopt};
}

// Two footers with two logs and platforms; part 2 mixes computers with time
// bases far apart so that deltas wrap, and part 7 has its own base.
repwriter::ImageDescription TwoFooterImage() {
  repwriter::ImageDescription image;
  repwriter::FooterDescription first;
  first.log = u"System";
  first.platform_id = 610;
  first.computer_type = 3;
  repwriter::PartDescription p1{1,
                                {Ev(u"WS-1", u"Logon", 4, 0x12345, 1527085800), Ev(u"ws-1", u"", 2, 7, 1527085801),
                                 Ev(u"WS-1", u"Logon", 4, 0x12345, 1527085700)},
                                {},
                                {}};
  repwriter::PartDescription p2{
      2,
      {Ev(u"Srv-\u00e9", u"Disk", 1, 0x80000001, 100), Ev(u"DC1", u"Disk", 1, 0x80000001, 4000000000U),
       Ev(u"Srv-\u00e9", u"Pr\u00fcfung", 8, 65535, 5)},
      {},
      {}};
  first.parts = {p1, p2};
  repwriter::FooterDescription second;
  second.log = u"Application";
  second.platform_id = 2;
  repwriter::PartDescription p7{7,
                                {Ev(u"DC1", u"Backup", 4, 20, 1600000000), Ev(u"DC1", u"Backup", 4, 20, 1600000000)},
                                {{u"DC1", 1599999990}},
                                {}};
  second.parts = {p7};
  image.footers = {first, second};
  return image;
}

// ---- Names ------------------------------------------------------------------

TEST(RepwriterNames, EveryEmittedNameDerivesItsKindAndPart) {
  for (int k = 0; k <= 12; ++k) {
    const std::string name = repwriter::PartBufferName(static_cast<BufferKind>(k), 12);
    const std::u16string wide(name.begin(), name.end());
    EXPECT_EQ(KindOfName(wide), k) << name;
    EXPECT_EQ(PartOfName(wide), 12) << name;
  }
  for (int k : {13, 14}) {
    const std::string name = repwriter::FileWideBufferName(static_cast<BufferKind>(k));
    EXPECT_EQ(KindOfName(std::u16string(name.begin(), name.end())), k) << name;
  }
  for (std::size_t n : {1u, 9u, 10u, 123u}) {
    const std::string name = repwriter::NestedImageName(n);
    EXPECT_EQ(KindOfName(std::u16string(name.begin(), name.end())), -3) << name;
  }
  EXPECT_EQ(repwriter::PartBufferName(BufferKind::Events, 12), "12_events.dat");
}

// ---- Records ----------------------------------------------------------------

TEST(RepwriterRecords, CategoryRecordHasTheDocumentedBytes) {
  const Bytes bytes = repwriter::CategoryBuffer(std::vector<repwriter::CategoryRow>{{u"ABC", 4, 7, 0x1234}});
  const Bytes expected = {3, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 4, 0, 7, 0, 0x34, 0x12, 0, 0};
  EXPECT_EQ(bytes, expected);
}

TEST(RepwriterRecords, ReferenceWordCountFollowsTheSizeRule) {
  using W = std::vector<std::uint32_t>;
  EXPECT_EQ(repwriter::ReferenceWordCount(0, W{1, 2}), 0u);
  EXPECT_EQ(repwriter::ReferenceWordCount(5, W{9, repwriter::kReferenceEndMarker, 3}), 2u);
  EXPECT_EQ(repwriter::ReferenceWordCount(3, W{7, 9 | repwriter::kExplicitIndexFlag, 4}), 3u);
  EXPECT_EQ(repwriter::ReferenceWordCount(40000, W{1}), 1u);
  EXPECT_EQ(repwriter::ReferenceWordCount(32767, W{1, 2}), 2u);
}

TEST(RepwriterRecords, VariedTailsAreWellFormedAndCoverEveryShape) {
  repwriter::SplitMix64 random(42);
  repwriter::EventRecord record;
  bool none = false, marker = false, flagged = false, wide = false, all_ones = false, data = false;
  for (int i = 0; i < 5000; ++i) {
    repwriter::VaryRecordTail(random, record);
    ASSERT_EQ(record.ref_words.size(), repwriter::ReferenceWordCount(record.ref_count, record.ref_words));
    const auto end = std::find(record.ref_words.begin(), record.ref_words.end(), repwriter::kReferenceEndMarker);
    ASSERT_TRUE(end == record.ref_words.end() || end + 1 == record.ref_words.end()) << "marker inside the list";
    none |= record.ref_count == 0;
    marker |= end != record.ref_words.end();
    wide |= record.ref_count > 32767;
    data |= !record.data.empty();
    for (std::uint32_t w : record.ref_words) {
      all_ones |= w == 0xFFFFFFFF;
      flagged |= w != 0xFFFFFFFF && (w & repwriter::kExplicitIndexFlag) != 0;
    }
  }
  EXPECT_TRUE(none && marker && flagged && wide && all_ones && data);
}

// ---- Image layout -----------------------------------------------------------

TEST(RepwriterImage, HeaderChainAndBuffersAreWhereReadersLook) {
  const Bytes img = repwriter::WriteImage(TwoFooterImage());
  EXPECT_EQ(std::string(img.begin(), img.begin() + 4), "EDRP");
  EXPECT_EQ(Le(img, 32, 8) + Le(img, 40, 4), img.size());
  const auto footers = ReadFooters(img);
  ASSERT_EQ(footers.size(), 2u);
  EXPECT_EQ(footers[0].prev_offset, 0u);
  EXPECT_EQ(footers[1].prev_offset, footers[0].offset);
  EXPECT_EQ(footers[0].props_end, footers[0].offset + footers[1].prev_length) << "earlier footer must end itself";
  EXPECT_EQ(footers[1].props_end, img.size());
  for (const Footer& f : footers) {
    for (const Entry& e : f.entries) {
      ASSERT_LE(e.offset + e.length, f.offset);
      EXPECT_EQ(img[e.offset], 'E');
      EXPECT_EQ(img[e.offset + 1], 'D');
      EXPECT_EQ(std::string(img.begin() + static_cast<long>(e.offset) + 12,
                            img.begin() + static_cast<long>(e.offset + 12 + e.name.size())),
                std::string(e.name.begin(), e.name.end()));
      EXPECT_EQ(img[e.offset + 12 + e.name.size()], 0);
      const Unpacked u = Unpack(img, e);
      ASSERT_TRUE(u.inflated) << std::string(e.name.begin(), e.name.end());
      EXPECT_EQ(u.stored_crc, Crc(u.content));
      EXPECT_EQ(u.stored_length, u.content.size());
    }
  }
  EXPECT_EQ(footers[0].Prop(u"EventsCount"), u"6");
  EXPECT_EQ(footers[0].Prop(u"PlatformID"), u"610");
  EXPECT_EQ(footers[0].Prop(u"UnderDataSource"), u"System");
  EXPECT_EQ(footers[1].Prop(u"EventsCount"), u"2");
}

TEST(RepwriterImage, DescribedEventsComeBackWithTheirTimes) {
  const auto description = TwoFooterImage();
  const Bytes img = repwriter::WriteImage(description);
  std::vector<DecodedEvent> decoded;
  for (const Footer& f : ReadFooters(img)) {
    const auto events = DecodeFooter(img, f);
    decoded.insert(decoded.end(), events.begin(), events.end());
  }
  EXPECT_EQ(decoded, AsDecoded(repwriter::ListEvents(description)));
  const auto listed = repwriter::ListEvents(description);
  ASSERT_EQ(listed.size(), 8u);
  EXPECT_EQ(listed[0].log, u"System");
  EXPECT_EQ(listed[0].platform_id, 610u);
  EXPECT_EQ(listed[7].log, u"Application");
  EXPECT_EQ(repwriter::ExpectedEventsCountTotal(description), 8u);
}

TEST(RepwriterImage, TablesAreDeduplicatedPerPart) {
  const Bytes img = repwriter::WriteImage(TwoFooterImage());
  const Footer f = ReadFooters(img)[0];
  // Part 1: "WS-1" and "ws-1" are two rows; ("Logon", 4, 0x12345) is one.
  EXPECT_EQ(Unpack(img, f.Named("1_comp.dat")).content.size(), 2 * (8 + 2 * 4u));
  EXPECT_EQ(Unpack(img, f.Named("1_cat.dat")).content.size(), (12 + 2 * 5u) + 12u);
}

TEST(RepwriterImage, RawBuffersAreWrittenByteForByte) {
  repwriter::ImageDescription image;
  repwriter::FooterDescription footer;
  const Bytes exact_events = {1, 2, 3, 4, 5};
  const Bytes pairs = repwriter::ValuePairBuffer(std::vector<repwriter::ValuePair>{{1, 2}, {3, 4}});
  footer.parts = {
      {3, {Ev(u"A", u"B", 1, 1, 10)}, {}, {{BufferKind::Events, exact_events}, {BufferKind::ValuePairs, pairs}}}};
  footer.file_wide = {{BufferKind::FilterState, {9, 9}}};
  footer.properties = {{u"EventsCount", u"000"}, {u"Extra", u"x"}};
  image.footers = {footer};
  const Bytes img = repwriter::WriteImage(image);
  const Footer f = ReadFooters(img)[0];
  EXPECT_EQ(Unpack(img, f.Named("3_events.dat")).content, exact_events);
  EXPECT_EQ(Unpack(img, f.Named("3_record.dat")).content, pairs);
  EXPECT_EQ(Unpack(img, f.Named("filters.dat")).content, (Bytes{9, 9}));
  EXPECT_EQ(f.Prop(u"EventsCount"), u"000");
  EXPECT_EQ(f.Prop(u"Extra"), u"x");
  EXPECT_TRUE(repwriter::ListEvents(image).empty()) << "a zero count makes the image one readers skip";
}

TEST(RepwriterImage, PartWithoutEventsHasOnlyItsRawBuffers) {
  repwriter::ImageDescription image = TwoFooterImage();
  image.footers[1].parts.push_back({.index = 9, .raw = {{.kind = BufferKind::User}}});
  const Footer f = ReadFooters(repwriter::WriteImage(image))[1];
  std::vector<std::u16string> names;
  for (const Entry& e : f.entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"7_cat.dat", u"7_comp.dat", u"7_events.dat", u"9_user.dat"}));
}

// ---- Image kinds and containers ---------------------------------------------

TEST(RepwriterKinds, SkippedKindsCarryTheirMarkers) {
  using repwriter::FooterRole;
  for (FooterRole role : {FooterRole::NoEvents, FooterRole::PrevPosition, FooterRole::ActiveSegment}) {
    repwriter::ImageDescription image = TwoFooterImage();
    image.footers[1].role = role;
    const Footer f = ReadFooters(repwriter::WriteImage(image))[1];
    if (role == FooterRole::NoEvents) {
      EXPECT_EQ(f.Prop(u"EventsCount"), u"0");
    }
    if (role == FooterRole::PrevPosition) {
      EXPECT_TRUE(f.Prop(u"PrevPositionGUID"));
    }
    if (role == FooterRole::ActiveSegment) {
      EXPECT_TRUE(f.entries.empty());
      EXPECT_TRUE(f.Prop(u"ActiveSegmentId"));
    } else {
      EXPECT_FALSE(f.entries.empty()) << "readers reject an empty table here";
    }
    EXPECT_TRUE(repwriter::ListEvents(image).empty());
    EXPECT_EQ(repwriter::ExpectedEventsCountTotal(image), 0u);
  }
}

TEST(RepwriterKinds, ContainerHoldsWholeNestedImages) {
  repwriter::ImageDescription outer;
  repwriter::FooterDescription footer;
  footer.nested = {TwoFooterImage(), TwoFooterImage()};
  footer.nested[1].footers[0].parts.pop_back();
  outer.footers = {footer};
  const Bytes img = repwriter::WriteImage(outer);
  const Footer f = ReadFooters(img)[0];
  ASSERT_EQ(f.entries.size(), 2u);
  EXPECT_FALSE(f.Prop(u"EventsCount")) << "a container's own footer is not counted";
  for (std::size_t k = 0; k < 2; ++k) {
    const Entry& e = f.entries[k];
    EXPECT_EQ(KindOfName(e.name), -3);
    EXPECT_EQ(std::string(img.begin() + static_cast<long>(e.offset), img.begin() + static_cast<long>(e.offset) + 4),
              "EDRP");
    const Bytes nested = Unpack(img, e).content;
    EXPECT_EQ(nested, repwriter::WriteImage(footer.nested[k]));
  }
  EXPECT_EQ(repwriter::ListEvents(outer).size(), 8u + 5u);
  EXPECT_EQ(repwriter::ExpectedEventsCountTotal(outer), 8u + 5u);
}

// ---- Damage -----------------------------------------------------------------

struct DamageCase {
  Damage what;
  const char* name;
};

class RepwriterDamage : public ::testing::TestWithParam<DamageCase> {
 protected:
  static Bytes Written(Damage what, std::size_t footer = 0, std::string buffer = "1_events.dat",
                       std::uint64_t length = 0) {
    auto image = TwoFooterImage();
    image.damage = {{what, footer, std::move(buffer), 1, length}};
    return repwriter::WriteImage(image);
  }
  static const Bytes& Clean() {
    static const Bytes clean = repwriter::WriteImage(TwoFooterImage());
    return clean;
  }
};

TEST_P(RepwriterDamage, ProducesTheFaultItNames) {
  const Damage what = GetParam().what;
  const Bytes img = Written(what);
  const Footer clean_footer = ReadFooters(Clean())[0];
  const Entry& clean_events = clean_footer.Named("1_events.dat");
  auto footer = [&] { return ReadFooters(img)[0]; };
  auto events = [&] { return Unpack(img, footer().Named("1_events.dat")); };
  switch (what) {
    case Damage::BadCrc: EXPECT_NE(events().stored_crc, Crc(events().content)); break;
    case Damage::WrongSignature: EXPECT_EQ(img[clean_events.offset + 1], 'X'); break;
    case Damage::CorruptDeflate: EXPECT_FALSE(events().inflated); break;
    case Damage::UnpackedLenTooSmall: EXPECT_LT(events().stored_length, clean_events.length); break;
    case Damage::UnpackedLenHuge: EXPECT_EQ(events().stored_length, 0xFFFFFFFFu); break;
    case Damage::BufferShorterThanHeader:
      EXPECT_LT(footer().Named("1_events.dat").length, 21 + clean_events.name.size());
      break;
    case Damage::EntryPastImage: {
      const Entry e = footer().Named("1_events.dat");
      EXPECT_EQ(e.offset + e.length, img.size() + 1);
      break;
    }
    case Damage::EntryNameLengthPastTable: {
      const std::size_t at = clean_events.table_pos;
      EXPECT_GT(at + 4 + 2 * Le(img, at, 4), clean_footer.table_end);
      break;
    }
    case Damage::ChainOutOfRange: EXPECT_EQ(Le(img, clean_footer.offset, 8), img.size()); break;
    case Damage::ChainLoopsToSelf: EXPECT_EQ(Le(img, clean_footer.offset, 8), clean_footer.offset); break;
    case Damage::ChainPointsForward: EXPECT_EQ(Le(img, clean_footer.offset, 8), Le(img, 32, 8)); break;
    case Damage::PropertyLengthPastSection: {
      const std::size_t name_units = Le(img, clean_footer.props_start, 4);
      const std::size_t value_at = clean_footer.props_start + 4 + 2 * name_units;
      EXPECT_GT(value_at + 4 + 2 * Le(img, value_at, 4), clean_footer.props_end);
      break;
    }
    case Damage::MissingEventsCount: EXPECT_FALSE(footer().Prop(u"EventsCount")); break;
    case Damage::MissingComputerType: EXPECT_FALSE(footer().Prop(u"ComputerType")); break;
    case Damage::MissingPlatformId: EXPECT_FALSE(footer().Prop(u"PlatformID")); break;
    case Damage::MissingUnderDataSource: EXPECT_FALSE(footer().Prop(u"UnderDataSource")); break;
    case Damage::NonNumericEventsCount: EXPECT_EQ(footer().Prop(u"EventsCount"), u"x12"); break;
    case Damage::NonNumericComputerType: EXPECT_EQ(footer().Prop(u"ComputerType"), u"x12"); break;
    case Damage::NonNumericPlatformId: EXPECT_EQ(footer().Prop(u"PlatformID"), u"x12"); break;
    case Damage::EventsCountMismatch: EXPECT_EQ(footer().Prop(u"EventsCount"), u"7"); break;
    case Damage::CategoryIndexOutOfRange:
      EXPECT_EQ(Le(events().content, 8, 4), 2u);  // part 1 has two category rows
      break;
    case Damage::ComputerIndexOutOfRange: EXPECT_EQ(Le(events().content, 12, 4), 2u); break;  // and two computers
    case Damage::StrayBytesAfterLastRecord:
      EXPECT_EQ(events().content.size(), Unpack(Clean(), clean_events).content.size() + 3);
      break;
    case Damage::HeaderSumOff: EXPECT_EQ(Le(img, 32, 8) + Le(img, 40, 4), img.size() + 1); break;
    case Damage::Truncate: EXPECT_EQ(Written(what, 0, "", 100).size(), 100u); break;
    case Damage::ShorterThanHeader:
      EXPECT_EQ(img.size(), 43u);
      EXPECT_EQ(Written(what, 0, "", 10).size(), 10u);
      break;
    case Damage::None: EXPECT_EQ(img, Clean()); break;
  }
  if (what != Damage::None) {
    EXPECT_NE(img, Clean()) << "the switch changed nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(EverySwitch, RepwriterDamage,
                         ::testing::Values(DamageCase{Damage::None, "None"}, DamageCase{Damage::BadCrc, "BadCrc"},
                                           DamageCase{Damage::WrongSignature, "WrongSignature"},
                                           DamageCase{Damage::CorruptDeflate, "CorruptDeflate"},
                                           DamageCase{Damage::UnpackedLenTooSmall, "UnpackedLenTooSmall"},
                                           DamageCase{Damage::UnpackedLenHuge, "UnpackedLenHuge"},
                                           DamageCase{Damage::BufferShorterThanHeader, "BufferShorterThanHeader"},
                                           DamageCase{Damage::EntryPastImage, "EntryPastImage"},
                                           DamageCase{Damage::EntryNameLengthPastTable, "EntryNameLengthPastTable"},
                                           DamageCase{Damage::ChainOutOfRange, "ChainOutOfRange"},
                                           DamageCase{Damage::ChainLoopsToSelf, "ChainLoopsToSelf"},
                                           DamageCase{Damage::ChainPointsForward, "ChainPointsForward"},
                                           DamageCase{Damage::PropertyLengthPastSection, "PropertyLengthPastSection"},
                                           DamageCase{Damage::MissingEventsCount, "MissingEventsCount"},
                                           DamageCase{Damage::MissingComputerType, "MissingComputerType"},
                                           DamageCase{Damage::MissingPlatformId, "MissingPlatformId"},
                                           DamageCase{Damage::MissingUnderDataSource, "MissingUnderDataSource"},
                                           DamageCase{Damage::NonNumericEventsCount, "NonNumericEventsCount"},
                                           DamageCase{Damage::NonNumericComputerType, "NonNumericComputerType"},
                                           DamageCase{Damage::NonNumericPlatformId, "NonNumericPlatformId"},
                                           DamageCase{Damage::EventsCountMismatch, "EventsCountMismatch"},
                                           DamageCase{Damage::CategoryIndexOutOfRange, "CategoryIndexOutOfRange"},
                                           DamageCase{Damage::ComputerIndexOutOfRange, "ComputerIndexOutOfRange"},
                                           DamageCase{Damage::StrayBytesAfterLastRecord, "StrayBytesAfterLastRecord"},
                                           DamageCase{Damage::HeaderSumOff, "HeaderSumOff"},
                                           DamageCase{Damage::Truncate, "Truncate"},
                                           DamageCase{Damage::ShorterThanHeader, "ShorterThanHeader"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RepwriterDamageDetail, TooSmallLengthOnWellPackedContentForcesGrowth) {
  // Zeros pack far better than 6:1, so a reader guessing six times the
  // buffer size must grow its output at least once.
  repwriter::FooterPlan footer;
  footer.buffers.push_back({"1_desc.dat", Bytes(100000, 0), false, 0});
  footer.properties.push_back({u"EventsCount", u"1"});
  repwriter::ImagePlan plan;
  plan.footers = {footer};
  plan.damage = {{Damage::UnpackedLenTooSmall, 0, "", 0, 0}};
  const Bytes img = repwriter::BuildImage(plan);
  const Entry e = ReadFooters(img)[0].entries[0];
  const Unpacked u = Unpack(img, e);
  EXPECT_GT(u.content.size(), 6 * e.length);
  EXPECT_LE(u.stored_length, e.length);
}

TEST(RepwriterDamageDetail, DamageNamingAMissingBufferIsRefused) {
  auto image = TwoFooterImage();
  image.damage = {{Damage::BadCrc, 0, "9_events.dat", 0, 0}};
  EXPECT_THROW(repwriter::WriteImage(image), std::invalid_argument);
}

// ---- Files and repositories -------------------------------------------------

std::filesystem::path FreshFolder(const std::string& name) {
  const auto path = std::filesystem::path(::testing::TempDir()) / ("repwriter_" + name);
  std::filesystem::remove_all(path);
  return path;
}

TEST(RepwriterRepository, FilesLandUnderBothRootsWithStampedNames) {
  EXPECT_EQ(repwriter::UtcStamp(1527085800), "20180523143000");
  EXPECT_EQ(repwriter::UtcSeconds(2018, 5, 23, 14, 30), 1527085800u);
  const auto repo = FreshFolder("tree");
  repwriter::RepositoryFile hot{repwriter::Root::Hot, "System", TwoFooterImage(), std::nullopt, ""};
  repwriter::RepositoryFile cold{repwriter::Root::Environment, "Application", TwoFooterImage(), std::nullopt, ""};
  const auto paths = repwriter::WriteRepository(repo, {hot, cold});
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].parent_path(), repo / "Hot$" / "Environment$" / "System");
  EXPECT_EQ(paths[1].parent_path(), repo / "Environment$" / "Application");
  const std::string name = paths[0].filename().string();
  EXPECT_EQ(name.substr(15, 14), repwriter::UtcStamp(5));            // earliest event
  EXPECT_EQ(name.substr(29, 14), repwriter::UtcStamp(4000000000U));  // latest event
  EXPECT_EQ(name.substr(43), ".rep");
  std::ifstream in(paths[1], std::ios::binary);
  const Bytes on_disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(on_disk, repwriter::WriteImage(TwoFooterImage()));
}

// ---- Generator ----------------------------------------------------------------

repwriter::GeneratorOptions SmallRun(std::uint64_t seed) {
  repwriter::GeneratorOptions o;
  o.out = "unused";
  o.events = 30000;
  o.files = 2;
  o.seed = seed;
  o.nested_share = 0;
  return repwriter::ResolveOptions(o);
}

TEST(RepwriterGenerator, SameSeedSameBytesOtherSeedOtherBytes) {
  EXPECT_EQ(repwriter::GenerateFile(SmallRun(7), 1).image, repwriter::GenerateFile(SmallRun(7), 1).image);
  EXPECT_NE(repwriter::GenerateFile(SmallRun(7), 1).image, repwriter::GenerateFile(SmallRun(8), 1).image);
}

TEST(RepwriterGenerator, FilesAreConsistentRealisticAndStampedByTheirEvents) {
  const auto file = repwriter::GenerateFile(SmallRun(3), 0);
  const double ratio = static_cast<double>(file.unpacked_bytes) / static_cast<double>(file.image.size());
  EXPECT_GE(ratio, 3.0);
  EXPECT_LE(ratio, 6.0);
  std::uint64_t counted = 0, declared = 0;
  std::set<std::uint32_t> platforms;
  std::uint32_t first = 0xFFFFFFFF, last = 0;
  bool wide_id = false, small_id = false, non_ascii = false, empty_category = false;
  const Bytes& img = file.image;
  for (const Footer& f : ReadFooters(img)) {
    const std::u16string count = f.Prop(u"EventsCount").value();
    declared += std::stoul(std::string(count.begin(), count.end()));
    for (const DecodedEvent& e : DecodeFooter(img, f)) {  // also checks every index is in range
      ++counted;
      first = std::min(first, e.time);
      last = std::max(last, e.time);
      wide_id |= e.id > 0xFFFF;
      small_id |= e.id <= 0xFFFF;
      empty_category |= e.category.empty();
      non_ascii |= std::any_of(e.computer.begin(), e.computer.end(), [](char16_t c) { return c > 0x7F; });
    }
  }
  EXPECT_EQ(counted, file.events);
  EXPECT_EQ(declared, file.events);
  EXPECT_TRUE(wide_id && small_id && non_ascii && empty_category);
  const std::string name = file.relative_path.filename().string();
  EXPECT_EQ(name.substr(15, 14), repwriter::UtcStamp(first));
  EXPECT_EQ(name.substr(29, 14), repwriter::UtcStamp(last));
}

TEST(RepwriterGenerator, RepositorySummaryMatchesTheFilesWritten) {
  auto options = SmallRun(5);
  options.out = FreshFolder("generated");
  options.nested_share = 1;  // every file a container
  options.threads = 2;
  const auto summary = repwriter::GenerateRepository(options);
  std::uint64_t files = 0, bytes = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(options.out)) {
    if (item.is_regular_file()) {
      ++files;
      bytes += item.file_size();
    }
  }
  EXPECT_EQ(summary.files, files);
  EXPECT_EQ(summary.bytes_on_disk, bytes);
  EXPECT_EQ(summary.events, 30000u);
  EXPECT_EQ(summary.events_count_total, 30000u);
}

}  // namespace

#endif  // TALLYMERE_HAVE_REPWRITER
