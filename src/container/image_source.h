// Where the bytes of a repository image are: a file on disk, read by
// position as far as it is needed, or bytes in memory (the unpacked content
// of a data buffer that holds a nested image).
//
// A file is never held whole: its footers and tables are read first, then
// each data buffer when it is unpacked, so the memory a file takes does not
// grow with its size.
#pragma once

#include <cstdint>

#include "buffers/byte_reader.h"

namespace tallymere {

class ImageSource {
 public:
  virtual ~ImageSource() = default;

  uint64_t size() const { return size_; }
  // The bytes [offset, offset + length), which the caller has checked to lie
  // inside the image: a view of memory, or read into `storage`, valid while
  // both live. A read that fails yields zeros and marks the source failed.
  // Safe to call from several threads at once.
  virtual Bytes Read(uint64_t offset, uint64_t length, ByteBuffer& storage) const = 0;
  // True once a read has failed: the image is then lost as a whole.
  virtual bool failed() const { return false; }
  // True when reads are views of memory and cost nothing to hold.
  virtual bool in_memory() const { return false; }

 protected:
  explicit ImageSource(uint64_t size) : size_(size) {}

 private:
  uint64_t size_;
};

// An image in memory, which must outlive the source.
class MemorySource final : public ImageSource {
 public:
  explicit MemorySource(Bytes image) : ImageSource(image.size()), image_(image) {}
  Bytes Read(uint64_t offset, uint64_t length, ByteBuffer&) const override {
    return ByteView(image_).SubAt(offset, length);
  }
  Bytes bytes() const { return image_; }
  bool in_memory() const override { return true; }

 private:
  Bytes image_;
};

// A window of a source for a parser that reads many small fields near each
// other (the footers): one read fills it, and fields inside it are views.
class SourceWindow {
 public:
  explicit SourceWindow(const ImageSource& source) : source_(source) {}
  // Reads [offset, offset + length), clipped to the image, into the window.
  void Load(uint64_t offset, uint64_t length);
  // The bytes [offset, offset + length): from the window when it holds them,
  // else read; empty when they do not lie inside the image.
  Bytes Get(uint64_t offset, uint64_t length);
  uint64_t size() const { return source_.size(); }
  const ImageSource& source() const { return source_; }

 private:
  const ImageSource& source_;
  uint64_t start_ = 0;
  Bytes view_;
  ByteBuffer storage_;
  ByteBuffer scratch_;
};

}  // namespace tallymere
