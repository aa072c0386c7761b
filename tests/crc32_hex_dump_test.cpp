// The buffer checksum (every routine the processor can run, against zlib's)
// and the hex dump that shows a damaged buffer's first bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "buffers/crc32.h"
#include "buffers/hex_dump.h"
#include "platform/output.h"
#include "support/hex_dump_rule.h"
#include "support/output_capture.h"

namespace tallymere::test {
namespace {

using Buffer = std::vector<uint8_t>;

Buffer Text(const std::string& s) { return Buffer(s.begin(), s.end()); }

TEST(Crc32, MatchesTheCheckValueAndZlibAtEveryLengthAndAlignment) {
  const Buffer check = Text("123456789");
  EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
  std::mt19937 gen(7);
  Buffer data(300 + 3);
  for (auto& x : data) x = static_cast<uint8_t>(gen());
  for (size_t start = 0; start < 4; ++start) {
    for (size_t n = 0; n + start <= data.size() && n <= 300; ++n) {
      const uint32_t expected = static_cast<uint32_t>(crc32(0, data.data() + start, static_cast<uInt>(n)));
      ASSERT_EQ(Crc32(data.data() + start, n), expected) << "length " << n << " start " << start;
    }
  }
}

// Each routine the processor can run, at every alignment and at lengths
// around each of their block sizes (16, 64 and 256 bytes a step).
TEST(Crc32, EveryRoutineMatchesZlib) {
  std::mt19937 gen(11);
  Buffer data(4096 + 64);
  for (auto& x : data) x = static_cast<uint8_t>(gen());
  const std::vector<Crc32Routine> routines = Crc32Routines();
  ASSERT_FALSE(routines.empty());
  EXPECT_STREQ(routines.back().name, "tables");
  for (const Crc32Routine& routine : routines) {
    for (size_t start = 0; start < 64; start += 7) {
      for (size_t n = 0; n <= 4096; n += (n < 1100 ? 1 : 61)) {
        const uint32_t expected = static_cast<uint32_t>(crc32(0, data.data() + start, static_cast<uInt>(n)));
        ASSERT_EQ(routine.checksum(data.data() + start, n), expected)
            << routine.name << ", length " << n << " start " << start;
      }
    }
  }
  if (routines.size() == 1) GTEST_SKIP() << "no carry-less multiplication on this processor";
}

TEST(HexDump, PrintsRowsUpToCountOver16IncludingAPartialOrEmptyLastRow) {
  OutputCapture capture;
  HexDump(Out(), Bytes(Text("0123456789")), 10);
  EXPECT_EQ(capture.out(),
            Rule('-') + "00000000:  30 31 32 33 34 35 36 37 38 39" + std::string(21, ' ') + "0123456789\n" + Rule('='));
  capture.Clear();
  Buffer sixteen = Text("ABCDEFGHIJKLMNO");
  sixteen.push_back(0x01);  // control characters show as '.'
  HexDump(Out(), Bytes(sixteen), 16);
  EXPECT_EQ(capture.out(), Rule('-') +
                               "00000000:  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 01   ABCDEFGHIJKLMNO.\n" +
                               "00000010: " + std::string(51, ' ') + "\n" + Rule('='));
}

}  // namespace
}  // namespace tallymere::test
