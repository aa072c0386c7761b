// The repository writer, checked against a small reader of its own that
// shares no code with the writer or the program: names derive the intended
// kinds, images are laid out as readers expect, described events come back
// with their times. The damage switches are checked in
// repwriter_damage_test.cpp.
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
#include "support/image_reader.h"

namespace tallymere::test {
namespace {

using repwriter::BufferKind;
using repwriter::Damage;

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
}  // namespace tallymere::test

#endif  // TALLYMERE_HAVE_REPWRITER
