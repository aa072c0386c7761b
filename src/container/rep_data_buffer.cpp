#include "container/rep_data_buffer.h"

#include <algorithm>

#include "buffers/crc32.h"
#include "buffers/hex_dump.h"
#include "buffers/inflate.h"
#include "buffers/unpack_budget.h"
#include "buffers/value_lines.h"
#include "parts/buffer_ids.h"
#include "parts/part_factory.h"
#include "parts/rep_part_buffer.h"
#include "platform/output.h"

namespace tallymere {

namespace {

constexpr uint64_t kNameOffset = 12;
constexpr uint16_t kSignature = 0x4445;  // "ED"
// A trailer length beyond what DEFLATE can expand a stream to is damage,
// not a size to allocate.
constexpr uint64_t kExpansionSlack = 64;

// Length of the zero-terminated name at offset 12, or the bytes up to the end
// of the buffer when no terminator follows.
uint64_t MeasureName(const ByteView& bytes) {
  uint64_t n = 0;
  while (kNameOffset + n < bytes.size() && bytes.U8At(kNameOffset + n) != 0) ++n;
  return n;
}

}  // namespace

RepDataBuffer::RepDataBuffer(Bytes buffer) : RepBuffer(kDataBufferId) {
  SetBytes(buffer);
  name_len = MeasureName(bytes());
  const Bytes name_bytes = bytes().SubAt(kNameOffset, name_len);
  name.assign(name_bytes.begin(), name_bytes.end());
  if (buffer_len >= 8) {
    crc32 = bytes().U32At(buffer_len - 8);
    unpacked_len = bytes().U32At(buffer_len - 4);
  }
}

bool RepDataBuffer::WellFormed(Bytes buffer) { return WellFormedByHead(buffer, buffer.size()).value_or(false); }

std::optional<bool> RepDataBuffer::WellFormedByHead(Bytes head, uint64_t length) {
  if (length < kDataBufferOverhead) return false;
  const uint64_t name_length = MeasureName(ByteView(head));
  if (kNameOffset + name_length >= head.size() && head.size() < length) return std::nullopt;
  return kNameOffset + name_length < length && length - kDataBufferOverhead >= name_length;
}

uint32_t RepDataBuffer::FirstOutputSize() const {
  // The trailer's length gives a one-pass decode when it is plausible:
  // larger than the buffer and within what DEFLATE can expand to.
  const uint64_t compressed = buffer_len - std::min(buffer_len, kDataBufferOverhead + name_len);
  const uint64_t bound = UnpackBudget::kMaxExpansion * compressed + kExpansionSlack;
  if (unpacked_len > buffer_len && unpacked_len <= bound) return unpacked_len;
  // Six times the buffer, which counts the name too: a long name over a
  // short stream must not buy an allocation the stream could never fill.
  const uint32_t guess = static_cast<uint32_t>(buffer_len) * 6u;  // wraps like the stored format's u32
  return guess == 0 ? 8 : static_cast<uint32_t>(std::min<uint64_t>(guess, bound));
}

int RepDataBuffer::Unpack() {
  if (bytes().U16At(0) != kSignature) {
    notes.out() << "Wrong signature!\n";
    return -1;
  }
  uint32_t size = FirstOutputSize();
  const uint64_t stream_start = kNameOffset + name_len + 1;
  const Bytes input = bytes().SubAt(stream_start, buffer_len - std::min(buffer_len, stream_start));
  const int status = InflateToVector(input, output_, size);
  unpacked_len_real = size;
  if (status != 0) {
    notes.out() << "error: Can't uncompress : " << static_cast<int32_t>(status) << "\n";
    notes.out() << "uncompress error\n";
    return -1;
  }
  return 0;
}

int RepDataBuffer::Parse() {
  parse_status_ = Unpack();
  if (parse_status_ != 0) return parse_status_;
  crc32_real = Crc32(output_.data(), std::min<uint64_t>(unpacked_len_real, output_.size()));
  if (crc32_real == crc32) return parse_status_;
  notes.out() << "BAD CRC: " << crc32_real << " != " << crc32 << "\n";
  HexDump(notes.out(), Bytes(output_), std::min<uint64_t>(unpacked_len_real, 64));
  parse_status_ = -5;
  return parse_status_;
}

void RepDataBuffer::Dump(TextOut& out) {
  out << "\n" << name << "\n";
  if (unpacked_len != unpacked_len_real) {
    out << "unpacked_len = ";
    PrintU32WithHex(out, unpacked_len);
    out << "unpacked_len_real = ";
    PrintU32WithHex(out, static_cast<uint32_t>(unpacked_len_real));
  }
  if (crc32 != crc32_real) {
    out << "crc32 = ";
    PrintU32WithHex(out, crc32);
    out << "crc32_real = ";
    PrintU32WithHex(out, crc32_real);
  }
}

int32_t RepDataBuffer::ReadNestedImage() {
  Parse();  // a damaged buffer is reported; the magic decides what is used
  return BufferIdFromMagic(Bytes(output_));
}

std::unique_ptr<RepPartBuffer> RepDataBuffer::CreatePart(int32_t id) {
  Parse();  // a damaged buffer is reported; the part's own Parse judges the bytes
  return CreatePartBuffer(std::move(output_), id, notes);
}

}  // namespace tallymere
