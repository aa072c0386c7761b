// Live progress of a long run, for a person at a terminal.
//
// The counting threads only add to a few counters; one sampler thread
// formats them into the status line of the output layer, at most four times
// a second and only after the first half second, so short runs show
// nothing. When standard error is no terminal there is no Progress at all,
// and standard error carries exactly the program's messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tallymere {

class Progress {
 public:
  // A running Progress when standard error is a terminal, else null.
  static std::unique_ptr<Progress> ForTerminal();
  // Counts without showing anything (ForTerminal starts the sampler).
  Progress() = default;
  // Stops the sampler and clears the line: nothing of it stays on screen.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void AddRead(uint64_t bytes) { read_.fetch_add(bytes, std::memory_order_relaxed); }
  void AddUnpacked(uint64_t bytes) { unpacked_.fetch_add(bytes, std::memory_order_relaxed); }
  void AddFileDone(uint64_t events) {
    files_.fetch_add(1, std::memory_order_relaxed);
    events_.fetch_add(events, std::memory_order_relaxed);
  }
  // The folder of the file the walk has reached.
  void SetFolderOf(const std::string& path);

  // The line after `elapsed`, cut to fit a terminal `columns` wide.
  std::string Line(std::chrono::milliseconds elapsed, unsigned columns);

 private:
  void Sample();

  std::atomic<uint64_t> files_{0}, events_{0}, read_{0}, unpacked_{0};
  std::mutex mutex_;  // guards folder_ and stopping_
  std::string folder_;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread sampler_;
};

}  // namespace tallymere
