// An output file that takes the place of its path only once it is complete.
//
// A report written straight into FILE leaves half a report there when the
// disk fills or the run is stopped, and FILE's old content is gone by then.
// So the bytes go to a temporary file in FILE's folder (the final rename
// then stays on one file system), are flushed to the disk, and the
// temporary file is renamed over FILE only when all of them were written:
// FILE holds either its old content or the whole new one, after a crash of
// the system too. Until then the temporary file is removed when the object
// is destroyed, when SIGINT or SIGTERM end the program (on Windows Ctrl-C,
// Ctrl-Break or closing the console), and by the program's fatal stops,
// which call RemoveUnfinishedFiles() before they end it. SIGKILL (on
// Windows, a process ended from outside) cannot be caught: FILE keeps its
// old content, and the temporary file stays behind, named
// ".<FILE's name>.tmp-XXXXXX" in FILE's folder.
//
// What FILE may be:
// - a regular file: replaced. On POSIX the new file keeps the old one's
//   permission bits, and its owner and group where the system lets the
//   writer give them (a user other than root keeps the file as their own,
//   and its group only when they belong to it). On Windows it has the
//   folder's inherited permissions, as every new file there, unless FILE
//   is held open by another process and only ReplaceFileW can replace it,
//   which keeps the old file's. Other hard links to the old file keep the
//   old content: the name is replaced, not the file.
// - nothing yet: created with what a shell's redirection gives, 0666 less
//   the umask (and the folder's default access list); on Windows the
//   folder's inherited permissions, as for every new file there.
// - a symbolic link (or a chain of them): the file it leads to is replaced,
//   in that file's folder, and the link stays. A link to nothing yet has
//   its target created, as a redirection does (on Windows, where the
//   system cannot tell where such a link leads, the link itself is
//   replaced).
// - something that is no regular file (/dev/null, a FIFO, a terminal, a
//   device; on Windows NUL, CON or a pipe): it cannot be replaced, so it is
//   written directly, as a redirection writes it (opening a FIFO waits for
//   a reader, as a redirection does). A regular file that a link's text
//   does not lead to (/proc/self/fd/N of a file deleted since it was
//   opened) is written directly too, truncated first.
// - a folder: refused, "Is a directory".
//
// Paths of any length: on POSIX the folder is opened one step at a time
// where its path is longer than the system takes at once, and the file, its
// temporary file and the rename are reached from that open folder; on
// Windows the path takes the long-path form (\\?\), as repository paths do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tallymere::platform {

class ReplacingFile {
 public:
  // Creates a new temporary file in the folder of `path` (for a link, of
  // the file it leads to), or opens what cannot be replaced for writing.
  // Null, with the system's text, when it cannot.
  static std::unique_ptr<ReplacingFile> Create(const std::string& path, std::string& error_text);

  // Destroyed without a successful Commit, the temporary file is removed
  // and FILE is left as it was.
  virtual ~ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Appends the bytes, continuing interrupted and short writes. False, with
  // the system's text ("No space left on device"), when they could not all
  // be written: the file is then spoilt, its temporary file removed at
  // once (which gives a full disk its room back), and Commit refuses it.
  virtual bool Write(std::string_view bytes, std::string& error_text) = 0;

  // Flushes the file's data to the disk, closes it and renames it over
  // FILE, then flushes FILE's folder so that the rename lasts (on Windows
  // the rename is written through). False, with the system's text, when a
  // step failed or an earlier Write did: the temporary file is then removed
  // and FILE keeps its old content, except when only the last flush of the
  // folder failed (an input/output error), when FILE may hold the new
  // content already. A file written directly is only closed. Call once.
  virtual bool Commit(std::string& error_text) = 0;

  // Line ends are written from now on as the platform's console programs
  // write them to a redirected standard output (CR LF on Windows, as they
  // are), so that the file holds what `> FILE` would have held.
  virtual void WriteLineEndsAsConsole() {}

  // The temporary file's path, as the system names it; empty when FILE is
  // written directly.
  virtual const std::string& temporary_path() const = 0;

 protected:
  ReplacingFile() = default;
};

// Removes the temporary file of every ReplacingFile not yet committed,
// without allocating or locking, for a stop that ends the program at once
// (out of memory, a report that cannot be written) and for the interrupt
// handlers. Safe to call more than once, and from any thread.
void RemoveUnfinishedFiles();

// The name of a temporary file for the file named `name`:
// ".<name>.tmp-XXXXXX", where the six letters and digits come from `seed`.
// A name too long to take the 12 more characters is cut to 243 bytes, at
// the start of a UTF-8 sequence, so the whole stays within the 255 bytes
// (on Windows, 255 UTF-16 units) a file name may have.
std::string TemporaryFileName(std::string_view name, uint64_t seed);

// A fresh seed for TemporaryFileName: `process` (the process's number)
// mixed with a counter and the clock, so that two processes or two tries
// of one do not draw the same name.
uint64_t TemporaryNameSeed(uint64_t process);

}  // namespace tallymere::platform
