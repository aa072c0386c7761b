#include "scan/rep_file_input.h"

#include <new>

#include "platform/output.h"

namespace tallymere {

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
      content_(std::make_unique<ByteBuffer>(content.begin(), content.end())),
      part_flags_(counter.part_flags),
      loaded_(true) {
  counter.current_path = &path_;
}

void RepFileInput::Load() {
  try {
    const platform::OpenResult opened = platform::OpenForReading(path_);
    std::string error_text = opened.error_text;
    platform::ReadError error = opened.error;
    if (opened.file) {
      ByteBuffer bytes(opened.file->size());
      const std::optional<size_t> got = opened.file->ReadAt(0, bytes.data(), bytes.size(), error_text);
      if (got == bytes.size()) {
        content_ = std::make_unique<ByteBuffer>(std::move(bytes));
        loaded_ = true;
        return;
      }
      error = platform::ReadError::kRead;
      if (got) error_text = platform::ShrankWhileReadText(*got, bytes.size());
    }
    const char* what = error == platform::ReadError::kOpen     ? "Can't open file "
                       : error == platform::ReadError::kLength ? "Can't get file length "
                                                               : "Can't read file ";
    Out() << what << path_ << "\n";
    Err() << error_text << "\n";
  } catch (const std::exception& error) {
    Err() << "Exception in Load() for " << path_ << "\n";
    // Running out of memory ends the run, after the file is named.
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) throw;
  }
}

}  // namespace tallymere
