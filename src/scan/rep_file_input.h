// One repository file as the walk hands it to the per-file pipeline: its
// path, the source its image is read from, and the part kinds to build.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buffers/byte_reader.h"
#include "container/image_source.h"
#include "counters/rep_counters.h"
#include "platform/output.h"
#include "scan/file_source.h"

namespace tallymere {

class RepFileInput {
 public:
  // Opens the file for reading by position; a failure to open it or to
  // take its length is reported into notes().
  RepFileInput(std::string path, const std::array<uint32_t, kPartKinds>& part_flags);
  // A file whose bytes are already in memory (tests and fuzzing): the same,
  // with nothing read from disk.
  RepFileInput(std::string path, std::vector<uint8_t> content, const std::array<uint32_t, kPartKinds>& part_flags);

  const std::string& path() const { return path_; }
  // Opened; false when reading it could not even start.
  bool loaded() const { return source_ != nullptr; }
  // The file that was opened, or null for one held in memory or not opened.
  const platform::FileIdentity* identity() const { return file_ ? &file_->identity() : nullptr; }
  // The file's image; valid when loaded.
  const ImageSource& source() const { return *source_; }
  // A read of the file failed after it was opened (it shrank, say): the
  // file is then not loaded after all, and reported as unread.
  bool read_failed() const;
  const std::array<uint32_t, kPartKinds>& part_flags() const { return part_flags_; }
  // What opening the file reported.
  Notes& notes() { return notes_; }
  // Reports a read that failed after the file was opened.
  void ReportReadFailure();

 private:
  std::string path_;
  std::unique_ptr<ByteBuffer> content_;
  std::unique_ptr<FileSource> file_;
  std::unique_ptr<ImageSource> memory_;
  const ImageSource* source_ = nullptr;
  std::array<uint32_t, kPartKinds> part_flags_;
  Notes notes_;
};

}  // namespace tallymere
