// A byte range of an image that holds, or will yield, a nested repository
// image.
#pragma once

#include <cstdint>

#include "buffers/byte_reader.h"
#include "buffers/rep_buffer.h"

namespace tallymere {

struct BufferRef {
  Bytes image;  // the whole image the range lies in; null data = no reference
  uint64_t offset = 0;
  uint64_t length = 0;
  int32_t buffer_id = kUnknownBufferId;

  bool IsNull() const { return image.data() == nullptr; }
};

}  // namespace tallymere
