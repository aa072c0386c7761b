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

#include "platform/hash_mix.h"

namespace tallymere::platform {

// ---- Clock and calendar ----------------------------------------------------

// 100-nanosecond intervals since 1601-01-01 00:00 UTC (run timing).
uint64_t NowFileTime();

// Seconds since 1970-01-01 00:00 UTC, low 32 bits (the time-window clock).
uint32_t CurrentTimeSeconds();

// Processor time the calling thread has used, in nanoseconds (0 when the
// system cannot tell).
uint64_t ThreadCpuNanoseconds();

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

// What names one file or folder whatever the path it is reached by, and
// tells it from every file that takes its place later. The walk uses it to
// visit each real folder and file once, however many links lead to it, and
// it remembers identities long after their files are closed, while a
// service replaces files by renaming new copies over them: the number a
// deleted file had is soon given to a new one. So the number alone is not
// enough. On POSIX it is the device and inode with the file system's
// generation of that inode (from its file handle, or its birth time where
// the file system gives no handle); on Windows the volume serial number
// and the full 128-bit file ID, whose upper part carries the sequence
// number that tells a reused file record from its earlier use.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  uint64_t generation = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  size_t operator()(const FileIdentity& id) const noexcept {
    return static_cast<size_t>(HashMix(HashMix(HashMix(id.volume) ^ id.file) ^ id.generation));
  }
};

enum class EntryKind : uint8_t {
  kFolder,   // a folder, or a link to one
  kFile,     // a regular file, or a link to one
  kOther,    // FIFO, socket, device
  kUnknown,  // its kind could not be found (a dangling link, no permission)
};

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kUnknown;
  std::string error_text;  // why the kind is unknown
  bool is_folder() const { return kind == EntryKind::kFolder; }
};

// Every entry of a folder except "." and "..", in no particular order, each
// with the kind of what it leads to (links are followed), and, when asked
// for, the folder's own identity, taken from the folder as it was opened
// for the listing. Returns false, with the system's text for the failure,
// when the folder cannot be listed. Paths of any length are accepted.
bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries, std::string& error_text,
                FileIdentity* folder_identity = nullptr);

// The repository argument as an absolute path. Returns false (after writing
// its own message) when it cannot be resolved.
bool ResolvePath(const std::string& argument, std::string& resolved);

// A regular file opened for reading by position. Nothing is mapped: the
// service that writes a repository may shorten a file at any time, and a
// mapping would then fault on the missing pages (and on Windows would stop
// the writer from shortening it). Its length is taken at open; bytes added
// later are not read. Several threads may read one file at once.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  uint64_t size() const { return size_; }
  // Of the file as it was opened, whatever has since become of its path.
  const FileIdentity& identity() const { return identity_; }
  // Reads `length` bytes at `offset` into `out`, or fewer where the file now
  // ends (it was shortened since it was opened), and returns how many.
  // Nothing, with the system's text, when a read fails.
  virtual std::optional<size_t> ReadAt(uint64_t offset, uint8_t* out, size_t length, std::string& error_text) const = 0;

 protected:
  RandomAccessFile(uint64_t size, const FileIdentity& identity) : size_(size), identity_(identity) {}

 private:
  uint64_t size_;
  FileIdentity identity_;
};

enum class ReadError { kNone, kOpen, kLength, kRead };

struct OpenResult {
  std::unique_ptr<RandomAccessFile> file;  // null on failure
  ReadError error = ReadError::kNone;      // kOpen or kLength on failure
  std::string error_text;                  // the system's text for the failure
};

// Opens a regular file and takes its length. An entry that is no regular
// file (a FIFO, socket or device) is refused as kOpen without being opened
// in a way that could block. Nothing another process does with the file is
// refused (the writer may hold it open). Paths of any length are accepted.
OpenResult OpenForReading(const std::string& path);

// The text for a file that yielded fewer bytes than its length at open.
std::string ShrankWhileReadText(uint64_t read, uint64_t expected);
// The text for a repository entry that is no regular file.
extern const char kNotRegularFileText[];

// The message for the last platform error, with its code, as
// "<text> <code> (0x<hex>)", or " code = <code> (0x<hex>)" without a text.
std::string LastErrorText();

// ---- Console ---------------------------------------------------------------

enum class Stream { kOut, kErr };

// Writes bytes unbuffered to standard output or standard error. Text is
// UTF-8. Interrupted and short writes are continued, and a descriptor that
// would block is waited for. Returns false, with the system's text, when
// the bytes could not all be written (a full disk, a closed pipe or
// descriptor).
bool WriteRaw(Stream stream, std::string_view bytes, std::string& error_text);

// Prepares the console streams once at start-up (code pages, modes).
void InitConsole();

// True when the stream is a terminal (a console on Windows).
bool IsTerminal(Stream stream);
// True when standard output and standard error write to the same terminal.
bool ShareTerminal();
// The width of the stream's terminal in columns, or 0 when unknown.
unsigned TerminalColumns(Stream stream);

// ---- Memory ----------------------------------------------------------------

// Asks the allocator to keep freed memory for reuse. Every file unpacks into
// fresh buffers of megabytes; where the allocator maps such blocks anew each
// time and hands them back at once, each page costs a fault and a clearing.
void KeepFreedMemory();

// Memory straight from the system, outside the heap, in whole pages; given
// back with UnmapBlock and the same size. Null when none is to be had.
// Blocks of megabytes are backed by large pages where the system offers
// them without privileges.
void* MapBlock(size_t bytes);
void UnmapBlock(void* block, size_t bytes);

}  // namespace tallymere::platform
