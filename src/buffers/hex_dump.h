// The diagnostic hex dump printed after a checksum mismatch and by Dump.
#pragma once

#include <cstdint>

#include "buffers/byte_reader.h"
#include "platform/output.h"

namespace tallymere {

// Writes the first `count` bytes (at most all of them) to `out`:
// an opening rule, rows of 16 bytes as offset, hexadecimal and characters,
// and a closing rule. Rows run from 0 to count / 16, so the last row holds
// the count % 16 remaining bytes and may be empty.
void HexDump(TextOut& out, Bytes bytes, uint64_t count);

}  // namespace tallymere
