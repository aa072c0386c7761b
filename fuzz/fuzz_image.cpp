// Fuzzes one repository image: the header check and the footer chain, the
// buffer tables and properties, every part kind (the thirteen part kinds and
// the two file-wide kinds all selected), then the decoding and the dump of
// every part, and one level of nested images as a container holds them.
#include <cstddef>
#include <cstdint>

#include "container/rep_data_buffer.h"
#include "container/rep_file_buffer.h"
#include "fuzz_support.h"
#include "parts/rep_part_buffer.h"
#include "scan/process_file.h"

namespace tallymere::fuzz {
namespace {

void DecodeEverything(RepFooter& footer) {
  for (RepPart& part : footer.parts) {
    for (auto& slot : part.slots) {
      if (slot) slot->Decode();
    }
  }
  for (auto& slot : footer.file_wide_parts) {
    if (slot) slot->Decode();
  }
}

// Opens and parses an image with every kind selected; false when it failed.
bool ReadImage(RepFileBuffer& image, Bytes bytes) {
  if (!image.Open(bytes)) return false;
  image.part_flags = RepFooter::AllSelected();
  for (RepFooter& footer : image.footers) footer.file_wide_flags.fill(1);
  return image.Parse() == 0;
}

void ReadNestedImages(RepFileBuffer& outer) {
  for (BufferRef ref = NextNestedRef(outer); !ref.IsNull(); ref = NextNestedRef(outer)) {
    ByteBuffer storage;
    RepDataBuffer data(ref.source->Read(ref.offset, ref.length, storage));
    if (data.ReadNestedImage() == kUnknownBufferId) break;
    RepFileBuffer image;
    if (ReadImage(image, data.image())) {
      for (RepFooter& footer : image.footers) DecodeEverything(footer);
    }
    image.Dump(Out());
    image.ReleaseAllParts();
  }
}

}  // namespace
}  // namespace tallymere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallymere;
  fuzz::SwallowOutput swallow;
  RepFileBuffer image;
  const bool parsed = fuzz::ReadImage(image, Bytes(data, size));
  if (parsed) {
    for (RepFooter& footer : image.footers) fuzz::DecodeEverything(footer);
    fuzz::ReadNestedImages(image);
  }
  image.Dump(Out());
  image.ReleaseAllParts();
  return 0;
}
