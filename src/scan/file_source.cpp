#include "scan/file_source.h"

#include <algorithm>

namespace tallymere {

FileSource::FileSource(std::unique_ptr<platform::RandomAccessFile> file)
    : ImageSource(file->size()), file_(std::move(file)) {}

Bytes FileSource::Read(uint64_t offset, uint64_t length, ByteBuffer& storage) const {
  storage.resize(static_cast<size_t>(length));
  std::string error_text;
  const std::optional<size_t> got = file_->ReadAt(offset, storage.data(), storage.size(), error_text);
  if (!got) {
    Fail(error_text);
    std::fill(storage.begin(), storage.end(), uint8_t{0});
  } else if (*got < length) {
    // The file was shortened since it was opened: everything read of it may
    // belong to another version of it, so the file is lost as a whole.
    Fail(platform::ShrankWhileReadText(offset + *got, size()));
    std::fill(storage.begin() + static_cast<std::ptrdiff_t>(*got), storage.end(), uint8_t{0});
  }
  return Bytes(storage);
}

bool FileSource::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

std::string FileSource::FailureText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_text_;
}

void FileSource::Fail(std::string text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return;  // the first failure tells
  failed_ = true;
  failure_text_ = std::move(text);
}

}  // namespace tallymere
