#include "repository/rep_file_input.h"

#include <new>

#include "platform/output.h"

namespace tallymere {

RepFileInput::RepFileInput(std::string path, RepCounters& counter)
    : path_(std::move(path)), part_flags_(counter.part_flags) {
  counter.current_path = &path_;
  Load();
  if (!loaded_) counter.incomplete = true;
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
  } catch (const std::exception&) {
    Err() << "Exception in Load() for " << path_ << "\n";
  }
}

}  // namespace tallymere
