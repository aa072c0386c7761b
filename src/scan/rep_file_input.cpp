#include "scan/rep_file_input.h"

#include <new>

#include "platform/output.h"

namespace tallymere {

namespace {

// File content held in memory rather than read from disk.
class MemoryContent final : public platform::FileContent {
 public:
  explicit MemoryContent(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  const uint8_t* data() const override { return bytes_.data(); }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

RepFileInput::RepFileInput(std::string path, RepCounters& counter)
    : path_(std::move(path)), part_flags_(counter.part_flags) {
  counter.current_path = &path_;
  Load();
  if (!loaded_) counter.incomplete = true;
}

RepFileInput::RepFileInput(std::string path, const std::array<uint32_t, kPartKinds>& part_flags)
    : path_(std::move(path)), part_flags_(part_flags) {
  Load();
}

RepFileInput::RepFileInput(std::string path, std::vector<uint8_t> content, RepCounters& counter)
    : path_(std::move(path)),
      content_(std::make_unique<MemoryContent>(std::move(content))),
      part_flags_(counter.part_flags),
      loaded_(true) {
  counter.current_path = &path_;
}

void RepFileInput::Load() {
  try {
    platform::ReadResult result = platform::ReadWholeFile(path_);
    if (result.content) {
      content_ = std::move(result.content);
      loaded_ = true;
      return;
    }
    const char* what = result.error == platform::ReadError::kOpen     ? "Can't open file "
                       : result.error == platform::ReadError::kLength ? "Can't get file length "
                                                                      : "Can't read file ";
    Out() << what << path_ << "\n";
    Err() << result.error_text << "\n";
  } catch (const std::exception& error) {
    Err() << "Exception in Load() for " << path_ << "\n";
    // Running out of memory ends the run, after the file is named.
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) throw;
  }
}

}  // namespace tallymere
