// CRC-32 of the data buffers (reflected polynomial 0xEDB88320, the common
// IEEE 802.3 checksum; "123456789" gives 0xCBF43926).
#pragma once

#include <cstdint>

#include "buffers/byte_reader.h"

namespace tallymere {

// The checksum of `size` bytes at `p`. Runs over every unpacked byte of every
// part that is read: with carry-less multiplication where the processor has
// it, otherwise folding 64 bytes a pass through sixteen tables.
uint32_t Crc32(const uint8_t* p, uint64_t size);
// The table routine alone, the portable fallback.
uint32_t Crc32Portable(const uint8_t* p, uint64_t size);
// True when Crc32 uses the carry-less multiplication routine.
bool Crc32Accelerated();
inline uint32_t Crc32(Bytes bytes) { return Crc32(bytes.data(), bytes.size()); }

}  // namespace tallymere
