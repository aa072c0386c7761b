// The root of all buffer classes: a repository image, a data buffer inside
// one, or the unpacked bytes of a typed part.
#pragma once

#include <cstdint>

#include "buffers/byte_reader.h"
#include "platform/output.h"

namespace tallymere {

// Buffer IDs that are not typed parts.
inline constexpr int32_t kUnknownBufferId = -3;  // unrecognised kind
inline constexpr int32_t kFileBufferId = -2;     // a repository image
inline constexpr int32_t kDataBufferId = -1;     // a data buffer holding a nested image

class RepBuffer {
 public:
  explicit RepBuffer(int32_t id) : buffer_id(id) {}
  RepBuffer(const RepBuffer&) = delete;
  RepBuffer& operator=(const RepBuffer&) = delete;
  virtual ~RepBuffer() = default;

  // 0 on success; the meaning of other values is the subclass's.
  virtual int Parse() { return 0; }
  // Writes a readable account of the buffer to `out`.
  virtual void Dump(TextOut& /*out*/) {}
  virtual void Decode() {}

  // This buffer's bytes within its source.
  const ByteView& bytes() const { return bytes_; }

  uint64_t buffer_len = 0;
  int32_t buffer_id;
  uint32_t ulCount = 0;  // records of a part buffer; 0 elsewhere

 protected:
  void SetBytes(Bytes bytes) {
    bytes_ = ByteView(bytes);
    buffer_len = bytes.size();
  }

 private:
  ByteView bytes_;
};

}  // namespace tallymere
