#include "parts/rep_events_buffer.h"

#include <algorithm>
#include <bit>
#include <memory>

namespace tallymere {

namespace {

using event_walk::kEndMarker;
using event_walk::kFixedSize;
using event_walk::kWindowWords;
constexpr uint32_t kPlainAll = 0xFFFFFFFF;       // a plain value despite bit 24
constexpr uint32_t kExplicitIndex = 0x01000000;  // the next word is the index

}  // namespace

std::optional<uint32_t> RepEventsBuffer::ReferenceWordCount(uint64_t offset) const {
  const int16_t n = static_cast<int16_t>(bytes().U16At(offset + EventField::kRefCount));
  if (n == 0) return 0;
  if (n < 0) return 1;  // writers' counts of 32768 and more cover one word
  // Scan only the words that lie inside the bytes; running out of them
  // before the end marker or the n-th word means the record does not fit.
  const uint64_t first = offset + kFixedSize;
  const uint64_t room = first < bytes().size() ? (bytes().size() - first) / 4 : 0;
  const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(room, static_cast<uint32_t>(n)));
  const uint8_t* words = bytes().data() + first;
  // Four words a step, compared without a branch per word: reference lists
  // are short and of varying length, so per-word branches mispredict.
  for (uint32_t w = 0; w < limit; w += 4) {
    const uint32_t here = std::min<uint32_t>(4, limit - w);
    uint32_t found = 0;
    for (uint32_t k = 0; k < here; ++k) found |= uint32_t{LoadLE32(words + 4 * (w + k)) == kEndMarker} << k;
    if (found != 0) return w + static_cast<uint32_t>(std::countr_zero(found)) + 1;
  }
  if (limit < static_cast<uint32_t>(n)) return std::nullopt;
  return static_cast<uint32_t>(n);
}

std::optional<uint64_t> RepEventsBuffer::RecordSize(uint64_t offset) const {
  if (!bytes().Fits(offset, kFixedSize)) return std::nullopt;
  const std::optional<uint32_t> words = ReferenceWordCount(offset);
  if (!words) return std::nullopt;
  return kFixedSize + 4 * uint64_t{*words} + bytes().U32At(offset + EventField::kDataLen);
}

namespace {

// Bit k set when word k of the window carries an explicit index: bit 24
// set, and not the all-ones plain value.
inline uint32_t ExplicitIndexBits(const uint8_t* words) {
#if defined(__SSE2__)
  const __m128i flag = _mm_set1_epi32(static_cast<int>(kExplicitIndex));
  const __m128i all = _mm_set1_epi32(-1);
  const auto bits = [&](const uint8_t* at) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i flagged = _mm_cmpeq_epi32(_mm_and_si128(w, flag), flag);
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(_mm_cmpeq_epi32(w, all), flagged)));
  };
  return static_cast<uint32_t>(bits(words) | bits(words + 16) << 4);
#else
  uint32_t found = 0;
  for (uint32_t k = 0; k < kWindowWords; ++k) {
    const uint32_t word = LoadLE32(words + 4 * k);
    found |= uint32_t{(word & kExplicitIndex) != 0 && word != kPlainAll} << k;
  }
  return found;
#endif
}

}  // namespace

uint64_t RepEventsBuffer::CountRecords() {
  OffsetList& starts = WalkedOffsets();
  starts.resize(buffer_len / kFixedSize + 1);  // no record is shorter
  uint32_t* next_start = starts.data();
  const uint64_t reached =
      WalkRecords([&](uint64_t offset, uint64_t) { *next_start++ = static_cast<uint32_t>(offset); });
  starts.resize(static_cast<size_t>(next_start - starts.data()));
  ulCount = static_cast<uint32_t>(starts.size());
  return reached;
}

uint64_t RepEventsBuffer::RecordEnd(uint32_t i) const { return i + 1 < offsets_.size() ? offsets_[i + 1] : buffer_len; }

// A parsed record ends where the next begins, so its words are what lies
// between the fixed part and the data.
RepEventsBuffer::RecordTail RepEventsBuffer::Tail(uint32_t i) const {
  if (!HasRecord(i)) return {};
  const uint64_t words_start = RecordOffset(i) + kFixedSize;
  const uint64_t data_len = DataLen(i);
  const uint64_t data_start = RecordEnd(i) - data_len;
  return {BytesField(i, kFixedSize, data_start > words_start ? data_start - words_start : 0),
          bytes().SubAt(data_start, data_len)};
}

Bytes RepEventsBuffer::RefWords(uint32_t i) const { return Tail(i).words; }

Bytes RepEventsBuffer::DataBytes(uint32_t i) const { return Tail(i).data; }

namespace {

// The (index, value) pairs of a record's `count` reference words,
// constructed in `out` (room for one pair per word); returns how many were
// written. The count of words read bounds every load: each word is read
// only after the loop has found it below the count. Inlined into the decode
// loops, where most lists are a word or two long.
inline size_t DecodeReferenceWords(const uint8_t* at, uint64_t count, uint16_t ref_count, RefPair* out) {
  size_t written = 0;
  uint32_t index = 0;
  uint64_t k = 0;
  while (k < count) {
    uint32_t value = LoadLE32(at + 4 * k++);
    if (value == kEndMarker) break;
    if ((value & kExplicitIndex) != 0 && value != kPlainAll) {
      if (k >= count) break;  // the index word would lie beyond the record's words
      index = LoadLE32(at + 4 * k++);
      value &= ~kExplicitIndex;
    }
    std::construct_at(out + written++, index, value);
    ++index;
    if (static_cast<int32_t>(index) >= static_cast<int32_t>(ref_count)) break;
  }
  return written;
}

}  // namespace

// Parse proved, when it built the columns, that every record's fixed part,
// reference words and data fill the bytes from its start to the next
// record's exactly; the fields are then read without a test each. Without
// columns (a part that failed to parse) every field is read checked.
void RepEventsBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  // Pairs never outnumber the reference words, and those fill at most the
  // bytes after the fixed part of every record.
  RefPair* next = NewRefBlock((buffer_len - std::min<uint64_t>(buffer_len, kFixedSize * ulCount)) / 4);
  if (offsets_.size() == ulCount) {
    DecodeParsed(next);
  } else {
    DecodeChecked(next);
  }
}

// A window's pairs may be written past the last one: the block keeps room
// for them.
RefPair* RepEventsBuffer::NewRefBlock(uint64_t most_pairs) {
  const uint64_t room = most_pairs + kWindowWords;
  return ref_blocks_.emplace_back(PooledAllocator<RefPair>().allocate(room), RefBlockDeleter{room}).get();
}

// The pairs of a record's W words, as the walk measured them. A list of
// plain words inside the walk's window, the usual kind, is decoded without
// a branch on the words: W' pairs (index k, word k), where W' leaves out a
// last word that is the end marker (the walk stopped at the first one, and
// W never exceeds the count, so the count cannot stop the list earlier).
// A record without a list has W = 0 and goes the same way.
// All window words are written, into room the block keeps past its end.
size_t RepEventsBuffer::DecodeParsedReferences(const uint8_t* at, uint64_t words, uint64_t start, uint16_t ref_count,
                                               RefPair* out) const {
  if (words > kWindowWords || !RangeFits(start + kFixedSize, 4 * kWindowWords, buffer_len) ||
      (ExplicitIndexBits(at) & ((uint32_t{1} << words) - 1)) != 0) {
    return DecodeReferenceWords(at, words, ref_count, out);
  }
  for (uint32_t k = 0; k < kWindowWords; ++k) std::construct_at(out + k, k, LoadLE32(at + 4 * k));
  const bool ends_in_marker = words != 0 && LoadLE32(at + 4 * (words - 1)) == kEndMarker;
  return words - (ends_in_marker ? 1 : 0);
}

// Each entry is built whole and stored once: an entry constructed in the
// table and then filled would be written twice, and the table is as large
// as the part. The record's fixed part, words and data fill [start, end).
// Inlined into both loops, whatever its size: called, it would pass the
// running sums and the pair pointer through memory, a store and a load on
// the chain from each record to the next.
[[gnu::always_inline]] inline void RepEventsBuffer::DecodeRecord(uint64_t start, uint64_t end, DecodeSums& sums,
                                                                 RefPair*& next) {
  const uint8_t* record = bytes().data() + start;
  sums.time += LoadLE32(record + EventField::kTimeDelta);
  sums.sum_32 += LoadLE32(record + EventField::kDelta32);
  const uint16_t ref_count = LoadLE16(record + EventField::kRefCount);
  const uint64_t data_start = end - LoadLE32(record + EventField::kDataLen);
  const uint64_t words = (data_start - start - kFixedSize) / 4;
  const size_t pairs = DecodeParsedReferences(record + kFixedSize, words, start, ref_count, next);
  table.push_back({.field_4 = LoadLE32(record + EventField::kField4),
                   .cat_index = LoadLE32(record + EventField::kCatIndex),
                   .comp_index = LoadLE32(record + EventField::kCompIndex),
                   .field_16 = LoadLE32(record + EventField::kField16),
                   .field_20 = LoadLE32(record + EventField::kField20),
                   .ref_count = ref_count,
                   .field_26 = LoadLE16(record + EventField::kField26),
                   .time = sums.time,
                   .sum_32 = sums.sum_32,
                   .refs = {next, pairs},
                   .data = Bytes(bytes().data() + data_start, end - data_start)});
  next += pairs;
}

int RepEventsBuffer::ParseDecoding() {
  if (buffer_len > UINT32_MAX) return -1;  // as Parse: offsets are 32 bits
  // The record count is known only once the walk is done: room for as many
  // records as the bytes could hold, and for a pair per word after them.
  table.reserve(table.size() + buffer_len / kFixedSize);
  RefPair* next = NewRefBlock(buffer_len / 4);
  DecodeSums sums;
  uint32_t records = 0;
  const uint64_t reached = WalkRecords([&](uint64_t start, uint64_t size) {
    ++records;
    // A record that runs past the bytes ends the walk short: the part fails
    // and its table is not used, so it is not decoded.
    if (size <= buffer_len - start) DecodeRecord(start, start + size, sums, next);
  });
  ulCount = records;
  return reached == buffer_len ? 0 : -1;
}

void RepEventsBuffer::DecodeParsed(RefPair* next) {
  const uint8_t* base = bytes().data();
  DecodeSums sums;
  for (uint32_t i = 0; i < ulCount; ++i) {
    if (i + kPrefetchRecords < ulCount) PrefetchForRead(base + offsets_[i + kPrefetchRecords]);
    DecodeRecord(offsets_[i], RecordEnd(i), sums, next);
  }
}

void RepEventsBuffer::DecodeChecked(RefPair* next) {
  uint32_t time = 0;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < ulCount; ++i) {
    // The fixed part of the record; empty past the records.
    const ByteView fields(HasRecord(i) ? bytes().SubAt(RecordOffset(i), kFixedSize) : Bytes{});
    time += fields.U32At(EventField::kTimeDelta);
    sum += fields.U32At(EventField::kDelta32);
    RepEventEntry& entry = table.emplace_back();
    entry.field_4 = fields.U32At(EventField::kField4);
    entry.cat_index = fields.U32At(EventField::kCatIndex);
    entry.comp_index = fields.U32At(EventField::kCompIndex);
    entry.field_16 = fields.U32At(EventField::kField16);
    entry.field_20 = fields.U32At(EventField::kField20);
    entry.ref_count = fields.U16At(EventField::kRefCount);
    entry.field_26 = fields.U16At(EventField::kField26);
    entry.time = time;
    entry.sum_32 = sum;
    const RecordTail tail = Tail(i);
    if (entry.ref_count != 0) {
      const size_t pairs = DecodeReferenceWords(tail.words.data(), tail.words.size() / 4, entry.ref_count, next);
      entry.refs = {next, pairs};
      next += pairs;
    }
    entry.data = tail.data;
  }
}

}  // namespace tallymere
