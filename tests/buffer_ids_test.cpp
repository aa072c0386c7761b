// Buffer identifiers and part indexes: the kind a buffer's name or a nested
// image's magic gives, and the part number at the start of a name, with the
// exceptions a malformed number raises.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "parts/buffer_ids.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;

TEST(BufferIds, KindComesFromTheFourUnitsBeforeTheFirstDot) {
  EXPECT_EQ(BufferIdFromName(u"12_events.dat"), 3);
  EXPECT_EQ(BufferIdFromName(u"12_cat.dat"), 0);
  EXPECT_EQ(BufferIdFromName(u"3_nfvalues.dat"), 12);
  EXPECT_EQ(BufferIdFromName(u"filters.x.y"), 14);
  EXPECT_EQ(BufferIdFromName(u"_cat.dat"), 0);  // dot at 4: keyed from 0
  EXPECT_EQ(BufferIdFromName(u"comp.x"), 1);
  EXPECT_EQ(BufferIdFromName(u"ab.x"), -3);          // dot before 4: first four units
  EXPECT_EQ(BufferIdFromName(u"ents"), -3);          // no dot
  EXPECT_EQ(BufferIdFromName(u"a."), -3);            // shorter than a key
  EXPECT_EQ(BufferIdFromName(u"7_EVENTS.dat"), -3);  // case-sensitive
  EXPECT_EQ(BufferIdFromName(u"segment_1.img"), -3);
}

TEST(BufferIds, MagicNamesNestedImagesOnly) {
  EXPECT_EQ(BufferIdFromMagic(Bytes(Buffer{'E', 'D', 'R', 'P', 9})), -1);
  EXPECT_EQ(BufferIdFromMagic(Bytes(Buffer{0x7B, 0x19, 0x35, 0x19})), -2);
  EXPECT_EQ(BufferIdFromMagic(Bytes(Buffer{'E', 'D', 'R'})), -3);
  EXPECT_EQ(BufferIdFromMagic(Bytes(Buffer{'E', 'D', 'R', 'X'})), -3);
}

TEST(BufferIds, PartIndexReadsTheNumberBeforeTheUnderscore) {
  EXPECT_EQ(PartIndexFromName(u"12_events.dat"), 12);
  EXPECT_EQ(PartIndexFromName(u"5events.dat"), 5);
  EXPECT_EQ(PartIndexFromName(u"  -7_x"), -7);
  EXPECT_EQ(PartIndexFromName(u"+2147483647_x"), 2147483647);
  EXPECT_EQ(PartIndexFromName(u"-2147483648_x"), INT32_MIN);
  const auto throws_with = [](std::u16string_view name, auto tag, const char* text) {
    try {
      PartIndexFromName(name);
      ADD_FAILURE() << "no exception";
    } catch (const decltype(tag)& e) {
      EXPECT_STREQ(e.what(), text);
    }
  };
  throws_with(u"events.dat", std::invalid_argument(""), "invalid stoi argument");
  throws_with(u"_1.dat", std::invalid_argument(""), "invalid stoi argument");
  throws_with(u"-_1.dat", std::invalid_argument(""), "invalid stoi argument");
  throws_with(u"2147483648_x", std::out_of_range(""), "stoi argument out of range");
  throws_with(u"99999999999999999999_x", std::out_of_range(""), "stoi argument out of range");
}

}  // namespace
}  // namespace tallymere::test
