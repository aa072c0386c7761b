#include "parts/rep_part_buffer.h"

#include <limits>

#include "buffers/hex_dump.h"
#include "parts/buffer_ids.h"
#include "platform/output.h"

namespace tallymere {

RepPartBuffer::RepPartBuffer(ByteBuffer content, int32_t id) : RepBuffer(id), content_(std::move(content)) {
  SetBytes(Bytes(content_));
}

int RepPartBuffer::Parse() {
  // Record offsets are kept in 32 bits; no unpacked content is larger.
  if (buffer_len > std::numeric_limits<uint32_t>::max()) return -1;
  const bool fits = CountRecords() == buffer_len;
  if (fits) {
    ReserveColumns();
    FillColumns();
  }
  walked_offsets_ = {};
  return fits ? 0 : -1;
}

// The walk notes where each record starts, so the columns need no second
// walk over the records.
uint64_t RepPartBuffer::CountRecords() {
  ulCount = 0;
  walked_offsets_.clear();
  uint64_t offset = 0;
  while (offset < buffer_len) {
    const std::optional<uint64_t> size = RecordSize(offset);
    if (!size) return offset;  // a length field does not fit: offset < buffer_len fails Parse
    walked_offsets_.push_back(static_cast<uint32_t>(offset));
    ++ulCount;
    offset += *size;
  }
  return offset;
}

void RepPartBuffer::ReserveColumns() { offsets_.clear(); }

void RepPartBuffer::FillColumns() { offsets_.swap(walked_offsets_); }

std::optional<uint64_t> RepPartBuffer::RecordSize(uint64_t offset) const {
  if (!bytes().Fits(offset, 4)) return std::nullopt;
  return 4 + 2 * static_cast<uint64_t>(bytes().U32At(offset));
}

uint32_t RepPartBuffer::TextLen(uint32_t i) const { return U32Field(i, 0); }

Bytes RepPartBuffer::TextBytes(uint32_t i) const { return BytesField(i, 4, 2 * uint64_t{TextLen(i)}); }

void RepPartBuffer::Decode() {
  strings.reserve(strings.size() + ulCount);
  for (uint32_t i = 0; i < ulCount; ++i) strings.push_back({TextField(i, 4, TextLen(i)), 1});
}

void RepPartBuffer::Dump(TextOut& out) {
  out << "id = " << buffer_id << " " << PrintedBufferName(buffer_id) << "\n";
  out << "buffer_len = " << buffer_len << "\n";
  out << "ulCount = " << ulCount << "\n\n";
  HexDump(out, bytes().span(), buffer_len);
}

}  // namespace tallymere
