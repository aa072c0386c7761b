// The writer library's damage switches, each read back through the
// independent reader: every switch breaks what it names, and only that.
#if defined(TALLYMERE_HAVE_REPWRITER)

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "repwriter/description.h"
#include "repwriter/image.h"
#include "repwriter/records.h"
#include "support/image_reader.h"

namespace tallymere::test {
namespace {

using repwriter::Damage;

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

}  // namespace
}  // namespace tallymere::test

#endif  // TALLYMERE_HAVE_REPWRITER
