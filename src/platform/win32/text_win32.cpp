#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/win32/win32_support.h"

namespace tallymere::platform::win32 {

namespace {

// The text lengths of one program run stay far below INT_MAX; a longer one
// would be cut rather than overflow the conversion's count.
int CountOf(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

std::optional<std::wstring> ToWide(std::string_view text, DWORD flags) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, flags, text.data(), CountOf(text.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, flags, text.data(), CountOf(text.size()), wide.data(), length);
  return wide;
}

std::optional<std::string> ToNarrow(std::wstring_view text, DWORD flags) {
  if (text.empty()) return std::string();
  const int length =
      WideCharToMultiByte(CP_UTF8, flags, text.data(), CountOf(text.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::nullopt;
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, flags, text.data(), CountOf(text.size()), narrow.data(), length, nullptr, nullptr);
  return narrow;
}

// The C library's mapping of system error codes to errno values, for the
// codes that file access meets.
int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE: return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED: return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE: return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA: return ENOMEM;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_BROKEN_PIPE: return EPIPE;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    default: break;
  }
  // Write protection, sharing and lock violations form one range.
  if (code >= ERROR_WRITE_PROTECT && code <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;
  return EINVAL;
}

}  // namespace

std::optional<std::wstring> Widen(std::string_view text) { return ToWide(text, MB_ERR_INVALID_CHARS); }

std::optional<std::string> Narrow(std::wstring_view text) { return ToNarrow(text, WC_ERR_INVALID_CHARS); }

std::wstring WidenLossy(std::string_view text) { return ToWide(text, 0).value_or(std::wstring()); }

std::string NarrowLossy(std::wstring_view text) { return ToNarrow(text, 0).value_or(std::string()); }

std::string CLibraryErrorText(DWORD code) { return std::strerror(ErrnoOf(code)); }

}  // namespace tallymere::platform::win32
