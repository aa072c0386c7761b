// Buffer IDs: what kind of content a buffer table entry refers to.
//
// A buffer's name reads like "12_events.dat": the number before "_" is the
// part index that groups buffers into one part, and the four code units
// before the first "." identify the kind. A name that identifies no kind is
// classified by the magic at the start of the content instead.
#pragma once

#include <cstdint>
#include <string_view>

#include "buffers/byte_reader.h"
#include "buffers/rep_buffer.h"

namespace tallymere {

// Buffer IDs 0..12 are held by a part; each kind has one slot in it.
inline constexpr int kPartKinds = 13;

enum PartBufferId : int32_t {
  kCatBufferId = 0,
  kCompBufferId = 1,
  kDescBufferId = 2,
  kEventsBufferId = 3,
  kFirstPosBufferId = 4,
  kInsBufferId = 5,
  kLastPosBufferId = 6,
  kRecordBufferId = 7,
  kSrcBufferId = 8,
  kUserBufferId = 9,
  kNfieldsDatBufferId = 10,
  kNfNamesBufferId = 11,
  kNfValuesBufferId = 12,
  kFiltersDatBufferId = 13,
  kFilterStatBufferId = 14,
};
inline constexpr int32_t kPartBufferIds = 15;  // IDs 0..14

// Magics of the first four content bytes (little-endian u32).
inline constexpr uint32_t kFileImageMagic = 0x1935197B;    // a repository image
inline constexpr uint32_t kNestedImageMagic = 0x50524445;  // "EDRP": a data buffer with an image

// 0..14 from the name's kind key, or -3 when it matches none (also for a name
// without "." or shorter than four code units).
int32_t BufferIdFromName(std::u16string_view name);
// -2, -1 or -3 from the first four bytes (-3 when there are fewer).
int32_t BufferIdFromMagic(Bytes content);
// The part index: the name up to the first "_" read as a signed decimal with
// the usual string-to-int rules. Throws std::invalid_argument("invalid stoi
// argument") without digits and std::out_of_range("stoi argument out of
// range") outside the i32 range.
int32_t PartIndexFromName(std::u16string_view name);
// The name that Dump prints for a part buffer ID, or "" outside 0..14.
const char* PrintedBufferName(int32_t id);

}  // namespace tallymere
