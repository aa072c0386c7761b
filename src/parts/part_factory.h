// The factory that turns unpacked content and a buffer ID into a buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "buffers/rep_buffer.h"
#include "parts/rep_part_buffer.h"
#include "platform/output.h"

namespace tallymere {

// A new part buffer of kind 0..14 that takes the bytes over. Any other ID:
// "Unknown  id: " and the ID in the notes, and null.
std::unique_ptr<RepPartBuffer> CreatePartBuffer(ByteBuffer content, int32_t id, Notes& notes);

}  // namespace tallymere
