#include "platform/output.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <mutex>

#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/replacing_file.h"
#include "platform/terminal_text.h"
#include "platform/utf8.h"

namespace tallymere {

namespace {
constexpr size_t kFlushThreshold = 1 << 16;
std::string* g_capture_out = nullptr;
std::string* g_capture_err = nullptr;
// Decided once at start-up; read by every thread that writes.
std::atomic<bool> g_out_terminal{false};
// Out() writes to standard error, the report alone to standard output.
std::atomic<bool> g_diagnostics_to_err{false};
// The report goes to a stream of its own, not Out(): standard output while
// the diagnostics go to standard error, or the file given for it.
std::atomic<bool> g_report_apart{false};
std::unique_ptr<platform::ReplacingFile> g_report_file;
std::atomic<bool> g_err_terminal{false};

// What the interrupt action knows of the status line. It may take no lock,
// so this is apart from the mutex, lock-free and constant-initialised.
// Writers of the line say so in `writing` before they look at
// `interrupted`, and the action sets `interrupted` before it looks at
// `writing`: either a writer sees the interrupt and writes nothing, or the
// action sees the write and waits for it to end, so the blank it writes
// comes last.
struct OnScreen {
  std::atomic<size_t> columns{0};  // of the line on the screen, 0 when none
  std::atomic<bool> writing{false};
  std::atomic<bool> interrupted{false};
};
static_assert(std::atomic<size_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
OnScreen g_on_screen;

// Writes bytes of the status line that leave `columns` of it on the screen,
// unless the program is ending by an interrupt. While they are written the
// action takes the longer of the old and new line for what may be shown.
void WriteStatusBytes(std::string_view bytes, size_t columns) {
  g_on_screen.writing.store(true);
  if (!g_on_screen.interrupted.load()) {
    g_on_screen.columns.store(std::max(g_on_screen.columns.load(), columns));
    std::string lost;
    platform::WriteRaw(platform::Stream::kErr, bytes, lost);
    g_on_screen.columns.store(columns);
  }
  g_on_screen.writing.store(false);
}

// The interrupt action: blanks the status line out with bytes that need no
// allocation. A write of the line in progress on another thread is waited
// for, a little: one that this very handler cut short never ends.
void BlankStatusLineOnInterrupt() {
  g_on_screen.interrupted.store(true);
  constexpr int kMostPauses = 100;
  for (int pause = 0; pause < kMostPauses && g_on_screen.writing.load(); ++pause) platform::PauseOnInterrupt();
  static constexpr auto kBlanks = [] {
    std::array<char, 128> blanks{};
    blanks.fill(' ');
    return blanks;
  }();
  size_t columns = g_on_screen.columns.load();
  if (columns == 0) return;
  platform::WriteErrOnInterrupt("\r", 1);
  while (columns > 0) {
    const size_t piece = std::min(columns, kBlanks.size());
    platform::WriteErrOnInterrupt(kBlanks.data(), piece);
    columns -= piece;
  }
  platform::WriteErrOnInterrupt("\r", 1);
}

// The status line and the writes that must not cut into it.
struct StatusLine {
  // Recursive: a failed write of the report stops the run from within Emit.
  std::recursive_mutex mutex;
  bool out_shares = false;         // standard output is the same terminal
  std::atomic<bool> used = false;  // a line was shown in this run

  // With the mutex held.
  void Clear() {
    const size_t shown = g_on_screen.columns.load();
    if (shown == 0) return;
    std::string blank(shown + 2, ' ');
    blank.front() = blank.back() = '\r';
    WriteStatusBytes(blank, 0);
  }
};

StatusLine& TheStatusLine() {
  static StatusLine line;
  return line;
}

// Columns a UTF-8 text takes, one per code point.
size_t Columns(std::string_view text) {
  size_t columns = 0;
  for (char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}
}  // namespace

void ShowStatusLine(std::string_view text) {
  StatusLine& line = TheStatusLine();
  std::lock_guard<std::recursive_mutex> lock(line.mutex);
  if (!line.used) {
    line.out_shares = platform::ShareTerminal();
    line.used = true;
    // Refused, an interrupt leaves the line on the screen as it always did.
    static_cast<void>(platform::RunOnInterrupt(BlankStatusLineOnInterrupt));
  }
  const size_t before = g_on_screen.columns.load();
  // The old line's tail is blanked out rather than erased with an escape
  // sequence, which not every console reads.
  std::string shown;
  shown.reserve(1 + text.size() + before);
  shown.push_back('\r');
  AppendEscaped(shown, text);
  const size_t columns = Columns(std::string_view(shown).substr(1));
  if (columns < before) shown.append(before - columns, ' ');
  WriteStatusBytes(shown, columns);
}

void ClearStatusLine() {
  StatusLine& line = TheStatusLine();
  std::lock_guard<std::recursive_mutex> lock(line.mutex);
  line.Clear();
}

void CaptureOutputForTesting(std::string* out, std::string* err) {
  Out().Flush();
  g_capture_out = out;
  g_capture_err = err;
}

void DecideTerminalOutput() {
  g_out_terminal.store(platform::IsTerminal(platform::Stream::kOut));
  g_err_terminal.store(platform::IsTerminal(platform::Stream::kErr));
}

bool OutIsTerminal() { return g_out_terminal.load(std::memory_order_relaxed); }
bool ErrIsTerminal() { return g_err_terminal.load(std::memory_order_relaxed); }

void SetTerminalOutputForTesting(bool out, bool err) {
  g_out_terminal.store(out);
  g_err_terminal.store(err);
}

std::string RepositoryUtf8ForOut(std::u16string_view text) { return OutIsTerminal() ? Escaped(text) : ToUtf8(text); }

bool TextOut::WritesToErr() const { return is_err_ || (!is_report_ && g_diagnostics_to_err.load()); }

bool TextOut::ToTerminal() const {
  if (is_report_) return ReportIsTerminal();
  return WritesToErr() ? ErrIsTerminal() : OutIsTerminal();
}

uint64_t LineCount(std::string_view text) { return static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')); }

void SendDiagnosticsToStandardError() {
  Out().Flush();
  g_diagnostics_to_err.store(true);
  g_report_apart.store(true);
}

bool SendReportToFile(const std::string& path, std::string& error_text) {
  g_report_file = platform::ReplacingFile::Create(path, error_text);
  if (!g_report_file) return false;
  g_report_file->WriteLineEndsAsConsole();
  g_report_apart.store(true);
  return true;
}

bool FinishReport(std::string& error_text) {
  ReportOut().Flush();
  if (!g_report_file) return true;
  const bool committed = g_report_file->Commit(error_text);
  g_report_file.reset();
  return committed;
}

bool ReportIsTerminal() { return !g_report_file && OutIsTerminal(); }

TextOut& ReportOut() {
  if (!g_report_apart.load()) return Out();
  static TextOut report(false, nullptr, /*is_report=*/true);
  return report;
}

TextOut& Out() {
  static TextOut out(false, nullptr);
  return out;
}

TextOut& Err() {
  static TextOut err(true, nullptr);
  return err;
}

void OutputRecording::Append(bool is_err, const std::string& text) {
  if (!segments_.empty() && segments_.back().first == is_err) {
    segments_.back().second += text;
  } else {
    segments_.emplace_back(is_err, text);
  }
}

std::string OutputRecording::Text() {
  out_.Flush();
  std::string text;
  for (const auto& segment : segments_) text += segment.second;
  return text;
}

void OutputRecording::Append(OutputRecording& later) {
  out_.Flush();
  later.out_.Flush();
  for (const auto& [is_err, text] : later.segments_) Append(is_err, text);
  later.segments_.clear();
}

void OutputRecording::Replay() {
  out_.Flush();
  for (const auto& [is_err, text] : segments_) {
    if (is_err) {
      Err() << text;
    } else {
      Out() << text;
    }
  }
  segments_.clear();
}

void FlushOutput() {
  Out().Flush();
  ReportOut().Flush();
}

void TextOut::Flush() {
  if (buffer_.empty()) return;
  Emit(buffer_);
  buffer_.clear();
}

void TextOut::Emit(std::string_view text) {
  StatusLine& line = TheStatusLine();
  std::unique_lock<std::recursive_mutex> lock(line.mutex, std::defer_lock);
  if (recording_ == nullptr && line.used && (WritesToErr() || line.out_shares)) {
    lock.lock();
    line.Clear();
  }
  if (recording_ != nullptr) {
    recording_->Append(is_err_, std::string(text));
  } else if (std::string* capture = WritesToErr() ? g_capture_err : g_capture_out) {
    capture->append(text);
  } else {
    EmitToStream(text);
  }
}

void TextOut::EmitToStream(std::string_view text) {
  if (WritesToErr()) {
    std::string lost;  // diagnostics that cannot be shown have no one to tell
    platform::WriteRaw(platform::Stream::kErr, text, lost);
    return;
  }
  std::string error_text;
  const bool written = is_report_ && g_report_file ? g_report_file->Write(text, error_text)
                                                   : platform::WriteRaw(platform::Stream::kOut, text, error_text);
  if (!written) StopReportUnwritable(error_text);
}

// A report that could not be written whole is never a success, and going on
// would only fail again: the run stops at once.
void StopReportUnwritable(const std::string& error_text) {
  platform::RemoveUnfinishedFiles();  // an output file keeps its old content
  ClearStatusLine();
  const std::string message = "Can't write the report: " + error_text + "\n";
  std::string lost;
  platform::WriteRaw(platform::Stream::kErr, message, lost);
  std::_Exit(kStatusFatal);
}

void StopOutOfMemory() {
  static constexpr std::string_view kMessage = "Out of memory: the run was stopped before the report was complete\n";
  platform::RemoveUnfinishedFiles();  // an output file keeps its old content
  try {
    // What is buffered goes out first, so the message follows the
    // diagnostics written before it.
    Out().Flush();
    ClearStatusLine();
    std::string lost;
    platform::WriteRaw(platform::Stream::kErr, kMessage, lost);
  } catch (...) {
    // Nothing more can be said without memory; the status still tells.
  }
  std::_Exit(kStatusFatal);
}

void TextOut::AfterWrite() {
  if (WritesToErr()) {
    // What was written to standard output before comes first.
    if (recording_ != nullptr) {
      recording_->out_.Flush();
    } else if (this != &Out()) {
      Out().Flush();
    }
    Flush();
  } else if (buffer_.size() >= kFlushThreshold) {
    Flush();
  }
}

TextOut& TextOut::operator<<(std::string_view text) {
  // Large blocks of report text are written as they are, not copied first.
  if (!WritesToErr() && text.size() >= kFlushThreshold) {
    Flush();
    Emit(text);
    return *this;
  }
  buffer_.append(text);
  AfterWrite();
  return *this;
}

TextOut& TextOut::operator<<(RepositoryText text) {
  if (!ToTerminal()) return *this << text.bytes;
  AppendEscaped(buffer_, text.bytes);
  AfterWrite();
  return *this;
}

TextOut& TextOut::operator<<(std::u16string_view text) {
  if (ToTerminal()) {
    AppendEscaped(buffer_, text);
  } else {
    AppendUtf8(buffer_, text);
  }
  AfterWrite();
  return *this;
}

TextOut& TextOut::operator<<(uint64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return *this << std::string_view(digits, static_cast<size_t>(end - digits));
}

TextOut& TextOut::operator<<(int64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return *this << std::string_view(digits, static_cast<size_t>(end - digits));
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  for (size_t i = 0; i < text.size();) AppendCodePoint(out, NextUtf16CodePoint(text, i));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = static_cast<uint8_t>(text[i]);
    size_t length = 1;
    if (c >= 0x80 && (length = MultiByteSequenceAt(text, i, c)) == 0) {
      c = kReplacementCharacter;
      length = 1;
    }
    i += length;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace tallymere
