#include "container/crc32.h"

#include <array>

namespace tallymere {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr int kTables = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kTables>;

// Table 0 is the byte-wise table; table k gives the CRC of a byte followed by
// k zero bytes, so sixteen bytes can be folded with one lookup each.
constexpr CrcTables BuildTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < kTables; ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr CrcTables kTablesData = BuildTables();

// Folds 16 bytes: four little-endian words, the first one combined with the
// running CRC; byte j of word i indexes table 15 - 4i - j.
inline uint32_t Fold16(uint32_t crc, const uint8_t* p) {
  uint32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t word = LoadLE32(p + 4 * i);
    if (i == 0) word ^= crc;
    for (int j = 0; j < 4; ++j) {
      result ^= kTablesData[15 - 4 * i - j][(word >> (8 * j)) & 0xFF];
    }
  }
  return result;
}

}  // namespace

uint32_t Crc32(const uint8_t* p, uint64_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  while (size >= 64) {
    for (int step = 0; step < 4; ++step) crc = Fold16(crc, p + 16 * step);
    p += 64;
    size -= 64;
  }
  for (; size > 0; --size, ++p) crc = kTablesData[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace tallymere
