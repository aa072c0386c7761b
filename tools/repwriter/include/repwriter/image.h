// The repository image: a 44-byte header, compressed data buffers, and
// footers chained backwards from the end that list the buffers and carry
// text properties. This layer writes exactly the buffers and properties it is
// given; the event-level description (description.h) builds them from events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "repwriter/bytes.h"

namespace repwriter {

inline constexpr std::size_t kImageHeaderSize = 44;
inline constexpr int kDefaultCompressionLevel = 6;

struct Property {
  std::u16string name{};
  std::u16string value{};
};

struct BufferPlan {
  std::string name{};              // ASCII: UTF-16 in the buffer table, zero-terminated bytes in the data buffer
  Bytes content{};                 // the unpacked bytes
  bool holds_image = false;        // writes "RP" after "ED" so the buffer starts with "EDRP"
  std::uint64_t unused_value = 0;  // the table field readers skip
};

struct FooterPlan {
  std::vector<BufferPlan> buffers{};
  std::vector<Property> properties{};  // written in this order, duplicates included
};

// Deliberate faults, one per switch. Each names one fault a reader must
// survive; apply several by listing several DamageSpots.
enum class Damage {
  None,
  // One data buffer (DamageSpot::footer, DamageSpot::buffer):
  BadCrc,                    // stored CRC-32 differs from the content's
  WrongSignature,            // "EX" instead of "ED"
  CorruptDeflate,            // first stream byte declares the reserved block type
  UnpackedLenTooSmall,       // trailer length 1: the reader must grow its guess
  UnpackedLenHuge,           // trailer length 0xFFFFFFFF
  BufferShorterThanHeader,   // table length one byte below signature, name and trailer
  EntryPastImage,            // table entry's range ends one byte past the image
  EntryNameLengthPastTable,  // name length one unit longer than the table holds
  // One footer (DamageSpot::footer):
  ChainOutOfRange,            // previous-footer offset is the image size
  ChainLoopsToSelf,           // previous-footer link names this footer
  ChainPointsForward,         // previous-footer link names the last footer
  PropertyLengthPastSection,  // first property's value length one unit past the section
  MissingEventsCount,
  MissingComputerType,
  MissingPlatformId,
  MissingUnderDataSource,
  NonNumericEventsCount,  // value "x12"
  NonNumericComputerType,
  NonNumericPlatformId,
  EventsCountMismatch,  // "EventsCount" one more than written
  // One part, by part index (DamageSpot::part); event-level descriptions only:
  CategoryIndexOutOfRange,    // first record's cat_index equals the category count
  ComputerIndexOutOfRange,    // first record's comp_index equals the computer count
  StrayBytesAfterLastRecord,  // three bytes after the last event record
  // The whole image:
  HeaderSumOff,       // last_footer_len one too large
  Truncate,           // image cut to DamageSpot::length bytes
  ShorterThanHeader,  // image cut to DamageSpot::length bytes, at most (and by default) 43
};

struct DamageSpot {
  Damage what = Damage::None;
  std::size_t footer = 0;    // footer position, first footer of the image is 0
  std::string buffer{};      // table entry name; empty means the footer's first entry
  std::uint32_t part = 0;    // part index for the record faults
  std::uint64_t length = 0;  // new image length for Truncate / ShorterThanHeader
};

struct ImagePlan {
  std::vector<FooterPlan> footers{};                 // in file order; the last one ends the image
  int compression_level = kDefaultCompressionLevel;  // zlib level 0..9
  std::vector<DamageSpot> damage{};
};

// Lays out header, then per footer its data buffers followed by the footer
// itself. Every footer thus ends where the next footer's buffers begin, and
// the last one ends the image.
Bytes BuildImage(const ImagePlan& plan);

// One data buffer: "ED", 10 header bytes ("RP" first when it holds an image),
// the name and its zero byte, the raw DEFLATE stream, CRC-32 and length.
Bytes EncodeDataBuffer(const BufferPlan& buffer, int compression_level);

// Property names the reader looks up.
inline constexpr char16_t kEventsCount[] = u"EventsCount";
inline constexpr char16_t kComputerType[] = u"ComputerType";
inline constexpr char16_t kPlatformId[] = u"PlatformID";
inline constexpr char16_t kUnderDataSource[] = u"UnderDataSource";
inline constexpr char16_t kPrevPositionGuid[] = u"PrevPositionGUID";
inline constexpr char16_t kActiveSegmentId[] = u"ActiveSegmentId";

}  // namespace repwriter
