// The program's version record, as the resource compiler lays it out:
//   u16 total length, u16 value length, u16 type,
//   the key "VS_VERSION_INFO" in UTF-16 with its terminator (32 bytes),
//   zero words that align the value,
//   the fixed file information: u32 signature 0xFEEF04BD, u32 structure
//   version, u32 file version high, u32 file version low, ...
// The reading is plain byte work, so it lives here and is tested on every
// build; only the Windows layer has such a record to read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tallymere::platform {

// The file version's four parts (major, minor, patch, build), or nothing when
// the record is too short, has no value, or lacks the signature.
std::optional<std::array<uint16_t, 4>> ReadVersionRecord(std::span<const uint8_t> record);

}  // namespace tallymere::platform
