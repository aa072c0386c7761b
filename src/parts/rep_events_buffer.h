// The event records of one part.
//
// Record layout (little-endian):
//    0  4  data_len     D: trailing data bytes
//    4  4  field_4
//    8  4  cat_index    record position in the part's category table
//   12  4  comp_index   record position in the part's computer table
//   16  4  field_16
//   20  4  field_20
//   24  2  ref_count    N: upper bound of the reference list
//   26  2  field_26
//   28  4  time_delta   seconds added to the running time offset
//   32  4  delta_32     added to a second running sum
//   36 4W  reference words
//  36+4W D data
//
// W: 0 when N is 0; for N up to 32767 the words up to and including the end
// marker 0x02000000, at most N; for larger N (negative as a signed 16-bit
// value) exactly one word.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "parts/event_walk.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

using RefPair = std::pair<uint32_t, uint32_t>;

struct RepEventEntry {
  uint32_t field_4 = 0;
  uint32_t cat_index = 0;
  uint32_t comp_index = 0;
  uint32_t field_16 = 0;
  uint32_t field_20 = 0;
  uint16_t ref_count = 0;
  uint16_t field_26 = 0;
  uint32_t time = 0;    // running sum of time_delta up to this record, mod 2^32
  uint32_t sum_32 = 0;  // running sum of delta_32
  // (index, value) pairs and the trailing data bytes. Both are held by the
  // events buffer (the data within its unpacked bytes), so decoding a record
  // allocates nothing of its own; they live as long as the buffer.
  std::span<const RefPair> refs;
  Bytes data;
};

class RepEventsBuffer final : public RepPartBuffer {
 public:
  explicit RepEventsBuffer(ByteBuffer content) : RepPartBuffer(std::move(content), 3) {}

  // Appends one entry per record, with the running sums started at 0.
  void Decode() override;

  // The fields of record i as stored; 0 (empty) for i >= ulCount.
  uint32_t DataLen(uint32_t i) const { return U32Field(i, EventField::kDataLen); }
  uint32_t Field4(uint32_t i) const { return U32Field(i, EventField::kField4); }
  uint32_t CatIndex(uint32_t i) const { return U32Field(i, EventField::kCatIndex); }
  uint32_t CompIndex(uint32_t i) const { return U32Field(i, EventField::kCompIndex); }
  uint32_t Field16(uint32_t i) const { return U32Field(i, EventField::kField16); }
  uint32_t Field20(uint32_t i) const { return U32Field(i, EventField::kField20); }
  uint16_t RefCount(uint32_t i) const { return U16Field(i, EventField::kRefCount); }
  uint16_t Field26(uint32_t i) const { return U16Field(i, EventField::kField26); }
  uint32_t TimeDelta(uint32_t i) const { return U32Field(i, EventField::kTimeDelta); }
  uint32_t Delta32(uint32_t i) const { return U32Field(i, EventField::kDelta32); }
  // visit(cat_index, comp_index, time_delta) for records [0, count) in
  // order: the fields the counters read, without a bounds test per field
  // (Parse proved that every record's fixed 36 bytes lie inside).
  template <class Visit>
  void ForEachKeyFields(uint32_t count, Visit&& visit) const {
    const uint8_t* base = bytes().data();
    const uint32_t records = std::min<uint32_t>(count, static_cast<uint32_t>(offsets_.size()));
    for (uint32_t i = 0; i < records; ++i) {
      // Records are read again from the second-level cache: ask a few ahead.
      if (i + kPrefetchRecords < records) PrefetchForRead(base + offsets_[i + kPrefetchRecords]);
      const uint8_t* record = base + offsets_[i];
      visit(LoadLE32(record + EventField::kCatIndex), LoadLE32(record + EventField::kCompIndex),
            LoadLE32(record + EventField::kTimeDelta));
    }
  }

  // The W reference words (empty when N is 0) and the D data bytes.
  Bytes RefWords(uint32_t i) const;
  Bytes DataBytes(uint32_t i) const;

  std::vector<RepEventEntry, PooledAllocator<RepEventEntry>> table;

  // The size walk, written out for the events buffers, which are by far the
  // largest; the same rules as RecordSize.
  uint64_t CountRecords() override;

  // Parse for a part counted as it is parsed and released after: the same
  // walk and status, without the columns (nothing reads them). Each record
  // the walk meets goes to visit(cat_index, comp_index, time_delta) at once,
  // while its bytes are at hand; the caller drops what it made of them when
  // the status is not 0.
  template <class Visit>
  int ParseVisitingKeyFields(Visit&& visit) {
    if (buffer_len > UINT32_MAX) return -1;  // as Parse: offsets are 32 bits
    const uint8_t* base = bytes().data();
    uint32_t records = 0;
    const uint64_t reached = WalkRecords([&](uint64_t offset, uint64_t) {
      ++records;
      const uint8_t* record = base + offset;
      visit(LoadLE32(record + EventField::kCatIndex), LoadLE32(record + EventField::kCompIndex),
            LoadLE32(record + EventField::kTimeDelta));
    });
    ulCount = records;
    return reached == buffer_len ? 0 : -1;
  }
  // Parse for a part decoded as it is parsed and released after counting:
  // the same walk and status, decoding each record (as Decode does) as the
  // walk meets it instead of noting the columns. The table is not to be
  // used when the status is not 0.
  int ParseDecoding();

 protected:
  std::optional<uint64_t> RecordSize(uint64_t offset) const override;

 private:
  static constexpr uint32_t kPrefetchRecords = 8;

  // Walks the records from the start, calling on_record(offset, size) for
  // each one whose size is known (its fixed part lies inside the bytes, the
  // rest may not); returns the offset reached, buffer_len when the records
  // fit exactly.
  template <class OnRecord>
  uint64_t WalkRecords(OnRecord&& on_record) const {
    using namespace event_walk;
    const uint8_t* base = bytes().data();
    const uint64_t end = buffer_len;
    uint64_t offset = 0;
    while (offset < end) {
      uint64_t size = 0;
      // The records come from the second-level cache; asking for the lines a
      // few records ahead takes their fetch off the walk's chain of loads.
      PrefetchForRead(base + std::min(offset + kPrefetchAhead, end - 1));
      const uint32_t words = RangeFits(offset, kWindowSize, end) ? WindowWordCount(base + offset) : kUnknownWords;
      if (words != kUnknownWords) {
        size = kFixedSize + 4 * uint64_t{words} + LoadLE32(base + offset + EventField::kDataLen);
      } else {
        // Long lists, and records near the end: word by word, within the bytes.
        const std::optional<uint64_t> measured = RepEventsBuffer::RecordSize(offset);
        if (!measured) break;
        size = *measured;
      }
      on_record(offset, size);
      offset += size;
    }
    return offset;
  }

  // Where record i ends: the next one's start, or the end of the bytes.
  uint64_t RecordEnd(uint32_t i) const;
  // The running sums of a decode, from 0 at its first record.
  struct DecodeSums {
    uint32_t time = 0;
    uint32_t sum_32 = 0;
  };
  // Appends the entry of the record whose bytes are [start, end).
  void DecodeRecord(uint64_t start, uint64_t end, DecodeSums& sums, RefPair*& next);
  // Room for a decode's pairs, kept as long as the buffer.
  RefPair* NewRefBlock(uint64_t most_pairs);
  // Decode over records Parse proved, and over any others.
  void DecodeParsed(RefPair* next);
  void DecodeChecked(RefPair* next);
  size_t DecodeParsedReferences(const uint8_t* at, uint64_t words, uint64_t start, uint16_t ref_count,
                                RefPair* out) const;
  // The reference words and the data of record i, which fill the record
  // after its fixed part; empty for i >= ulCount.
  struct RecordTail {
    Bytes words;
    Bytes data;
  };
  RecordTail Tail(uint32_t i) const;
  // W of the record at `offset`, or nothing when the words scanned do not fit.
  std::optional<uint32_t> ReferenceWordCount(uint64_t offset) const;

  // The decoded pairs, one block per Decode call. A block is raw room and
  // each pair is constructed as it is decoded: a pair's default constructor
  // would zero the whole block first.
  struct RefBlockDeleter {
    size_t size = 0;
    void operator()(RefPair* block) const { PooledAllocator<RefPair>().deallocate(block, size); }
  };
  std::vector<std::unique_ptr<RefPair[], RefBlockDeleter>> ref_blocks_;
};

}  // namespace tallymere
