// Shared pieces of the Windows layer: the system headers, owners for the
// system's handles and buffers, and the conversions between the program's
// UTF-8 text and the UTF-16 of the wide system calls.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tallymere::platform::win32 {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// A kernel object handle, closed on destruction.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Owns the handle unless it is one of the two "no handle" values that
// different system calls return.
inline UniqueHandle AdoptHandle(HANDLE handle) {
  return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct SearchCloser {
  void operator()(HANDLE search) const { FindClose(search); }
};
// A directory search, ended on destruction.
using UniqueSearch = std::unique_ptr<void, SearchCloser>;

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
// A buffer the system allocated for the caller (messages, argument lists).
template <typename T>
using UniqueLocal = std::unique_ptr<T, LocalFreer>;

// UTF-8 to UTF-16. Nothing for text that is no valid UTF-8 (GetLastError
// tells why).
std::optional<std::wstring> Widen(std::string_view text);
// UTF-16 to UTF-8. Nothing for text with an unpaired surrogate.
std::optional<std::string> Narrow(std::wstring_view text);

// The same conversions for text that must get through: invalid sequences
// become U+FFFD.
std::wstring WidenLossy(std::string_view text);
std::string NarrowLossy(std::wstring_view text);

// The C library's text for a system error code, as its own file functions
// would report the failure (the code mapped to an errno value first).
std::string CLibraryErrorText(DWORD code);

// The system's own message for an error code, with the code, on one line:
// "<text> <code> (0x<hex>)", or " code = <code> (0x<hex>)" without a text.
std::string SystemErrorText(DWORD code);

}  // namespace tallymere::platform::win32
