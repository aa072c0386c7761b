#include "buffers/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#ifdef TALLYMERE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "platform/sync.h"

namespace tallymere {

namespace {

#ifdef TALLYMERE_INFLATE_LIBDEFLATE
InflateBackend g_backend = InflateBackend::kLibdeflate;
#else
InflateBackend g_backend = InflateBackend::kZlib;
#endif

// zlib's raw inflate in one call, with the result codes mapped the way
// zlib's own one-shot uncompress maps them.
int InflateZlib(Bytes input, uint8_t* out, uint32_t out_size, uint32_t& produced) {
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(input.data());  // zlib does not write input
  stream.avail_in = static_cast<uInt>(std::min<uint64_t>(input.size(), std::numeric_limits<uInt>::max()));
  stream.next_out = out;
  stream.avail_out = out_size;
  int status = inflateInit2(&stream, -15);
  if (status != Z_OK) return status;
  status = inflate(&stream, Z_FINISH);
  produced = static_cast<uint32_t>(stream.total_out);
  const bool output_left = stream.avail_out != 0;
  inflateEnd(&stream);
  if (status == Z_STREAM_END) return Z_OK;
  if (status == Z_NEED_DICT) return Z_DATA_ERROR;
  // Out of input with room to spare: the stream is truncated.
  if (status == Z_BUF_ERROR && output_left) return Z_DATA_ERROR;
  return status;
}

#ifdef TALLYMERE_HAVE_LIBDEFLATE
struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorDeleter>;

// Decompressors are set up once and reused by whichever thread unpacks next.
// Not one per thread: a thread-local object with a destructor must be
// registered with the C library at the thread's first use, and when memory
// is short that registration aborts the process instead of letting the run
// report the shortage.
class DecompressorPool {
 public:
  Decompressor Take() {
    {
      std::lock_guard<platform::Lock> lock(mutex_);
      if (!free_.empty()) {
        Decompressor taken = std::move(free_.back());
        free_.pop_back();
        return taken;
      }
    }
    return Decompressor(libdeflate_alloc_decompressor());
  }
  void Give(Decompressor decompressor) {
    std::lock_guard<platform::Lock> lock(mutex_);
    try {
      free_.push_back(std::move(decompressor));
    } catch (const std::bad_alloc&) {
      // Freed instead of kept; the next unpacking sets up another.
    }
  }

 private:
  platform::Lock mutex_;
  std::vector<Decompressor> free_;
};

DecompressorPool g_decompressors;

int InflateLibdeflate(Bytes input, uint8_t* out, uint32_t out_size, uint32_t& produced) {
  Decompressor decompressor = g_decompressors.Take();
  if (!decompressor) return Z_MEM_ERROR;
  size_t actual = 0;
  const libdeflate_result result =
      libdeflate_deflate_decompress(decompressor.get(), input.data(), input.size(), out, out_size, &actual);
  produced = static_cast<uint32_t>(actual);
  g_decompressors.Give(std::move(decompressor));
  switch (result) {
    case LIBDEFLATE_SUCCESS: return Z_OK;
    case LIBDEFLATE_INSUFFICIENT_SPACE: return Z_BUF_ERROR;
    default: return Z_DATA_ERROR;
  }
}
#endif

}  // namespace

bool InflateBackendAvailable(InflateBackend backend) {
#ifdef TALLYMERE_HAVE_LIBDEFLATE
  (void)backend;
  return true;
#else
  return backend == InflateBackend::kZlib;
#endif
}

InflateBackend CurrentInflateBackend() { return g_backend; }

bool SetInflateBackend(InflateBackend backend) {
  if (!InflateBackendAvailable(backend)) return false;
  g_backend = backend;
  return true;
}

int InflateRaw(Bytes input, uint8_t* out, uint32_t out_size, uint32_t& produced) {
  produced = 0;
#ifdef TALLYMERE_HAVE_LIBDEFLATE
  if (g_backend == InflateBackend::kLibdeflate) return InflateLibdeflate(input, out, out_size, produced);
#endif
  return InflateZlib(input, out, out_size, produced);
}

namespace {

// Runs the decoder over the input until the stream ends, fails or fills
// the room: Z_STREAM_END, Z_OK for a full room, or an error code
// (Z_DATA_ERROR also for input that ends before the stream does).
int InflateAvailable(z_stream& stream, InflateInput& input) {
  while (stream.avail_out != 0) {
    if (stream.avail_in == 0) {
      const Bytes piece = input.Next();
      if (piece.empty()) return Z_DATA_ERROR;
      stream.next_in = const_cast<Bytef*>(piece.data());  // zlib does not write input
      stream.avail_in = static_cast<uInt>(piece.size());
    }
    const int status = inflate(&stream, Z_NO_FLUSH);
    // No progress with input and room both left: nothing more will come.
    if (status == Z_NEED_DICT || (status == Z_BUF_ERROR && stream.avail_in != 0 && stream.avail_out != 0)) {
      return Z_DATA_ERROR;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) return status;
  }
  return Z_OK;
}

// Doubles the room as InflateToVector would try it next, keeping what was
// decoded; false when it cannot grow within 32 bits.
bool GrowRoom(z_stream& stream, ByteBuffer& out, uint32_t& size) {
  if (size == 0 || size > std::numeric_limits<uint32_t>::max() / 2) return false;
  size *= 2;
  out.resize(size);
  stream.next_out = out.data() + stream.total_out;
  stream.avail_out = size - static_cast<uInt>(stream.total_out);
  return true;
}

}  // namespace

int InflateStreamToVector(InflateInput& input, ByteBuffer& out, uint32_t& size) {
  z_stream stream{};
  out.resize(size);
  stream.next_out = out.data();
  stream.avail_out = size;
  int status = inflateInit2(&stream, -15);
  if (status != Z_OK) return status;
  while ((status = InflateAvailable(stream, input)) == Z_OK) {
    if (!GrowRoom(stream, out, size)) {
      status = Z_BUF_ERROR;
      break;
    }
  }
  const auto produced = static_cast<uint32_t>(stream.total_out);
  inflateEnd(&stream);
  if (status != Z_STREAM_END) {
    // As InflateToVector leaves a damaged stream: what was decoded, over
    // zeros, in the room last tried.
    std::fill(out.begin() + produced, out.end(), uint8_t{0});
    return status;
  }
  if (produced < 4) std::fill(out.begin() + produced, out.begin() + std::min<uint32_t>(size, 4), uint8_t{0});
  out.resize(std::max<uint32_t>(produced, 4), 0);
  size = produced;
  return Z_OK;
}

int InflateToVector(Bytes input, ByteBuffer& out, uint32_t& size) {
  uint32_t produced = 0;
  int status = Z_OK;
  for (;;) {
    out.resize(size);  // uninitialised: the decoder writes what is kept
    status = InflateRaw(input, out.data(), size, produced);
    if (status != Z_BUF_ERROR) break;
    // The room was too small: decode again at twice the size, as long as the
    // size still fits in 32 bits (no wrap, and no endless loop at zero).
    if (size == 0 || size > std::numeric_limits<uint32_t>::max() / 2) break;
    size *= 2;
  }
  if (status != Z_OK) {
    // A damaged stream's content is what the decoder wrote over zeros, and
    // is still handed on: decode it once more into zeroed room.
    std::fill(out.begin(), out.end(), uint8_t{0});
    InflateRaw(input, out.data(), size, produced);
    return status;
  }
  if (produced != size) {
    // Content shorter than 4 bytes is padded with zeros to 4.
    if (produced < 4) std::fill(out.begin() + produced, out.begin() + std::min<uint32_t>(size, 4), uint8_t{0});
    out.resize(std::max<uint32_t>(produced, 4), 0);
    // The room of a generous first guess is left as it is: pages the decoder
    // never wrote take no memory, and moving the content to room of its size
    // would copy it and hold both blocks for a while.
  }
  size = produced;
  return 0;
}

}  // namespace tallymere
