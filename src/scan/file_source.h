// A repository file as the source of its image: read by position, from any
// thread, as far as the parse needs it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "container/image_source.h"
#include "platform/platform.h"

namespace tallymere {

class FileSource final : public ImageSource {
 public:
  explicit FileSource(std::unique_ptr<platform::RandomAccessFile> file);

  Bytes Read(uint64_t offset, uint64_t length, ByteBuffer& storage) const override;
  bool failed() const override;
  const platform::FileIdentity& identity() const { return file_->identity(); }
  // Why the first read that failed did: the system's text, or that the file
  // ended early because it was shortened while it was read.
  std::string FailureText() const;

 private:
  void Fail(std::string text) const;

  std::unique_ptr<platform::RandomAccessFile> file_;
  mutable std::mutex mutex_;
  mutable bool failed_ = false;
  mutable std::string failure_text_;
};

}  // namespace tallymere
