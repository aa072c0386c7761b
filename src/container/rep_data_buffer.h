// A data buffer: the stored form of every piece of content in an image.
//
//   0       2   signature "ED" (a buffer holding a nested image reads "EDRP")
//   2      10   not interpreted
//   12    L+1   ASCII name, zero-terminated
//   13+L  ...   raw DEFLATE stream, ending before the trailer
//   N-8     4   CRC-32 of the unpacked bytes
//   N-4     4   unpacked length as the producer wrote it
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buffers/rep_buffer.h"
#include "container/buffer_ref.h"

namespace tallymere {

class RepPartBuffer;

// Header (12), name terminator (1) and trailer (8): the smallest data buffer
// has an empty name and an empty stream.
inline constexpr uint64_t kDataBufferOverhead = 21;

class RepDataBuffer : public RepBuffer {
 public:
  // Over the range of its image. Nothing outside the image is read; callers
  // check WellFormed() first and use no malformed buffer.
  explicit RepDataBuffer(const BufferRef& range);

  // The buffer lies inside the image, its name ends inside it and it is at
  // least 21 + L bytes long.
  static bool WellFormed(const BufferRef& range);

  // 0 when the content unpacked; -1 after a wrong signature or a decoder
  // failure (both reported).
  int Unpack();
  // 0 when the content unpacked and its CRC matches, -1 when unpacking
  // failed, -5 on a CRC mismatch (reported with a hex dump).
  int Parse() override;
  // Prints the length and checksum mismatches.
  void Dump() override;

  // Unpacks and classifies the content by its magic. A null reference means
  // the content is no repository image. The image bytes stay owned by this
  // buffer.
  BufferRef ReadNestedImage();
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

 private:
  uint32_t FirstOutputSize() const;

  ByteBuffer output_;
  int parse_status_ = 0;
};

}  // namespace tallymere
