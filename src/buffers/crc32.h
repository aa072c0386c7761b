// CRC-32 of the data buffers (reflected polynomial 0xEDB88320, the common
// IEEE 802.3 checksum; "123456789" gives 0xCBF43926).
#pragma once

#include <cstdint>
#include <vector>

#include "buffers/byte_reader.h"

namespace tallymere {

// The checksum of `size` bytes at `p`. Runs over every unpacked byte of every
// part that is read: with 512-bit or 128-bit carry-less multiplication where
// the processor has it, otherwise folding 64 bytes a pass through sixteen
// tables.
uint32_t Crc32(const uint8_t* p, uint64_t size);

// Each routine the processor can run, the one Crc32 uses first and the
// portable table routine last (tests hold them against each other).
struct Crc32Routine {
  const char* name;
  uint32_t (*checksum)(const uint8_t* p, uint64_t size);
};
std::vector<Crc32Routine> Crc32Routines();
inline uint32_t Crc32(Bytes bytes) { return Crc32(bytes.data(), bytes.size()); }

}  // namespace tallymere
