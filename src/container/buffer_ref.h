// A data buffer of an image that holds, or will yield, a nested repository
// image.
#pragma once

#include <cstdint>

#include "buffers/rep_buffer.h"

namespace tallymere {

class ImageSource;

struct BufferRef {
  const ImageSource* source = nullptr;  // the image the buffer lies in; null = no reference
  uint64_t offset = 0;
  uint64_t length = 0;
  int32_t buffer_id = kUnknownBufferId;

  bool IsNull() const { return source == nullptr; }
};

}  // namespace tallymere
