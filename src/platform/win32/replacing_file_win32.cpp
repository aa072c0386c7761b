#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/replacing_file.h"
#include "platform/unfinished_files.h"
#include "platform/win32/win32_support.h"
#include "platform/windows_path.h"

namespace tallymere::platform {

using win32::AdoptHandle;
using win32::UniqueHandle;

// The temporary file's wide path, prepared so that the console control
// handler needs no conversion. The file is held open with delete sharing,
// so it can be deleted under the handle; it goes when the handle closes.
struct RemovalTarget {
  std::wstring path;
};

void RemoveTarget(const RemovalTarget& target) { DeleteFileW(target.path.c_str()); }

namespace {

constexpr int kMostNameTries = 100;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string ErrorText(DWORD code) { return win32::CLibraryErrorText(code); }

std::wstring CurrentFolderWide() {
  std::wstring folder;
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  // The folder may change between the two calls; then the size is asked again.
  while (length > folder.size()) {
    folder.resize(length);
    length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
  }
  folder.resize(length);
  return folder;
}

// The path in the long-path form, as repository paths take it, so that
// its length does not matter; nothing (with `error`) when it has none.
std::optional<std::wstring> LongForm(const std::string& path, DWORD& error) {
  std::string current;
  if (NeedsCurrentFolder(path)) {
    const std::optional<std::string> narrow = win32::Narrow(CurrentFolderWide());
    if (!narrow) {
      error = GetLastError();
      return std::nullopt;
    }
    current = *narrow;
  }
  const std::optional<std::string> resolved = ResolveWindowsPath(path, current);
  if (!resolved) {
    error = ERROR_BAD_PATHNAME;  // more ".." than folders
    return std::nullopt;
  }
  std::optional<std::wstring> wide = win32::Widen(*resolved);
  if (!wide) error = GetLastError();
  return wide;
}

// The path of the file a link leads to, in the long-path form.
std::optional<std::wstring> FinalPath(HANDLE file, DWORD& error) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), VOLUME_NAME_DOS);
    if (length == 0) {
      error = GetLastError();
      return std::nullopt;
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the room needed, its terminator included
  }
}

// What the path leads to, opened for its attributes alone: that waits on
// no device, and no sharing mode refuses it.
UniqueHandle OpenAttributes(const std::wstring& path) {
  return AdoptHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// A device or pipe (NUL, CON, \\.\pipe\...), which cannot be replaced.
// Its name is taken as given: the long-path form would make NUL a file.
bool IsDevice(const std::wstring& path) {
  if (path.size() >= MAX_PATH) return false;  // device names are short
  const UniqueHandle probe = OpenAttributes(path);
  if (!probe) return false;
  SetLastError(NO_ERROR);  // tells an unknown type from a failed call
  const DWORD type = GetFileType(probe.get());
  return type != FILE_TYPE_DISK && (type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR);
}

bool WriteAll(HANDLE file, std::string_view bytes, std::string& error_text) {
  constexpr size_t kPiece = size_t{1} << 30;
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(std::min(bytes.size(), kPiece)), &written, nullptr)) {
      error_text = ErrorText(GetLastError());
      return false;
    }
    if (written == 0) {
      error_text = ErrorText(ERROR_WRITE_FAULT);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// The text with each LF as CR LF, written a megabyte at a time.
bool WriteAllWithCrLf(HANDLE file, std::string_view text, std::string& error_text) {
  constexpr size_t kPiece = size_t{1} << 20;
  std::string piece;
  while (!text.empty()) {
    piece.clear();
    size_t taken = 0;
    for (; taken < text.size() && piece.size() < kPiece; ++taken) {
      if (text[taken] == '\n') piece.push_back('\r');
      piece.push_back(text[taken]);
    }
    text.remove_prefix(taken);
    if (!WriteAll(file, piece, error_text)) return false;
  }
  return true;
}

class Win32ReplacingFile final : public ReplacingFile {
 public:
  // A device or pipe written directly, not replaced.
  explicit Win32ReplacingFile(UniqueHandle file) : file_(std::move(file)) {}

  // A temporary file beside `target`, armed for removal.
  Win32ReplacingFile(UniqueHandle file, std::wstring target, std::wstring temporary)
      : file_(std::move(file)),
        target_(std::move(target)),
        temporary_path_(win32::NarrowLossy(temporary)),
        removal_(std::make_unique<RemovalTarget>(RemovalTarget{std::move(temporary)})) {
    slot_ = ArmRemoval(removal_.get());
  }

  ~Win32ReplacingFile() override { Discard(); }

  bool Write(std::string_view bytes, std::string& error_text) override {
    if (!file_) return Fail(failure_.empty() ? ErrorText(ERROR_INVALID_HANDLE) : failure_, error_text);
    const bool written = console_line_ends_ ? WriteAllWithCrLf(file_.get(), bytes, error_text)
                                            : WriteAll(file_.get(), bytes, error_text);
    return written || Fail(error_text, error_text);
  }

  void WriteLineEndsAsConsole() override { console_line_ends_ = true; }

  bool Commit(std::string& error_text) override {
    if (!file_) return Fail(failure_.empty() ? ErrorText(ERROR_INVALID_HANDLE) : failure_, error_text);
    if (!replacing() && !CloseHandle(file_.release())) return Fail(ErrorText(GetLastError()), error_text);
    if (!replacing()) return true;
    if (!FlushFileBuffers(file_.get())) return Fail(ErrorText(GetLastError()), error_text);
    if (!CloseHandle(file_.release())) return Fail(ErrorText(GetLastError()), error_text);
    if (!Rename(error_text)) return Fail(error_text, error_text);
    Discard();
    return true;
  }

  const std::string& temporary_path() const override { return temporary_path_; }
  bool armed() const { return slot_ != kNoRemovalSlot; }

 private:
  bool replacing() const { return !target_.empty(); }

  // Renamed over the target at once and written through. Another process
  // that holds the target open can stop that rename, where the system's
  // call for replacing a file in use may still work; that call removes the
  // target before it moves the new file in when the move fails, and then
  // the move is tried once more, since nothing stands in its way now.
  bool Rename(std::string& error_text) {
    constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    const std::wstring& temporary = removal_->path;
    if (MoveFileExW(temporary.c_str(), target_.c_str(), kMoveFlags)) return renamed_ = true;
    const DWORD move_error = GetLastError();
    error_text = ErrorText(move_error);
    if (move_error != ERROR_ACCESS_DENIED && move_error != ERROR_SHARING_VIOLATION) return false;
    if (ReplaceFileW(target_.c_str(), temporary.c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
      return renamed_ = true;
    }
    if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return false;
    if (MoveFileExW(temporary.c_str(), target_.c_str(), kMoveFlags)) return renamed_ = true;
    // The old file is gone: the new one is the only copy, and stays.
    error_text = ErrorText(GetLastError()) + "; the report was left in " + temporary_path_;
    renamed_ = true;
    return false;
  }

  // A failed step spoils the file: it is closed, its temporary file removed.
  bool Fail(const std::string& text, std::string& error_text) {
    failure_ = text;
    error_text = text;
    Discard();
    return false;
  }

  void Discard() {
    file_.reset();
    if (!replacing()) return;
    if (!renamed_) DeleteFileW(removal_->path.c_str());
    // Being removed by an interrupt on another thread right now: the
    // program is ending, and the path is left to that removal.
    if (!DisarmRemoval(slot_)) static_cast<void>(removal_.release());
    target_.clear();
  }

  UniqueHandle file_;
  std::wstring target_;  // FILE, while a temporary file is to replace it
  std::string temporary_path_;
  std::unique_ptr<RemovalTarget> removal_;  // read by an interrupt while armed
  int slot_ = kNoRemovalSlot;
  bool renamed_ = false;
  std::string failure_;  // why the file can no longer be written
  bool console_line_ends_ = false;
};

std::unique_ptr<ReplacingFile> Failed(DWORD code, std::string& error_text) {
  error_text = ErrorText(code);
  return nullptr;
}

std::unique_ptr<ReplacingFile> OpenDirectly(const std::wstring& path, std::string& error_text) {
  UniqueHandle file = AdoptHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed(GetLastError(), error_text);
  return std::make_unique<Win32ReplacingFile>(std::move(file));
}

std::unique_ptr<ReplacingFile> CreateBeside(const std::wstring& target, std::string& error_text) {
  const size_t slash = target.find_last_of(L'\\');
  const std::wstring folder = target.substr(0, slash + 1);
  const std::string name = win32::NarrowLossy(target.substr(slash + 1));
  const uint64_t process = GetCurrentProcessId();
  for (int tries = 0; tries < kMostNameTries; ++tries) {
    std::wstring temporary = folder + win32::WidenLossy(TemporaryFileName(name, TemporaryNameSeed(process)));
    UniqueHandle file = AdoptHandle(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) continue;
    if (!file) return Failed(GetLastError(), error_text);
    auto replacing = std::make_unique<Win32ReplacingFile>(std::move(file), target, std::move(temporary));
    if (!replacing->armed()) return Failed(ERROR_TOO_MANY_OPEN_FILES, error_text);
    return replacing;
  }
  return Failed(ERROR_FILE_EXISTS, error_text);
}

}  // namespace

std::unique_ptr<ReplacingFile> ReplacingFile::Create(const std::string& path, std::string& error_text) {
  const std::optional<std::wstring> wide = win32::Widen(path);
  if (!wide) return Failed(GetLastError(), error_text);
  if (IsDevice(*wide)) return OpenDirectly(*wide, error_text);
  DWORD error = NO_ERROR;
  const std::optional<std::wstring> long_form = LongForm(path, error);
  if (!long_form) return Failed(error, error_text);
  const UniqueHandle probe = OpenAttributes(*long_form);
  if (!probe && GetLastError() != ERROR_FILE_NOT_FOUND) return Failed(GetLastError(), error_text);
  if (!probe) return CreateBeside(*long_form, error_text);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(probe.get(), &info)) return Failed(GetLastError(), error_text);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    error_text = std::strerror(EISDIR);
    return nullptr;
  }
  if (GetFileType(probe.get()) != FILE_TYPE_DISK) return OpenDirectly(*long_form, error_text);
  // A link is followed to its file, which is replaced in its own folder.
  const DWORD own = GetFileAttributesW(long_form->c_str());
  if (own == INVALID_FILE_ATTRIBUTES || (own & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return CreateBeside(*long_form, error_text);
  }
  const std::optional<std::wstring> target = FinalPath(probe.get(), error);
  if (!target) return Failed(error, error_text);
  return CreateBeside(*target, error_text);
}

}  // namespace tallymere::platform
