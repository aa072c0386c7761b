// Shared by the fuzz targets: the program's text output is kept in memory and
// dropped after each input. The targets judge behaviour, not text, and
// printing every diagnostic to a terminal would slow them to a crawl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/output.h"

namespace tallymere::fuzz {

class SwallowOutput {
 public:
  SwallowOutput() { CaptureOutputForTesting(&out_, &err_); }
  ~SwallowOutput() {
    CaptureOutputForTesting(nullptr, nullptr);
    out_.clear();
    err_.clear();
  }
  SwallowOutput(const SwallowOutput&) = delete;
  SwallowOutput& operator=(const SwallowOutput&) = delete;

 private:
  // Static so that the capture buffers keep their capacity between inputs.
  static inline std::string out_;
  static inline std::string err_;
};

// Takes bytes off the front of the input for the target's own choices.
class InputSplitter {
 public:
  InputSplitter(const uint8_t* data, size_t size) : rest_(data, size) {}
  uint8_t TakeByte() {
    if (rest_.empty()) return 0;
    const uint8_t byte = rest_.front();
    rest_ = rest_.subspan(1);
    return byte;
  }
  std::span<const uint8_t> Rest() const { return rest_; }

 private:
  std::span<const uint8_t> rest_;
};

}  // namespace tallymere::fuzz
