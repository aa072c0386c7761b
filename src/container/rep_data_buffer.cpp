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
// What a streamed buffer reads at a time, and what it reads first of any
// buffer checked without being unpacked: its name is a few characters.
constexpr uint64_t kStreamPiece = uint64_t{1} << 20;
constexpr uint64_t kNameRoom = 64;

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

bool RepDataBuffer::WellFormed(Bytes buffer) {
  if (buffer.size() < kDataBufferOverhead) return false;
  const uint64_t name_length = MeasureName(ByteView(buffer));
  return buffer.size() - kDataBufferOverhead >= name_length;
}

bool RepDataBuffer::WellFormedAt(const ImageSource& source, uint64_t offset, uint64_t length, uint64_t& name_len) {
  if (length < kDataBufferOverhead) return false;
  // The name ends at its zero byte, which must leave room for the trailer:
  // it is looked for a piece at a time, so a name that runs on costs no
  // more memory than a piece.
  ByteBuffer storage;
  const uint64_t last_name_byte = length - kDataBufferOverhead;  // the name holds at most length - 21 bytes
  for (uint64_t at = kNameOffset, piece = kNameRoom; at <= kNameOffset + last_name_byte;
       at += piece, piece = kStreamPiece) {
    const uint64_t take = std::min(piece, kNameOffset + last_name_byte + 1 - at);
    const ByteView bytes(source.Read(offset + at, take, storage));
    for (uint64_t i = 0; i < take; ++i) {
      if (bytes.U8At(i) == 0) {
        name_len = at + i - kNameOffset;
        return true;
      }
    }
  }
  return false;
}

std::unique_ptr<RepDataBuffer> RepDataBuffer::ReadFrom(const ImageSource& source, uint64_t offset, uint64_t length,
                                                       ByteBuffer& storage) {
  if (length <= kWholeReadLimit || source.in_memory()) {
    const Bytes bytes = source.Read(offset, length, storage);
    return WellFormed(bytes) ? std::make_unique<RepDataBuffer>(bytes) : nullptr;
  }
  uint64_t name_length = 0;
  if (!WellFormedAt(source, offset, length, name_length)) return nullptr;
  return std::make_unique<RepDataBuffer>(Streamed{}, source, offset, length, name_length);
}

RepDataBuffer::RepDataBuffer(Streamed, const ImageSource& source, uint64_t offset, uint64_t length,
                             uint64_t name_length)
    : RepBuffer(kDataBufferId) {
  const uint64_t stream_start = kNameOffset + name_length + 1;
  const Bytes head = source.Read(offset, stream_start, head_);
  if (head.data() != head_.data()) head_.assign(head.begin(), head.end());  // a view: kept as long as this buffer
  SetBytes(Bytes(head_));
  buffer_len = length;
  name_len = name_length;
  name.assign(head_.begin() + kNameOffset, head_.begin() + static_cast<std::ptrdiff_t>(kNameOffset + name_len));
  ByteBuffer trailer_storage;
  const ByteView trailer(source.Read(offset + length - 8, 8, trailer_storage));
  crc32 = trailer.U32At(0);
  unpacked_len = trailer.U32At(4);
  stream_ = StreamPlace{&source, offset + stream_start, length - stream_start};
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
  const int status = Inflate(size);
  unpacked_len_real = size;
  if (status != 0) {
    notes.out() << "error: Can't uncompress : " << static_cast<int32_t>(status) << "\n";
    notes.out() << "uncompress error\n";
    return -1;
  }
  return 0;
}

namespace {

// A streamed buffer's compressed bytes, read a piece at a time.
class SourcePieces final : public InflateInput {
 public:
  SourcePieces(const ImageSource& source, uint64_t offset, uint64_t length)
      : source_(source), next_(offset), end_(offset + length) {}
  Bytes Next() override {
    const uint64_t take = std::min(kStreamPiece, end_ - next_);
    if (take == 0) return {};
    const Bytes piece = source_.Read(next_, take, storage_);
    next_ += take;
    return piece;
  }

 private:
  const ImageSource& source_;
  uint64_t next_;
  uint64_t end_;
  ByteBuffer storage_;
};

}  // namespace

int RepDataBuffer::Inflate(uint32_t& size) {
  if (stream_) {
    SourcePieces input(*stream_->source, stream_->offset, stream_->length);
    return InflateStreamToVector(input, output_, size);
  }
  const uint64_t stream_start = kNameOffset + name_len + 1;
  return InflateToVector(bytes().SubAt(stream_start, buffer_len - std::min(buffer_len, stream_start)), output_, size);
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
  out << "\n" << RepositoryText(name) << "\n";
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
