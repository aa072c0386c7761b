// The narrow interface to the operating system. Everything that differs
// between POSIX and Windows lives behind these declarations; their
// implementations are in posix/ and win32/. Paths are UTF-8 text throughout
// the program; the Windows layer converts at its boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere::platform {

// ---- Clock and calendar ----------------------------------------------------

// 100-nanosecond intervals since 1601-01-01 00:00 UTC (run timing).
uint64_t NowFileTime();

// Seconds since 1970-01-01 00:00 UTC, low 32 bits (the time-window clock).
uint32_t CurrentTimeSeconds();

struct CalendarTime {
  uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// True for a real Gregorian date and time between 1601 and 30827: the range
// and the refusals of the Windows calendar conversion, which both builds
// apply so that they accept exactly the same time texts.
bool IsValidCalendarTime(const CalendarTime& time);

// The calendar time as 100-ns intervals since 1601-01-01, or nothing when it
// is no valid calendar time (see IsValidCalendarTime).
std::optional<uint64_t> CalendarToFileTime(const CalendarTime& time);

// ---- The program itself ---------------------------------------------------

// The command-line arguments as UTF-8 text. POSIX hands them over as they
// are; Windows reads the wide command line, since the narrow one is in the
// ANSI code page and loses every character outside it.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The program's file version as four numbers (major, minor, patch, build):
// from the executable's version resource on Windows, from the build
// elsewhere. False when it is unavailable.
bool GetProgramVersion(uint16_t (&parts)[4]);

// ---- Files and folders -----------------------------------------------------

// The separator between path components, '/' or '\\'.
char PathSeparator();

// True when the path names an existing file or folder.
bool PathExists(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_folder = false;
};

// Every entry of a folder except "." and "..", in no particular order.
// Returns false when the folder cannot be listed.
bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries);

// The repository argument as an absolute path. Returns false (after writing
// its own message) when it cannot be resolved.
bool ResolvePath(const std::string& argument, std::string& resolved);

// The whole content of a file, memory-mapped where the platform allows.
class FileContent {
 public:
  virtual ~FileContent() = default;
  virtual const uint8_t* data() const = 0;
  virtual uint64_t size() const = 0;
};

enum class ReadError { kNone, kOpen, kLength, kRead };

struct ReadResult {
  std::unique_ptr<FileContent> content;  // null on failure
  ReadError error = ReadError::kNone;
  std::string error_text;                // the C library's text for the failure
};

ReadResult ReadWholeFile(const std::string& path);

// The message for the last platform error, with its code, as
// "<text> <code> (0x<hex>)", or " code = <code> (0x<hex>)" without a text.
std::string LastErrorText();

// ---- Console ---------------------------------------------------------------

enum class Stream { kOut, kErr };

// Writes bytes unbuffered to standard output or standard error. Text is UTF-8.
void WriteRaw(Stream stream, std::string_view bytes);

// Prepares the console streams once at start-up (code pages, modes).
void InitConsole();

// ---- Memory ----------------------------------------------------------------

// Asks the allocator to keep freed memory for reuse. Every file unpacks into
// fresh buffers of megabytes; where the allocator maps such blocks anew each
// time and hands them back at once, each page costs a fault and a clearing.
void KeepFreedMemory();

// Memory straight from the system, outside the heap, in whole pages; given
// back with UnmapBlock and the same size. Null when none is to be had.
void* MapBlock(size_t bytes);
void UnmapBlock(void* block, size_t bytes);

}  // namespace tallymere::platform
