#include "parts/rep_events_buffer.h"

#include <algorithm>
#include <bit>

namespace tallymere {

namespace {

constexpr uint64_t kFixedSize = 36;
constexpr uint32_t kEndMarker = 0x02000000;
constexpr uint32_t kPlainAll = 0xFFFFFFFF;     // a plain value despite bit 24
constexpr uint32_t kExplicitIndex = 0x01000000;  // the next word is the index

}  // namespace

std::optional<uint32_t> RepEventsBuffer::ReferenceWordCount(uint64_t offset) const {
  const int16_t n = static_cast<int16_t>(bytes().U16At(offset + 24));
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
  return kFixedSize + 4 * uint64_t{*words} + bytes().U32At(offset);
}

uint64_t RepEventsBuffer::CountRecords() {
  ulCount = 0;
  uint64_t offset = 0;
  std::vector<uint32_t>& starts = WalkedOffsets();
  starts.clear();
  starts.reserve(buffer_len / 64);
  while (offset < buffer_len) {
    const std::optional<uint64_t> size = RecordSize(offset);
    if (!size) return offset;
    starts.push_back(static_cast<uint32_t>(offset));
    ++ulCount;
    offset += *size;
  }
  return offset;
}

Bytes RepEventsBuffer::RefWords(uint32_t i) const {
  if (!HasRecord(i)) return {};
  const uint32_t words = ReferenceWordCount(RecordOffset(i)).value_or(0);
  return BytesField(i, kFixedSize, 4 * uint64_t{words});
}

Bytes RepEventsBuffer::DataBytes(uint32_t i) const {
  if (!HasRecord(i)) return {};
  return BytesField(i, kFixedSize + RefWords(i).size(), DataLen(i));
}

size_t DecodeReferences(Bytes words, uint16_t ref_count, RefPair* out) {
  const ByteView view(words);
  const uint64_t count = words.size() / 4;
  size_t written = 0;
  uint32_t index = 0;
  uint64_t k = 0;
  while (k < count) {
    uint32_t value = view.U32At(4 * k++);
    if (value == kEndMarker) break;
    if ((value & kExplicitIndex) != 0 && value != kPlainAll) {
      if (k >= count) break;  // the index word would lie beyond the record's words
      index = view.U32At(4 * k++);
      value &= ~kExplicitIndex;
    }
    out[written++] = {index, value};
    ++index;
    if (static_cast<int32_t>(index) >= static_cast<int32_t>(ref_count)) break;
  }
  return written;
}

void RepEventsBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  // Pairs never outnumber the reference words, and those fill at most the
  // bytes after the fixed part of every record.
  const uint64_t most_words = (buffer_len - std::min<uint64_t>(buffer_len, 36 * uint64_t{ulCount})) / 4;
  RefPair* next = ref_blocks_.emplace_back(std::make_unique_for_overwrite<RefPair[]>(most_words)).get();
  uint32_t time = 0;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < ulCount; ++i) {
    time += TimeDelta(i);
    sum += Delta32(i);
    RepEventEntry& entry = table.emplace_back();
    entry.field_4 = Field4(i);
    entry.cat_index = CatIndex(i);
    entry.comp_index = CompIndex(i);
    entry.field_16 = Field16(i);
    entry.field_20 = Field20(i);
    entry.ref_count = RefCount(i);
    entry.field_26 = Field26(i);
    entry.time = time;
    entry.sum_32 = sum;
    const Bytes words = RefWords(i);
    if (entry.ref_count != 0) {
      const size_t pairs = DecodeReferences(words, entry.ref_count, next);
      entry.refs = {next, pairs};
      next += pairs;
    }
    entry.data = BytesField(i, kFixedSize + words.size(), DataLen(i));
  }
}

}  // namespace tallymere
