// The decompression floor of a counting mode: reads every repository file
// whole, walks its footers and inflates every data buffer the mode reads
// into one reused buffer with libdeflate. No checksum, no record parsing, no
// counting: nothing can count faster than this reads.
//
//   tallymere_floor <mode> <repository>
// prints "<files> <buffers> <unpacked bytes>" on standard output.
#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "buffers/byte_reader.h"
#include "container/rep_file_buffer.h"
#include "parts/buffer_ids.h"
#include "platform/platform.h"

namespace {

using namespace tallymere;

struct Totals {
  uint64_t files = 0, buffers = 0, unpacked = 0;
};

class Floor {
 public:
  explicit Floor(int mode) : decompressor_(libdeflate_alloc_decompressor()) {
    const bool counts = mode >= 0;
    const bool categories = counts && !(mode % 20 >= 3 && mode % 20 <= 6);
    selected_[kCatBufferId] = categories;
    selected_[kCompBufferId] = counts;
    selected_[kEventsBufferId] = counts;
  }
  ~Floor() { libdeflate_free_decompressor(decompressor_); }

  void Walk(std::string folder) {
    std::vector<platform::DirEntry> entries;
    std::string error;
    if (!platform::ListFolder(folder, entries, error)) return;
    std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.name < b.name; });
    for (const auto& entry : entries) {
      const std::string path = folder + "/" + entry.name;
      if (entry.is_folder()) Walk(path);
      else if (entry.name.size() > 4 && entry.name.ends_with(".rep")) ReadFile(path);
    }
  }

  const Totals& totals() const { return totals_; }

 private:
  void ReadFile(const std::string& path) {
    const platform::OpenResult opened = platform::OpenForReading(path);
    if (!opened.file) return;
    // A buffer of its own for each file, as a program that reads files
    // whole has.
    const size_t size = static_cast<size_t>(opened.file->size());
    const auto content = std::make_unique_for_overwrite<uint8_t[]>(size);
    std::string error;
    if (opened.file->ReadAt(0, content.get(), size, error) != size) return;
    ++totals_.files;
    ReadImage(Bytes(content.get(), size));
  }

  void ReadImage(Bytes image) {
    RepFileBuffer buffer;  // no part kind selected: the footers only
    if (!buffer.Open(image) || buffer.Parse() != 0 || buffer.kind != FileKind::Data) return;
    for (const RepFooter& footer : buffer.footers) {
      for (const BufferEntry& entry : footer.entries) {
        if (entry.buffer_id == kDataBufferId) {
          std::vector<uint8_t> nested = Inflate(image, entry, /*keep=*/true);
          ReadImage(Bytes(nested.data(), nested.size()));
        } else if (entry.buffer_id >= 0 && entry.buffer_id < 13 && selected_[entry.buffer_id]) {
          Inflate(image, entry, /*keep=*/false);
        }
      }
    }
  }

  // The content of one data buffer, decoded into the reused buffer (or a
  // new one that the caller keeps).
  std::vector<uint8_t> Inflate(Bytes image, const BufferEntry& entry, bool keep) {
    ByteView view(image);
    Bytes buffer = view.SubAt(entry.offset, entry.length);
    if (buffer.size() < 21) return {};
    const size_t name_end = std::find(buffer.begin() + 12, buffer.end(), 0) - buffer.begin();
    if (name_end + 9 > buffer.size()) return {};
    const uint32_t unpacked = LoadLE32(buffer.data() + buffer.size() - 4);
    std::vector<uint8_t> own;
    std::vector<uint8_t>& out = keep ? own : reused_;
    if (out.size() < unpacked) out.resize(unpacked);
    size_t produced = 0;
    libdeflate_deflate_decompress_ex(decompressor_, buffer.data() + name_end + 1, buffer.size() - name_end - 1,
                                     out.data(), unpacked, nullptr, &produced);
    ++totals_.buffers;
    totals_.unpacked += produced;
    return own;
  }

  libdeflate_decompressor* decompressor_;
  bool selected_[13] = {};
  std::vector<uint8_t> reused_;
  Totals totals_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tallymere_floor <mode> <repository>\n");
    return 1;
  }
  Floor floor(std::atoi(argv[1]));
  for (const char* root : {"/Hot$/Environment$", "/Environment$"}) floor.Walk(argv[2] + std::string(root));
  const Totals& t = floor.totals();
  std::printf("%llu %llu %llu\n", static_cast<unsigned long long>(t.files), static_cast<unsigned long long>(t.buffers),
              static_cast<unsigned long long>(t.unpacked));
  return 0;
}
