// Buffered text output shared by the whole program.
//
// Reports run to millions of lines, usually redirected to a file, so standard
// output is buffered here and written in large blocks. Narrow text and
// repository strings (UTF-16, written as UTF-8) go through the same buffer and
// so come out in the order they were written. Standard error is unbuffered;
// writing to it first flushes standard output so a terminal shows both in
// order.
//
// Text that comes from the repository (paths, and the UTF-16 strings read
// from its files) is written escaped to a stream that is a terminal (see
// terminal_text.h), and byte for byte to any other: a redirected report or
// diagnostic is exactly what the repository holds. Whether each stream is a
// terminal is decided once, at start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallymere {

// Marks UTF-8 text (a path, any bytes) as the repository's: a TextOut whose
// stream is a terminal writes it escaped.
struct RepositoryText {
  explicit RepositoryText(std::string_view text) : bytes(text) {}
  std::string_view bytes;
};

class TextOut {
 public:
  TextOut& operator<<(std::string_view text);
  TextOut& operator<<(const char* text) { return *this << std::string_view(text); }
  TextOut& operator<<(const std::string& text) { return *this << std::string_view(text); }
  TextOut& operator<<(RepositoryText text);
  // UTF-16 text is always the repository's: it is escaped on a terminal.
  TextOut& operator<<(std::u16string_view text);
  TextOut& operator<<(const std::u16string& text) { return *this << std::u16string_view(text); }
  TextOut& operator<<(char c) { return *this << std::string_view(&c, 1); }
  TextOut& operator<<(uint64_t value);
  TextOut& operator<<(int64_t value);
  TextOut& operator<<(uint32_t value) { return *this << static_cast<uint64_t>(value); }
  TextOut& operator<<(int32_t value) { return *this << static_cast<int64_t>(value); }
  TextOut& operator<<(uint16_t value) { return *this << static_cast<uint64_t>(value); }

  // The end of a line, flushed when the stream is standard error.
  TextOut& Endl() { return *this << "\n"; }
  void Flush();

  std::string& buffer() { return buffer_; }
  // The stream this writes to, or will be replayed to, is a terminal.
  bool ToTerminal() const;

 private:
  friend TextOut& Out();
  friend TextOut& Err();
  friend TextOut& ReportOut();
  friend class OutputRecording;
  TextOut(bool is_err, class OutputRecording* recording, bool is_report = false)
      : is_err_(is_err), is_report_(is_report), recording_(recording) {}
  void AfterWrite();
  void Emit(std::string_view text);  // to the stream, capture or recording
  void EmitToStream(std::string_view text);
  // Whether the text ends on standard error: Err(), or Out() when the
  // diagnostics were sent there.
  bool WritesToErr() const;

  std::string buffer_;
  bool is_err_;
  bool is_report_;
  class OutputRecording* recording_;  // set for the streams of a recording
};

// Text for either stream kept in order, to be written later exactly as if
// it had been written then. Work done ahead (on worker threads, or before
// earlier work is finished) reports into one, and its turn writes it out.
class OutputRecording {
 public:
  OutputRecording() = default;
  OutputRecording(const OutputRecording&) = delete;
  OutputRecording& operator=(const OutputRecording&) = delete;

  TextOut& out() { return out_; }
  TextOut& err() { return err_; }
  bool empty() const { return segments_.empty() && out_.buffer_.empty(); }
  // Writes everything recorded to the calling thread's streams, in order,
  // and empties the recording.
  void Replay();
  // Everything recorded, both streams in order (for tests).
  std::string Text();
  // Takes what `later` recorded to follow what this one holds.
  void Append(OutputRecording& later);

 private:
  friend class TextOut;
  void Append(bool is_err, const std::string& text);

  TextOut out_{false, this};
  TextOut err_{true, this};
  std::vector<std::pair<bool, std::string>> segments_;  // (is standard error, text)
};

// The line ends in a text.
uint64_t LineCount(std::string_view text);

// A recording that can be moved, and costs nothing until something is
// written to it: most steps report nothing.
class Notes {
 public:
  TextOut& out() { return Recording().out(); }
  TextOut& err() { return Recording().err(); }
  bool empty() const { return !recording_ || recording_->empty(); }
  // The lines the notes hold.
  uint64_t Lines() { return recording_ ? LineCount(recording_->Text()) : 0; }
  // Writes the notes to the calling thread's streams and empties them.
  void Write() {
    if (recording_) recording_->Replay();
  }
  std::string Text() { return recording_ ? recording_->Text() : std::string(); }
  // Takes `later`'s notes to follow these.
  void Append(Notes& later) {
    if (later.empty()) return;
    if (!recording_) {
      recording_ = std::move(later.recording_);
      return;
    }
    recording_->Append(*later.recording_);
    later.recording_.reset();
  }

 private:
  OutputRecording& Recording() {
    if (!recording_) recording_ = std::make_unique<OutputRecording>();
    return *recording_;
  }
  std::unique_ptr<OutputRecording> recording_;
};

// Standard output (buffered) and standard error (written at once). Out()
// carries the diagnostics about the repository, the verbose lines and the
// usage; unless the report is sent elsewhere, the report too.
TextOut& Out();
TextOut& Err();
// The report's own stream: Out() itself for the plain report on standard
// output, so the two keep their order; standard output apart from Out()
// once the diagnostics are sent to standard error.
TextOut& ReportOut();

// For a report that a program reads (CSV, JSON Lines, a page): what Out()
// carries goes to standard error from now on, so standard output holds
// nothing but the report. Call before any thread writes.
void SendDiagnosticsToStandardError();
// Whether the report's stream is a terminal (its names are then escaped).
bool ReportIsTerminal();
// Sends the report to a file that takes the place of `path` only once the
// whole report is written (see platform/replacing_file.h); standard output
// then holds no report. False, with the system's text, when the file
// cannot be made. Call before any thread writes.
bool SendReportToFile(const std::string& path, std::string& error_text);
// Flushes the report and, for a file, puts it in its path. False, with the
// system's text, when that failed: the path keeps its old content.
bool FinishReport(std::string& error_text);

// Finds whether standard output and standard error are terminals; call
// once at start-up, before any thread is started. Until then neither is
// taken for one.
void DecideTerminalOutput();
bool OutIsTerminal();
bool ErrIsTerminal();
// Tests: takes the streams for terminals or not, whatever they are.
void SetTerminalOutputForTesting(bool out, bool err);

// Repository text (UTF-16) as UTF-8 for standard output, for text that is
// put together now and written there later: escaped when standard output
// is a terminal.
std::string RepositoryUtf8ForOut(std::u16string_view text);

// Flushes standard output and the report; call before the process ends.
void FlushOutput();

// The exit status of a run that stopped before its report was complete.
inline constexpr int kStatusFatal = 255;

// Ends the process with kStatusFatal after "Can't write the report: " and
// the error text on standard error. Called when standard output fails.
[[noreturn]] void StopReportUnwritable(const std::string& error_text);

// Ends the process with kStatusFatal after saying on standard error that
// memory ran out. Standard output written so far is flushed first.
[[noreturn]] void StopOutOfMemory();

// A status line on standard error, for a terminal: one line rewritten in
// place. While one is shown, everything else written to that terminal
// (standard error, and standard output when it is the same terminal) first
// clears it, so no other text is mixed with it; the next ShowStatusLine
// puts it back. Any thread may call these. Control characters in the text
// are shown escaped, so the line stays one line. From the first line shown
// on, SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and closing the console on
// Windows) clear it before they end the program.
void ShowStatusLine(std::string_view text);
void ClearStatusLine();

// Tests: while a target is set, what would be written to that stream is
// appended to it instead (standard output when it is flushed). Null restores
// the stream. Standard output is flushed before the change.
void CaptureOutputForTesting(std::string* out, std::string* err);

// Appends the UTF-8 form of UTF-16 text; an unpaired surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, std::u16string_view text);
std::string ToUtf8(std::u16string_view text);
// UTF-8 (or any bytes) widened for property names and the like; invalid
// sequences become U+FFFD.
std::u16string ToUtf16(std::string_view text);

}  // namespace tallymere
