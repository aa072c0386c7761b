#include "scan/progress.h"

#include <cstdio>
#include <system_error>

#include "platform/output.h"
#include "platform/platform.h"
#include "platform/terminal_text.h"

namespace tallymere {

namespace {

constexpr auto kFirstShown = std::chrono::milliseconds(500);
constexpr auto kInterval = std::chrono::milliseconds(250);
constexpr unsigned kDefaultColumns = 80;

// 1234567 -> "1,234,567"
std::string Grouped(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

// Bytes with a decimal unit: "812 kB", "1.3 GB".
std::string Size(double bytes) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  size_t unit = 0;
  while (bytes >= 1000 && unit + 1 < std::size(kUnits)) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 || bytes >= 100 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Clock(std::chrono::milliseconds elapsed) {
  const auto seconds = static_cast<unsigned long long>(elapsed.count() / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu", seconds / 60, seconds % 60);
  return text;
}

// The tail of a path that fits in `room` code points, led by "...".
std::string FitFromTheLeft(const std::string& text, size_t room) {
  const auto starts_code_point = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
  size_t columns = 0;
  for (char c : text) columns += starts_code_point(c);
  if (columns <= room) return text;
  if (room <= 3) return "";
  const size_t drop = columns - (room - 3);
  size_t seen = 0, cut = 0;
  for (; cut < text.size(); ++cut) {
    if (!starts_code_point(text[cut])) continue;
    if (seen == drop) break;
    ++seen;
  }
  return "..." + text.substr(cut);
}

}  // namespace

std::unique_ptr<Progress> Progress::ForTerminal() {
  if (!ErrIsTerminal()) return nullptr;  // as decided at start-up, like the escaping
  auto progress = std::make_unique<Progress>();
  try {
    progress->sampler_ = std::thread([raw = progress.get()] { raw->Sample(); });
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: the run goes on without a line
  }
  return progress;
}

Progress::~Progress() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (sampler_.joinable()) sampler_.join();
  ClearStatusLine();
}

void Progress::SetFolderOf(const std::string& path) {
  const size_t end = path.find_last_of("/\\");
  std::lock_guard<std::mutex> lock(mutex_);
  folder_.assign(path, 0, end == std::string::npos ? 0 : end);
}

std::string Progress::Line(std::chrono::milliseconds elapsed, unsigned columns) {
  const uint64_t read = read_.load(std::memory_order_relaxed);
  const double seconds = static_cast<double>(elapsed.count()) / 1000;
  std::string line = Grouped(files_.load(std::memory_order_relaxed)) + " files, " +
                     Grouped(events_.load(std::memory_order_relaxed)) + " events, " + Size(read) + " read, " +
                     Size(unpacked_.load(std::memory_order_relaxed)) + " unpacked, " +
                     Size(seconds > 0 ? read / seconds : 0) + "/s, " + Clock(elapsed);
  // One column short of the width: a line that wraps can no longer be
  // rewritten in place.
  const size_t room = columns - 1;
  // The folder is escaped here, a few times a second, rather than as the
  // walk reaches each file; and before it is fitted, so that what is fitted
  // is what the screen shows.
  std::string folder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    folder = Escaped(folder_);
  }
  constexpr size_t kLeastFolder = 12;  // less of a path tells nothing
  if (!folder.empty() && line.size() + 3 + kLeastFolder <= room) {
    line += " | " + FitFromTheLeft(folder, room - line.size() - 3);
  }
  if (line.size() > room) line.resize(room);
  return line;
}

void Progress::Sample() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto next = start_ + kFirstShown;
  while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
    lock.unlock();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    const unsigned columns = platform::TerminalColumns(platform::Stream::kErr);
    ShowStatusLine(Line(elapsed, columns == 0 ? kDefaultColumns : columns));
    lock.lock();
    next += kInterval;
  }
}

}  // namespace tallymere
