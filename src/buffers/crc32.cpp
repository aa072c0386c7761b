#include "buffers/crc32.h"

#include <array>

// The carry-less multiplication routine is built for x86-64 with GCC or
// Clang and chosen at run time when the processor has the instructions.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define TALLYMERE_CRC_CLMUL 1
#include <immintrin.h>
#else
#define TALLYMERE_CRC_CLMUL 0
#endif

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

// The running (complemented) CRC over more bytes, by the tables.
uint32_t UpdateByTables(uint32_t crc, const uint8_t* p, uint64_t size) {
  while (size >= 64) {
    for (int step = 0; step < 4; ++step) crc = Fold16(crc, p + 16 * step);
    p += 64;
    size -= 64;
  }
  for (; size > 0; --size, ++p) crc = kTablesData[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if TALLYMERE_CRC_CLMUL
// Carry-less multiplication folds 64 bytes a step: four 128-bit lanes are
// each multiplied by x^(512+-64) mod P and combined with the next 64 bytes,
// then folded into one lane, reduced to 64 and to 32 bits (Barrett). The
// constants are powers of x modulo the bit-reflected polynomial.
#define TALLYMERE_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

TALLYMERE_CLMUL_TARGET inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// lane * k (high and low halves by their constants) + next.
TALLYMERE_CLMUL_TARGET inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x11), _mm_clmulepi64_si128(lane, k, 0x00)), next);
}

// The last lane: folded over the remaining 16-byte blocks, reduced from 128
// to 64 bits, then to 32 by Barrett reduction; the last bytes by table.
TALLYMERE_CLMUL_TARGET uint32_t FinishLane(__m128i x1, const uint8_t* p, uint64_t size) {
  alignas(16) static const uint64_t kFold1[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t kFold64[] = {0x0163cd6124, 0};
  alignas(16) static const uint64_t kBarrett[] = {0x01db710641, 0x01f7011641};
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
  for (; size >= 16; p += 16, size -= 16) x1 = Fold(x1, k, Load(p));
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00));
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(t, k, 0x00));
  const uint32_t crc = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
  return UpdateByTables(crc, p, size);
}

TALLYMERE_CLMUL_TARGET uint32_t UpdateByClmul(uint32_t crc, const uint8_t* p, uint64_t size) {
  if (size < 64) return UpdateByTables(crc, p, size);
  alignas(16) static const uint64_t kFold4[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t kFold1[] = {0x01751997d0, 0x00ccaa009e};
  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
  p += 64;
  size -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
  for (; size >= 64; p += 64, size -= 64) {
    x1 = Fold(x1, k, Load(p));
    x2 = Fold(x2, k, Load(p + 16));
    x3 = Fold(x3, k, Load(p + 32));
    x4 = Fold(x4, k, Load(p + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
  return FinishLane(Fold(Fold(Fold(x1, k, x2), k, x3), k, x4), p, size);
}

// With 512-bit carry-less multiplication the same folds run on four lanes
// of four 128-bit lanes each: 256 bytes a step, four times as many as the
// 128-bit routine, then the sixteen lanes are folded into one.
#define TALLYMERE_VPCLMUL_TARGET __attribute__((target("vpclmulqdq,avx512f,avx512vl,pclmul,sse4.1")))

// Each 128-bit lane * k (halves by their constants) + next.
TALLYMERE_VPCLMUL_TARGET inline __m512i Fold512(__m512i lanes, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x11), _mm512_clmulepi64_epi128(lanes, k, 0x00),
                                   next, 0x96);  // three-way exclusive or
}

TALLYMERE_VPCLMUL_TARGET inline __m512i Constants512(uint64_t low, uint64_t high) {
  return _mm512_set_epi64(static_cast<int64_t>(high), static_cast<int64_t>(low), static_cast<int64_t>(high),
                          static_cast<int64_t>(low), static_cast<int64_t>(high), static_cast<int64_t>(low),
                          static_cast<int64_t>(high), static_cast<int64_t>(low));
}

TALLYMERE_VPCLMUL_TARGET uint32_t UpdateByVpclmul(uint32_t crc, const uint8_t* p, uint64_t size) {
  if (size < 512) return UpdateByClmul(crc, p, size);
  __m512i x0 =
      _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  __m512i x1 = _mm512_loadu_si512(p + 64), x2 = _mm512_loadu_si512(p + 128), x3 = _mm512_loadu_si512(p + 192);
  p += 256;
  size -= 256;
  const __m512i k2048 = Constants512(0x011542778a, 0x01322d1430);  // 2048 bits ahead
  for (; size >= 256; p += 256, size -= 256) {
    x0 = Fold512(x0, k2048, _mm512_loadu_si512(p));
    x1 = Fold512(x1, k2048, _mm512_loadu_si512(p + 64));
    x2 = Fold512(x2, k2048, _mm512_loadu_si512(p + 128));
    x3 = Fold512(x3, k2048, _mm512_loadu_si512(p + 192));
  }
  const __m512i k512 = Constants512(0x0154442bd4, 0x01c6e41596);  // 512 bits ahead
  x0 = Fold512(Fold512(Fold512(x0, k512, x1), k512, x2), k512, x3);
  for (; size >= 64; p += 64, size -= 64) x0 = Fold512(x0, k512, _mm512_loadu_si512(p));
  // The four lanes, 384, 256 and 128 bits before the last, onto the last.
  const __m512i k_lanes =
      _mm512_set_epi64(0, 0, 0x00ccaa009e, 0x01751997d0, 0x015a546366, 0x00f1da05aa, 0x0174359406, 0x003db1ecdc);
  const __m512i folded =
      _mm512_xor_si512(_mm512_clmulepi64_epi128(x0, k_lanes, 0x11), _mm512_clmulepi64_epi128(x0, k_lanes, 0x00));
  alignas(64) __m128i last[4];
  alignas(64) __m128i earlier[4];
  _mm512_store_si512(last, x0);
  _mm512_store_si512(earlier, folded);
  const __m128i lane = _mm_xor_si128(_mm_xor_si128(last[3], earlier[0]), _mm_xor_si128(earlier[1], earlier[2]));
  return FinishLane(lane, p, size);
}

bool ProcessorHasClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool ProcessorHasVpclmul() {
  __builtin_cpu_init();
  return ProcessorHasClmul() && __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl");
}
#endif

using Updater = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

template <Updater update>
uint32_t Checksum(const uint8_t* p, uint64_t size) {
  return ~update(0xFFFFFFFFu, p, size);
}

template <Updater update>
Crc32Routine Routine(const char* name) {
  return {name, Checksum<update>};
}

}  // namespace

uint32_t Crc32(const uint8_t* p, uint64_t size) {
  static const auto checksum = Crc32Routines().front().checksum;
  return checksum(p, size);
}

// Fastest first.
std::vector<Crc32Routine> Crc32Routines() {
  std::vector<Crc32Routine> routines;
#if TALLYMERE_CRC_CLMUL
  if (ProcessorHasVpclmul()) routines.push_back(Routine<UpdateByVpclmul>("512-bit carry-less"));
  if (ProcessorHasClmul()) routines.push_back(Routine<UpdateByClmul>("128-bit carry-less"));
#endif
  routines.push_back(Routine<UpdateByTables>("tables"));
  return routines;
}

}  // namespace tallymere
