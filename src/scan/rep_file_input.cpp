#include "scan/rep_file_input.h"

namespace tallymere {

RepFileInput::RepFileInput(std::string path, const std::array<uint32_t, kPartKinds>& part_flags)
    : path_(std::move(path)), part_flags_(part_flags) {
  platform::OpenResult opened = platform::OpenForReading(path_);
  if (opened.file) {
    file_ = std::make_unique<FileSource>(std::move(opened.file));
    source_ = file_.get();
    return;
  }
  notes_.out() << (opened.error == platform::ReadError::kLength ? "Can't get file length " : "Can't open file ")
               << RepositoryText(path_) << "\n";
  notes_.err() << opened.error_text << "\n";
}

RepFileInput::RepFileInput(std::string path, std::vector<uint8_t> content,
                           const std::array<uint32_t, kPartKinds>& part_flags)
    : path_(std::move(path)),
      content_(std::make_unique<ByteBuffer>(content.begin(), content.end())),
      part_flags_(part_flags) {
  memory_ = std::make_unique<MemorySource>(Bytes(*content_));
  source_ = memory_.get();
}

bool RepFileInput::read_failed() const { return file_ != nullptr && file_->failed(); }

void RepFileInput::ReportReadFailure() {
  notes_.out() << "Can't read file " << RepositoryText(path_) << "\n";
  notes_.err() << file_->FailureText() << "\n";
}

}  // namespace tallymere
