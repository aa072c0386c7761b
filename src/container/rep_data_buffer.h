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
#include "platform/output.h"

namespace tallymere {

class RepPartBuffer;

// Header (12), name terminator (1) and trailer (8): the smallest data buffer
// has an empty name and an empty stream.
inline constexpr uint64_t kDataBufferOverhead = 21;

class RepDataBuffer : public RepBuffer {
 public:
  // Over the buffer's own bytes, which must outlive it. Nothing outside them
  // is read; callers check WellFormed() first and use no malformed buffer.
  explicit RepDataBuffer(Bytes buffer);

  // Its name ends inside the buffer and the buffer is at least 21 + L bytes
  // long. (That it lies inside its image is the caller's to check.)
  static bool WellFormed(Bytes buffer);
  // The same from the first bytes of a buffer `length` bytes long, for a
  // reader that has not read the whole buffer: nothing when the name runs
  // past them, so that more must be read.
  static std::optional<bool> WellFormedByHead(Bytes head, uint64_t length);

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
  uint32_t FirstOutputSize() const;

  ByteBuffer output_;
  int parse_status_ = 0;
};

}  // namespace tallymere
