// The factory that turns unpacked content and a buffer ID into a buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "container/rep_buffer.h"
#include "parts/rep_part_buffer.h"

namespace tallymere {

// A new part buffer of kind 0..14 that takes the bytes over. Any other ID:
// "Unknown  id: " and the ID on standard output, and null.
std::unique_ptr<RepPartBuffer> CreatePartBuffer(ByteBuffer content, int32_t id);

// As CreatePartBuffer, and also: -3 is replaced by the kind of the content's
// magic, and -2 gives a repository image that owns the bytes (all part kinds
// selected).
std::unique_ptr<RepBuffer> CreateBuffer(ByteBuffer content, int32_t id);

}  // namespace tallymere
