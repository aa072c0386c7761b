// Fuzzes one data buffer: its unpacking and CRC check, the part built from
// it, and its reading as a nested image. The first input byte picks the
// decoder (bit 7: zlib, else the default) and the part kind (bits 0-3, kinds
// 0..14); the rest is the buffer.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "buffers/inflate.h"
#include "container/rep_data_buffer.h"
#include "fuzz_support.h"
#include "parts/rep_part_buffer.h"

namespace tallymere::fuzz {
namespace {

// Sets the decoder for one input and restores the default afterwards.
class BackendChoice {
 public:
  explicit BackendChoice(bool zlib) : previous_(CurrentInflateBackend()) {
    SetInflateBackend(zlib ? InflateBackend::kZlib : InflateBackend::kLibdeflate);
  }
  ~BackendChoice() { SetInflateBackend(previous_); }
  BackendChoice(const BackendChoice&) = delete;
  BackendChoice& operator=(const BackendChoice&) = delete;

 private:
  InflateBackend previous_;
};

void UsePart(RepPartBuffer& part) {
  if (part.Parse() == 0) part.Decode();
  part.Dump(Out());
}

}  // namespace
}  // namespace tallymere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallymere;
  fuzz::SwallowOutput swallow;
  fuzz::InputSplitter input(data, size);
  const uint8_t choice = input.TakeByte();
  const fuzz::BackendChoice backend((choice & 0x80) != 0);
  const int32_t kind = (choice & 0x0F) % 15;
  const Bytes buffer = input.Rest();
  // The image layer rejects a malformed buffer before building it.
  if (!RepDataBuffer::WellFormed(buffer)) return 0;

  RepDataBuffer checked(buffer);
  checked.Parse();
  checked.Dump(Out());

  RepDataBuffer for_part(buffer);
  if (std::unique_ptr<RepPartBuffer> part = for_part.CreatePart(kind)) fuzz::UsePart(*part);

  RepDataBuffer for_image(buffer);
  for_image.ReadNestedImage();
  return 0;
}
