// Part buffers: the names the producer gives them and the records they hold.
// Every function appends the unpacked bytes of records; compressing them into
// data buffers is the image writer's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "repwriter/bytes.h"
#include "repwriter/random.h"

namespace repwriter {

// The kind of a part buffer. The numbers are the buffer IDs that the reader
// derives from the buffer name.
enum class BufferKind : int {
  Category = 0,
  Computer = 1,
  Description = 2,
  Events = 3,
  FirstPosition = 4,
  Instance = 5,
  LastPosition = 6,
  ValuePairs = 7,
  Source = 8,
  User = 9,
  FieldList = 10,
  FieldNames = 11,
  FieldValues = 12,
  Filters = 13,
  FilterState = 14,
};
inline constexpr int kBufferKindCount = 15;

// "<part>_<word>.dat", for example "12_events.dat". The four characters before
// the "." are what the reader matches to find the kind, and the number before
// "_" is the part index that groups buffers into one part.
std::string PartBufferName(BufferKind kind, std::uint32_t part_index);
// The filter kinds (13, 14) belong to the whole footer: no part index.
std::string FileWideBufferName(BufferKind kind);
// Name of a buffer holding a nested image, "segment_<n>.img": it matches no
// kind, so the reader classifies it by its "EDRP" signature.
std::string NestedImageName(std::size_t ordinal);

struct CategoryRow {
  std::u16string name{};
  std::uint16_t event_type = 0;
  std::uint16_t aux_word = 0;
  std::uint32_t event_id = 0;
};

struct ComputerRow {
  std::u16string name{};
  std::uint32_t time_base = 0;  // added to the running time of each event using this row
};

struct UserRow {
  std::u16string first{};
  std::u16string second{};
  Bytes value{};
};

struct ValuePair {
  std::uint32_t first = 0;
  std::uint32_t second = 0;
};

struct FieldList {
  std::vector<ValuePair> pairs{};
};

// Reference words with a meaning of their own.
inline constexpr std::uint32_t kReferenceEndMarker = 0x02000000;
inline constexpr std::uint32_t kExplicitIndexFlag = 0x01000000;  // next word is the index

struct EventRecord {
  std::uint32_t field_4 = 0;
  std::uint32_t cat_index = 0;
  std::uint32_t comp_index = 0;
  std::uint32_t field_16 = 0;
  std::uint32_t field_20 = 0;
  std::uint16_t ref_count = 0;
  std::uint16_t field_26 = 0;
  std::uint32_t time_delta = 0;
  std::uint32_t delta_32 = 0;
  std::vector<std::uint32_t> ref_words{};  // written as given
  Bytes data{};                            // trailing data bytes
};

// How many reference words a reader takes for a record: none for count 0;
// up to and including the first end marker, at most `ref_count`, for counts
// up to 32767; exactly one above (the count is read as signed 16-bit there).
std::size_t ReferenceWordCount(std::uint16_t ref_count, std::span<const std::uint32_t> words);

void AppendCategory(Bytes& out, const CategoryRow& row);
void AppendComputer(Bytes& out, const ComputerRow& row);
void AppendEvent(Bytes& out, const EventRecord& record);
void AppendString(Bytes& out, std::u16string_view text);  // string-list kinds 2, 5, 8, 11, 12
void AppendUser(Bytes& out, const UserRow& row);
void AppendValuePair(Bytes& out, const ValuePair& pair);
void AppendFieldList(Bytes& out, const FieldList& list);

Bytes CategoryBuffer(std::span<const CategoryRow> rows);
Bytes ComputerBuffer(std::span<const ComputerRow> rows);
Bytes EventsBuffer(std::span<const EventRecord> records);
Bytes StringListBuffer(std::span<const std::u16string> texts);
Bytes UserBuffer(std::span<const UserRow> rows);
Bytes ValuePairBuffer(std::span<const ValuePair> pairs);
Bytes FieldListBuffer(std::span<const FieldList> lists);

// Fills the reference list, the trailing data and the carried fields of
// `record` with one of several shapes chosen by `random`: no references,
// plain words that use up the count, a list ended by the end marker,
// explicit-index words, and counts above 32767 with their single word. The
// list always has exactly the length a reader computes for it. Reuses the
// record's vectors, so a caller looping over one record does not allocate.
void VaryRecordTail(SplitMix64& random, EventRecord& record);

}  // namespace repwriter
