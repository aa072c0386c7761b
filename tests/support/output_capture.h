// Captures what the program writes to standard output and standard error
// while the object lives.
#pragma once

#include <string>

#include "platform/output.h"

namespace tallymere::test {

class OutputCapture {
 public:
  OutputCapture() { CaptureOutputForTesting(&out_, &err_); }
  ~OutputCapture() { CaptureOutputForTesting(nullptr, nullptr); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  const std::string& out() {
    Out().Flush();
    return out_;
  }
  const std::string& err() { return err_; }
  void Clear() {
    Out().Flush();
    out_.clear();
    err_.clear();
  }

 private:
  std::string out_;
  std::string err_;
};

}  // namespace tallymere::test
