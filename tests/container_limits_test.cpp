// Hostile shapes that are well formed but large: the footer chain and the
// buffer table are each walked once, however long they are, and every walk
// ends: the tests count the work done rather than time it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "container/rep_file_buffer.h"
#include "support/output_capture.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;

constexpr uint64_t kHeaderSize = 44;

void Put(Buffer& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(Buffer& out, const std::u16string& text) {
  Put(out, text.size(), 4);
  for (char16_t c : text) Put(out, c, 2);
}

void SetLastFooter(Buffer& image, uint64_t offset) {
  for (int i = 0; i < 8; ++i) image[32 + i] = static_cast<uint8_t>(offset >> (8 * i));
  const uint64_t length = image.size() - offset;
  for (int i = 0; i < 4; ++i) image[40 + i] = static_cast<uint8_t>(length >> (8 * i));
}

// `count` footers of `size` bytes each (links, then empty table and
// property lengths), chained backwards one after the other; footer
// `redirected` may link to `target` instead.
Buffer LongChain(uint64_t count, uint64_t redirected = 0, uint64_t target = 0, uint64_t size = 28) {
  Buffer image(kHeaderSize, 0);
  for (uint64_t k = 0; k < count; ++k) {
    const uint64_t previous = k == 0 ? 0 : kHeaderSize + size * (k - 1);
    Put(image, redirected != 0 && k == redirected ? target : previous, 8);
    Put(image, size, 4);
    image.resize(image.size() + size - 12, 0);
  }
  SetLastFooter(image, kHeaderSize + size * (count - 1));
  return image;
}

// An image of one data buffer (name "1_desc.dat", the given stream, CRC-32
// and unpacked length) and one footer whose table lists that buffer once
// under each of the names.
Buffer TableImage(const Buffer& stream, uint32_t crc, uint32_t unpacked, const std::vector<std::u16string>& names) {
  Buffer image(kHeaderSize, 0);
  const std::string name = "1_desc.dat";
  Put(image, 'E' | 'D' << 8, 2);
  image.resize(image.size() + 10, 0);
  image.insert(image.end(), name.begin(), name.end());
  image.push_back(0);
  image.insert(image.end(), stream.begin(), stream.end());
  Put(image, crc, 4);
  Put(image, unpacked, 4);
  const uint64_t buffer_length = image.size() - kHeaderSize;

  const uint64_t footer = image.size();
  Buffer table;
  for (const std::u16string& entry_name : names) {
    PutText(table, entry_name);
    Put(table, 0, 8);
    Put(table, kHeaderSize, 8);
    Put(table, buffer_length, 8);
  }
  Buffer properties;
  PutText(properties, u"EventsCount");
  PutText(properties, u"1");
  Put(image, 0, 8);
  Put(image, 0, 4);
  Put(image, table.size(), 8);
  image.insert(image.end(), table.begin(), table.end());
  Put(image, properties.size(), 8);
  image.insert(image.end(), properties.begin(), properties.end());
  SetLastFooter(image, footer);
  return image;
}

// An empty stored DEFLATE stream listed `count` times under distinct part
// indexes.
Buffer LongTable(uint32_t count) {
  std::vector<std::u16string> names;
  for (uint32_t k = 0; k < count; ++k) {
    const std::string name = std::to_string(k) + "_desc.dat";
    names.emplace_back(name.begin(), name.end());
  }
  return TableImage({0x01, 0x00, 0x00, 0xFF, 0xFF}, 0, 0, names);  // a final stored block of 0 bytes
}

// A stream that unpacks to `unpacked` zero bytes (a string list of empty
// texts), listed `count` times: every entry is unpacked on its own, so the
// table multiplies the expansion.
Buffer AliasedTable(uint32_t count, uint32_t unpacked) {
  const Buffer zeros(unpacked, 0);
  Buffer stream(compressBound(unpacked) + 64);
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<Bytef*>(zeros.data());
  z.avail_in = unpacked;
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  deflate(&z, Z_FINISH);
  stream.resize(z.total_out);
  deflateEnd(&z);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, zeros.data(), unpacked));
  return TableImage(stream, crc, unpacked, std::vector<std::u16string>(count, u"1_desc.dat"));
}

TEST(HostileShapes, AliasedEntriesCannotUnpackPastTheFileBudget) {
  OutputCapture capture;
  // 4,000 entries of 4 MiB each would hold 16 GiB; the file is a few
  // hundred KiB, so its budget is a few hundred MiB.
  const Buffer bomb = AliasedTable(4000, 4 << 20);
  UnpackBudget budget = UnpackBudget::ForFile(bomb.size());
  RepFileBuffer image(ByteBuffer(bomb.begin(), bomb.end()));
  image.budget = &budget;
  EXPECT_EQ(image.Parse(), -1);
  EXPECT_NE(capture.out().find(kOverBudgetMessage), std::string::npos);
  image.ReleaseAllParts();

  // One entry may expand its stream as far as DEFLATE goes.
  const Buffer sound = AliasedTable(1, 4 << 20);
  UnpackBudget enough = UnpackBudget::ForFile(sound.size());
  RepFileBuffer sound_image(ByteBuffer(sound.begin(), sound.end()));
  sound_image.budget = &enough;
  EXPECT_EQ(sound_image.Parse(), 0);
  sound_image.ReleaseAllParts();
}

TEST(HostileShapes, LongFooterChainIsWalkedOnceAndAnyTurnStopsIt) {
  OutputCapture capture;
  constexpr uint64_t kFooters = 20000;
  RepFileBuffer image;
  const Buffer chain = LongChain(kFooters);
  ASSERT_TRUE(image.Open(Bytes(chain)));
  EXPECT_EQ(image.footers.size(), kFooters);
  EXPECT_EQ(image.footers.front().offset, kHeaderSize);

  // A link half-way up the chain that points forward, at its own footer,
  // or into the middle of the footer before it.
  const uint64_t middle = kFooters / 2;
  for (uint64_t target :
       {kHeaderSize + 28 * (middle + 1), kHeaderSize + 28 * middle, kHeaderSize + 28 * (middle - 1) + 4}) {
    const Buffer turned = LongChain(kFooters, middle, target);
    RepFileBuffer turned_image;
    EXPECT_FALSE(turned_image.Open(Bytes(turned))) << target;
    EXPECT_LE(turned_image.footers.size(), kFooters - middle + 1);
  }

  // Footers packed closer than their own fields allow: a chain cannot hold
  // more footer records than the image has room for.
  RepFileBuffer packed;
  EXPECT_FALSE(packed.Open(Bytes(LongChain(kFooters, 0, 0, 12))));
  EXPECT_LE(packed.footers.size(), 2u);
}

TEST(HostileShapes, LongTableOfDistinctPartsBuildsEachPartOnceInTableOrder) {
  OutputCapture capture;
  constexpr uint32_t kEntries = 20000;
  const Buffer table = LongTable(kEntries);
  RepFileBuffer image(ByteBuffer(table.begin(), table.end()));
  ASSERT_EQ(image.Parse(), 0) << capture.out();
  ASSERT_EQ(image.footers.size(), 1u);
  const RepFooter& footer = image.footers.front();
  EXPECT_EQ(footer.entries.size(), kEntries);
  ASSERT_EQ(footer.parts.size(), kEntries);
  for (uint32_t k = 0; k < kEntries; k += 997) {
    EXPECT_EQ(footer.parts[k].index, k);
    EXPECT_NE(footer.parts[k].slots[2], nullptr);
  }
}

}  // namespace
}  // namespace tallymere::test
