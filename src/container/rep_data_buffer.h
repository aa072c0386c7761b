// A data buffer: the stored form of every piece of content in an image.
//
//   0       2   signature "ED" (a buffer holding a nested image reads "EDRP")
//   2      10   not interpreted
//   12    L+1   ASCII name, zero-terminated
//   13+L  ...   raw DEFLATE stream, ending before the trailer
//   N-8     4   CRC-32 of the unpacked bytes
//   N-4     4   unpacked length as the producer wrote it
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "buffers/rep_buffer.h"
#include "container/image_source.h"
#include "platform/output.h"

namespace tallymere {

class RepPartBuffer;

// Header (12), name terminator (1) and trailer (8): the smallest data buffer
// has an empty name and an empty stream.
inline constexpr uint64_t kDataBufferOverhead = 21;

// The longest data buffer read from a file whole. Producers write a part's
// buffers of some thousand events, a few megabytes at most; a longer buffer
// is unpacked as its stream is read, a piece at a time, since its length
// may be no more than a damaged or sparse file's claim (a terabyte of holes
// reads as zeros) and holding it whole would exhaust memory before the
// stream could be found wrong.
inline constexpr uint64_t kWholeReadLimit = uint64_t{32} << 20;

class RepDataBuffer : public RepBuffer {
 public:
  // Over the buffer's own bytes, which must outlive it. Nothing outside them
  // is read; callers check WellFormed() first and use no malformed buffer.
  explicit RepDataBuffer(Bytes buffer);
  // The buffer at [offset, offset + length) of the source, which the caller
  // has checked to lie inside it: read whole into `storage` up to
  // kWholeReadLimit (or viewed, from memory), else read as it is unpacked.
  // Null when the buffer is not well formed.
  static std::unique_ptr<RepDataBuffer> ReadFrom(const ImageSource& source, uint64_t offset, uint64_t length,
                                                 ByteBuffer& storage);
  // Whether the buffer at [offset, offset + length) of the source is well
  // formed, reading no more of it than its name; `name_len` is set when it is.
  static bool WellFormedAt(const ImageSource& source, uint64_t offset, uint64_t length, uint64_t& name_len);

  // Its name ends inside the buffer and the buffer is at least 21 + L bytes
  // long. (That it lies inside its image is the caller's to check.)
  static bool WellFormed(Bytes buffer);

  // 0 when the content unpacked; -1 after a wrong signature or a decoder
  // failure (both reported in the notes).
  int Unpack();
  // 0 when the content unpacked and its CRC matches, -1 when unpacking
  // failed, -5 on a CRC mismatch (reported with a hex dump).
  int Parse() override;
  // Prints the length and checksum mismatches on standard output.
  void Dump(TextOut& out) override;

  // Unpacks and classifies the content by its magic: the buffer ID of the
  // image it holds (kFileBufferId), or kUnknownBufferId when the content is
  // no repository image. The image's bytes are image() while this buffer
  // lives.
  int32_t ReadNestedImage();
  Bytes image() const { return Bytes(output_).first(std::min<uint64_t>(unpacked_len_real, output_.size())); }
  // Unpacks and hands the content to a new part buffer of kind `id`, which
  // takes the bytes over; null for an ID that builds no part.
  std::unique_ptr<RepPartBuffer> CreatePart(int32_t id);

  // The result of the last Parse (0 before any).
  int parse_status() const { return parse_status_; }
  Bytes output() const { return Bytes(output_); }

  uint64_t name_len = 0;
  std::string name;
  uint32_t crc32 = 0;         // from the trailer
  uint32_t unpacked_len = 0;  // from the trailer
  uint32_t crc32_real = 0;
  uint64_t unpacked_len_real = 0;
  // What unpacking and checking reported, for the caller to write in its
  // turn.
  Notes notes;

 private:
  struct Streamed {};  // only ReadFrom makes a streamed buffer

 public:
  // A buffer read as it is unpacked: its first bytes (the name's) and its
  // trailer are read now, its stream when it is unpacked.
  RepDataBuffer(Streamed, const ImageSource& source, uint64_t offset, uint64_t length, uint64_t name_length);

 private:
  // Where the stream of a buffer too long to read whole lies.
  struct StreamPlace {
    const ImageSource* source = nullptr;
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  uint32_t FirstOutputSize() const;
  int Inflate(uint32_t& size);

  std::optional<StreamPlace> stream_;
  ByteBuffer head_;  // the streamed buffer's bytes up to its stream
  ByteBuffer output_;
  int parse_status_ = 0;
};

}  // namespace tallymere
