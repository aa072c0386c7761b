// One repository file as the walk hands it to the per-file pipeline.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buffers/byte_reader.h"
#include "counters/rep_counters.h"
#include "platform/platform.h"

namespace tallymere {

class RepFileInput {
 public:
  // Copies the counter's part selection flags, points the counter's current
  // path at this file and reads the file (reporting a failure).
  RepFileInput(std::string path, RepCounters& counter);
  // Reads the file for the given part selection without touching a counter
  // (for reading ahead on another thread); the caller reports an unloaded file.
  RepFileInput(std::string path, const std::array<uint32_t, kPartKinds>& part_flags);
  // A file whose bytes are already in memory (tests and fuzzing): the same
  // set-up, with nothing read from disk.
  RepFileInput(std::string path, std::vector<uint8_t> content, RepCounters& counter);

  const std::string& path() const { return path_; }
  bool loaded() const { return loaded_; }
  // The whole file; empty when it was not loaded.
  Bytes bytes() const {
    return content_ ? Bytes(content_->data(), content_->size()) : Bytes{};
  }
  const std::array<uint32_t, kPartKinds>& part_flags() const { return part_flags_; }

 private:
  void Load();

  std::string path_;
  std::unique_ptr<ByteBuffer> content_;
  std::array<uint32_t, kPartKinds> part_flags_;
  bool loaded_ = false;
};

}  // namespace tallymere
