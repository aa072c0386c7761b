#include "platform/platform.h"
#include "platform/win32/win32_support.h"

#include <shellapi.h>  // after the Windows headers it builds on

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tallymere::platform {

namespace {

// A console program's streams are in text mode: every line ends with CR LF.
std::string WithCrLf(std::string_view text) {
  std::string result;
  result.reserve(text.size() + text.size() / 32);
  for (char c : text) {
    if (c == '\n') result.push_back('\r');
    result.push_back(c);
  }
  return result;
}

// A file or a pipe gets the UTF-8 bytes. Short writes are continued; a
// write that fails or takes nothing (a closed pipe, a full disk) ends it.
bool WriteBytes(HANDLE handle, std::string_view bytes, std::string& error_text) {
  while (!bytes.empty()) {
    const auto wanted = static_cast<DWORD>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), wanted, &written, nullptr)) {
      error_text = win32::SystemErrorText(GetLastError());
      return false;
    }
    if (written == 0) {
      error_text = win32::SystemErrorText(ERROR_WRITE_FAULT);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// A console shows UTF-16 correctly whatever its code page, and the console's
// code page stays as the user set it.
bool WriteConsoleText(HANDLE console, std::string_view bytes, std::string& error_text) {
  const std::wstring wide = win32::WidenLossy(bytes);
  std::wstring_view rest = wide;
  while (!rest.empty()) {
    const auto wanted = static_cast<DWORD>(rest.size() < 16384 ? rest.size() : 16384);
    DWORD written = 0;
    if (!WriteConsoleW(console, rest.data(), wanted, &written, nullptr)) {
      error_text = win32::SystemErrorText(GetLastError());
      return false;
    }
    if (written == 0) {
      error_text = win32::SystemErrorText(ERROR_WRITE_FAULT);
      return false;
    }
    rest.remove_prefix(written);
  }
  return true;
}

// Copies `text` into [out, out_end) with every LF as CR LF, as far as the
// room takes it, and returns the end of what was written; `text` keeps what
// is left. Eight bytes a step, each stored as it is scanned: this runs over
// every byte of the report on the one thread that writes it, and a scan for
// the line end followed by a copy of the line called the C library twice a
// line.
char* CopyWithCrLf(std::string_view& text, char* out, char* out_end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  constexpr uint64_t kNewlines = kOnes * '\n';
  const char* in = text.data();
  const char* const in_end = in + text.size();
  // Room for a whole word and a CR.
  while (in_end - in >= 8 && out_end - out >= 9) {
    uint64_t word;
    std::memcpy(&word, in, 8);
    std::memcpy(out, &word, 8);
    const uint64_t x = word ^ kNewlines;  // a zero byte where a newline was
    const uint64_t found = (x - kOnes) & ~x & kHighs;
    if (found == 0) {
      in += 8;
      out += 8;
      continue;
    }
    // The lowest flagged byte is always a newline (bytes are in memory
    // order, least significant first); flags above it may be false.
    const auto at = static_cast<size_t>(std::countr_zero(found) / 8);
    out[at] = '\r';
    out[at + 1] = '\n';
    in += at + 1;
    out += at + 2;
  }
  for (; in < in_end && out_end - out >= 2; ++in) {
    if (*in == '\n') *out++ = '\r';
    *out++ = *in;
  }
  text.remove_prefix(static_cast<size_t>(in - text.data()));
  return out;
}

// A file or a pipe gets the text with CR LF line ends, converted piece by
// piece in a buffer the thread keeps: a report of hundreds of megabytes
// costs one pass over its bytes and no allocation, rather than a copy of the
// same size (which the heap would map afresh for every megabyte written).
// Pieces of a megabyte keep the writes as few as where no conversion is
// needed; every write is a system call, and more under some Windows layers.
bool WriteBytesWithCrLf(HANDLE handle, std::string_view text, std::string& error_text) {
  constexpr size_t kMostPiece = size_t{1} << 20;
  thread_local std::vector<char> room;
  // Short texts (lines to standard error) need no more than their size.
  const size_t wanted = std::min(kMostPiece, text.size() + text.size() / 8 + 16);
  if (room.size() < wanted) room.resize(wanted);
  char* const piece = room.data();
  char* const piece_end = piece + room.size();
  char* used_end = piece;
  while (!text.empty()) {
    used_end = CopyWithCrLf(text, used_end, piece_end);
    if (text.empty()) break;
    if (!WriteBytes(handle, std::string_view(piece, static_cast<size_t>(used_end - piece)), error_text)) return false;
    used_end = piece;
  }
  return used_end == piece ||
         WriteBytes(handle, std::string_view(piece, static_cast<size_t>(used_end - piece)), error_text);
}

}  // namespace

void InitConsole() {
  // A missing disk or network drive is reported as an error of the call, not
  // in a dialog that waits for a person.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool WriteRaw(Stream stream, std::string_view bytes, std::string& error_text) {
  if (bytes.empty()) return true;
  HANDLE handle = GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  // A program started without the stream (or whose stream was set to no
  // handle) has nowhere to write it to.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    error_text = win32::SystemErrorText(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) return WriteConsoleText(handle, WithCrLf(bytes), error_text);
  return WriteBytesWithCrLf(handle, bytes, error_text);
}

namespace {

HANDLE StreamHandle(Stream stream) {
  return GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

bool IsTerminal(Stream stream) {
  DWORD mode = 0;
  return GetConsoleMode(StreamHandle(stream), &mode) != 0;
}

// Every console program of a window writes to the one console it has.
bool ShareTerminal() { return IsTerminal(Stream::kOut) && IsTerminal(Stream::kErr); }

unsigned TerminalColumns(Stream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) return 0;
  return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  const win32::UniqueLocal<LPWSTR> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(win32::NarrowLossy(wide.get()[i]));
  return arguments;
}

}  // namespace tallymere::platform
