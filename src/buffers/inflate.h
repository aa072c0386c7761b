// Raw DEFLATE decoding of data buffer content.
//
// Two decoders can be built: libdeflate (about twice as fast here, used where
// it is found) and zlib. Both report zlib's result codes, so the messages and
// the output-doubling rule of the data buffers behave the same with either.
#pragma once

#include <cstdint>
#include <vector>

#include "buffers/byte_reader.h"

namespace tallymere {

enum class InflateBackend { kZlib, kLibdeflate };

// True when the backend was compiled in.
bool InflateBackendAvailable(InflateBackend backend);
// The backend used by InflateRaw; the build's default until changed. Tests
// switch it to run the same cases through both decoders.
InflateBackend CurrentInflateBackend();
// Returns false (and changes nothing) for a backend that was not compiled in.
bool SetInflateBackend(InflateBackend backend);

// Decodes a whole raw DEFLATE stream from `input` into out[0, out_size) in one
// pass. Bytes after the final block are ignored. Returns Z_OK with `produced`
// set, Z_BUF_ERROR when the output space is too small, Z_DATA_ERROR for a
// damaged or truncated stream, or another zlib code.
int InflateRaw(Bytes input, uint8_t* out, uint32_t out_size, uint32_t& produced);

// Decodes `input` into `out`, starting with `size` bytes of room and doubling
// it (decoding again from the start) while the room is too small. On success
// returns 0 (Z_OK), sets `size` to the produced length and sizes `out` to it,
// but to no fewer than 4 bytes. On failure returns the decoder's code and
// leaves in `out` what it decoded over zeros, `size` at the last room tried.
// Room beyond 2^32 - 1 bytes cannot be expressed and is a failure (code
// Z_BUF_ERROR).
int InflateToVector(Bytes input, ByteBuffer& out, uint32_t& size);

// The compressed bytes of a stream too large to hold at once, piece by
// piece: an empty piece ends the input.
class InflateInput {
 public:
  virtual ~InflateInput() = default;
  virtual Bytes Next() = 0;
};

// InflateToVector over input read piece by piece, with zlib whatever the
// backend: the room grows by doubling as the output needs it instead of
// decoding again, so the results, `out` and `size` are those of
// InflateToVector, and only as much input is read as the stream takes. A
// stream that fails early (a region of zeros does at its first block)
// costs one piece, whatever length its buffer claims.
int InflateStreamToVector(InflateInput& input, ByteBuffer& out, uint32_t& size);

}  // namespace tallymere
