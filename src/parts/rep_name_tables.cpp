#include "parts/rep_name_tables.h"

namespace tallymere {

namespace {
uint64_t Units(uint32_t n) { return 2 * uint64_t{n}; }
}  // namespace

std::optional<uint64_t> RepCatBuffer::RecordSize(uint64_t offset) const {
  if (!bytes().Fits(offset, 4)) return std::nullopt;
  return 12 + Units(bytes().U32At(offset));
}

void RepCatBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  for (uint32_t i = 0; i < ulCount; ++i) {
    table.push_back({TextField(i, 4, CategoryLen(i)), EventType(i), AuxWord(i), EventId(i)});
  }
}

std::optional<uint64_t> RepCompBuffer::RecordSize(uint64_t offset) const {
  if (!bytes().Fits(offset, 4)) return std::nullopt;
  return 8 + Units(bytes().U32At(offset));
}

void RepCompBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  for (uint32_t i = 0; i < ulCount; ++i) table.push_back({TextField(i, 4, NameLen(i)), TimeBase(i)});
}

std::optional<uint64_t> RepUserBuffer::RecordSize(uint64_t offset) const {
  const uint64_t len_2_at = offset + 4 + Units(bytes().U32At(offset));
  if (!bytes().Fits(offset, 4) || !bytes().Fits(len_2_at, 4)) return std::nullopt;
  const uint64_t bin_len_at = len_2_at + 4 + Units(bytes().U32At(len_2_at));
  if (!bytes().Fits(bin_len_at, 4)) return std::nullopt;
  return bin_len_at + 4 + bytes().U32At(bin_len_at) - offset;
}

void RepUserBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  for (uint32_t i = 0; i < ulCount; ++i) {
    const Bytes bin = BinBytes(i);
    table.push_back({TextField(i, 4, Len1(i)), TextField(i, Len2Offset(i) + 4, Len2(i)),
                     std::vector<uint8_t>(bin.begin(), bin.end())});
  }
}

void RepRecordBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  for (uint32_t i = 0; i < ulCount; ++i) table.emplace_back(First(i), Second(i));
}

std::optional<uint64_t> RepNfieldsDatBuffer::RecordSize(uint64_t offset) const {
  if (!bytes().Fits(offset, 4)) return std::nullopt;
  return 4 + 8 * uint64_t{bytes().U32At(offset)};
}

void RepNfieldsDatBuffer::Decode() {
  table.reserve(table.size() + ulCount);
  uint64_t offset = 0;
  for (uint32_t i = 0; i < ulCount; ++i) {
    RepFieldList list;
    list.field_count = bytes().U32At(offset);
    for (uint64_t k = 0; k < list.field_count; ++k) {
      const uint64_t at = offset + 4 + 8 * k;
      if (!bytes().Fits(at, 8)) break;  // only after a failed Parse
      list.pairs.emplace_back(bytes().U32At(at), bytes().U32At(at + 4));
    }
    offset += 4 + 8 * uint64_t{list.field_count};
    table.push_back(std::move(list));
  }
}

}  // namespace tallymere
