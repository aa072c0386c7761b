#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_support.h"

#include <winternl.h>

namespace tallymere::platform {

using win32::AdoptHandle;
using win32::UniqueHandle;

namespace {

// Reads by position through the native call, with no event, no completion
// and no file pointer to share: threads read the same handle at once, and
// under wine each read is one pread and no round trip to its server (the
// documented positional read, ReadFile with an OVERLAPPED, posts a
// completion there, a server call for every read). The kernel serializes
// reads on a synchronous handle itself, so no lock of ours is needed.
using NtReadFileCall = LONG(NTAPI*)(HANDLE file, HANDLE event, void* apc, void* apc_context, IO_STATUS_BLOCK* io,
                                    void* buffer, ULONG length, LARGE_INTEGER* offset, ULONG* key);
using NtStatusToErrorCall = ULONG(NTAPI*)(LONG status);
constexpr LONG kStatusEndOfFile = static_cast<LONG>(0xC0000011);

struct NativeReads {
  NtReadFileCall read = nullptr;
  NtStatusToErrorCall error_of = nullptr;
};

const NativeReads& Native() {
  static const NativeReads calls = [] {
    NativeReads found;
    if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      found.read = reinterpret_cast<NtReadFileCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtReadFile")));
      found.error_of = reinterpret_cast<NtStatusToErrorCall>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    }
    if (found.read == nullptr || found.error_of == nullptr) found = {};
    return found;
  }();
  return calls;
}

// One read of at most a 32-bit count at `offset`: the bytes read, 0 at the
// end of the file, nothing (and `error` set) when the read failed.
std::optional<DWORD> ReadPiece(HANDLE file, uint64_t offset, uint8_t* out, DWORD length, DWORD& error) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (const NativeReads& native = Native(); native.read != nullptr) {
    IO_STATUS_BLOCK io{};
    const LONG status = native.read(file, nullptr, nullptr, nullptr, &io, out, length, &position, nullptr);
    if (status == kStatusEndOfFile) return 0;
    if (status < 0) {
      error = native.error_of(status);
      return std::nullopt;
    }
    return static_cast<DWORD>(io.Information);
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position.LowPart);
  at.OffsetHigh = static_cast<DWORD>(position.HighPart);
  DWORD got = 0;
  if (ReadFile(file, out, length, &got, &at)) return got;
  error = GetLastError();
  if (error == ERROR_HANDLE_EOF) return 0;
  return std::nullopt;
}

class Win32File final : public RandomAccessFile {
 public:
  Win32File(UniqueHandle handle, uint64_t size, const FileIdentity& identity)
      : RandomAccessFile(size, identity), handle_(std::move(handle)) {}

  std::optional<size_t> ReadAt(uint64_t offset, uint8_t* out, size_t length, std::string& error_text) const override {
    constexpr size_t kPiece = size_t{1} << 30;
    size_t done = 0;
    while (done < length) {
      DWORD error = 0;
      const std::optional<DWORD> got = ReadPiece(handle_.get(), offset + done, out + done,
                                                 static_cast<DWORD>(std::min(length - done, kPiece)), error);
      if (!got) {
        error_text = win32::CLibraryErrorText(error);
        return std::nullopt;
      }
      if (*got == 0) break;  // the file ends here now
      done += *got;
    }
    return done;
  }

 private:
  UniqueHandle handle_;
};

OpenResult Failed(ReadError error, std::string text) { return {nullptr, error, std::move(text)}; }

std::wstring JoinWide(std::wstring folder, std::wstring_view name) {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  folder += name;
  return folder;
}

// What the path leads to, reparse points (junctions, symbolic links)
// followed. Only the attributes are asked for: that opens folders too, and
// no sharing mode of another process refuses it.
bool Describe(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info, DWORD& type, DWORD& error) {
  const UniqueHandle handle = AdoptHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) {
    error = GetLastError();
    return false;
  }
  SetLastError(NO_ERROR);  // tells an unknown type from a failed call
  type = GetFileType(handle.get());
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    error = GetLastError();
    return false;
  }
  return true;
}

// The device type of a file, opened for its attributes alone (which no
// sharing mode refuses and which cannot wait on a device). FILE_TYPE_UNKNOWN
// with `error` set when it cannot be opened or asked.
DWORD KindOfFile(const std::wstring& path, DWORD& error) {
  const UniqueHandle handle = AdoptHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  error = NO_ERROR;
  if (!handle) {
    error = GetLastError();
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(NO_ERROR);  // tells an unknown type from a failed call
  const DWORD type = GetFileType(handle.get());
  if (type == FILE_TYPE_UNKNOWN) error = GetLastError();
  return type;
}

// The full 128-bit file ID of the open file: on ReFS the 64-bit index is
// not unique, and on NTFS the ID's sequence number tells a reused file
// record from its earlier use. Where the system cannot give it, the 64-bit
// index (which on NTFS carries the sequence number too).
std::optional<FileIdentity> IdentityOfOpen(HANDLE handle) {
  FILE_ID_INFO id;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    FileIdentity identity;
    identity.volume = id.VolumeSerialNumber;
    std::memcpy(&identity.file, id.FileId.Identifier, sizeof identity.file);
    std::memcpy(&identity.generation, id.FileId.Identifier + sizeof identity.file, sizeof identity.generation);
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 0};
}

EntryKind KindFrom(const BY_HANDLE_FILE_INFORMATION& info, DWORD type) {
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  return type == FILE_TYPE_DISK ? EntryKind::kFile : EntryKind::kOther;
}

DirEntry DescribeEntry(const std::wstring& folder, std::wstring_view name) {
  DirEntry entry;
  entry.name = win32::NarrowLossy(name);
  BY_HANDLE_FILE_INFORMATION info;
  DWORD type = FILE_TYPE_UNKNOWN;
  DWORD error = 0;
  if (!Describe(JoinWide(folder, name), info, type, error)) {
    entry.error_text = win32::CLibraryErrorText(error);  // a dangling link, a vanished entry
    return entry;
  }
  entry.kind = KindFrom(info, type);
  return entry;
}

}  // namespace

char PathSeparator() { return '\\'; }

bool PathExists(const std::string& path) {
  const auto wide = win32::Widen(path);
  return wide && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The folder is read through a handle of its own, by the directory
// information that carries each entry's file ID: a plain entry (no reparse
// point) lies on the folder's volume, so the volume serial number, which
// the system finds with a volume query (a call to another process under
// some Windows layers), is asked once per folder instead of once per entry.
// Links are described one by one, followed to what they lead to. An entry
// with bytes in it is a disk file: the devices, pipes and sockets a name in
// a folder can lead to (a Unix folder's FIFOs under wine) list with no
// length. An empty one is opened for its attributes alone, to tell a disk
// file from a device without blocking on a pipe; each open is a call to
// another process under wine, so most files are spared it.
bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries, std::string& error_text,
                FileIdentity* folder_identity) {
  const std::wstring wide = win32::WidenLossy(folder);
  const UniqueHandle handle = AdoptHandle(CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::optional<FileIdentity> own;
  if (!handle || !(own = IdentityOfOpen(handle.get()))) {
    error_text = win32::CLibraryErrorText(GetLastError());
    return false;
  }
  if (folder_identity != nullptr) *folder_identity = *own;
  // Room for a few hundred entries a call; entries are 8-byte aligned.
  std::vector<uint64_t> room(8192);
  const auto room_bytes = static_cast<DWORD>(room.size() * sizeof(uint64_t));
  for (bool first = true;; first = false) {
    if (!GetFileInformationByHandleEx(handle.get(), FileIdBothDirectoryInfo, room.data(), room_bytes)) {
      const DWORD error = GetLastError();
      // A folder without "." and ".." (a drive's root) may match nothing at all.
      if (error == ERROR_NO_MORE_FILES || (first && error == ERROR_FILE_NOT_FOUND)) return true;
      error_text = win32::CLibraryErrorText(error);
      return false;
    }
    const auto* at = reinterpret_cast<const unsigned char*>(room.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(WCHAR));
      if (name != L"." && name != L"..") {
        if (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          entries.push_back(DescribeEntry(wide, name));
        } else {
          DirEntry entry;
          entry.name = win32::NarrowLossy(name);
          if (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.kind = EntryKind::kFolder;
          } else if (info->EndOfFile.QuadPart > 0) {
            entry.kind = EntryKind::kFile;
          } else {
            entry.kind = EntryKind::kUnknown;
            DWORD error = 0;
            const DWORD type = KindOfFile(JoinWide(wide, name), error);
            if (type == FILE_TYPE_UNKNOWN && error != NO_ERROR) {
              entry.error_text = win32::CLibraryErrorText(error);  // vanished meanwhile
            } else {
              entry.kind = type == FILE_TYPE_DISK ? EntryKind::kFile : EntryKind::kOther;
            }
          }
          entries.push_back(std::move(entry));
        }
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
}

OpenResult OpenForReading(const std::string& path) {
  const std::wstring wide = win32::WidenLossy(path);
  // Repositories are read while the service that writes them runs, so
  // nothing another process does with the file is refused.
  UniqueHandle file =
      AdoptHandle(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return Failed(ReadError::kOpen, win32::CLibraryErrorText(GetLastError()));
  // A folder already failed to open above; a device or pipe that a name
  // leads to is refused before anything is read from it.
  SetLastError(NO_ERROR);  // tells an unknown type from a failed call
  const DWORD type = GetFileType(file.get());
  if (type != FILE_TYPE_DISK) {
    const DWORD error = type == FILE_TYPE_UNKNOWN ? GetLastError() : NO_ERROR;
    return Failed(ReadError::kOpen,
                  error != NO_ERROR ? win32::CLibraryErrorText(error) : std::string(kNotRegularFileText));
  }
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length)) return Failed(ReadError::kLength, win32::CLibraryErrorText(GetLastError()));
  if (length.QuadPart < 0) return Failed(ReadError::kLength, win32::CLibraryErrorText(ERROR_INVALID_DATA));
  const auto size = static_cast<uint64_t>(length.QuadPart);
  const std::optional<FileIdentity> identity = IdentityOfOpen(file.get());
  if (!identity) return Failed(ReadError::kOpen, win32::CLibraryErrorText(GetLastError()));
  return {std::make_unique<Win32File>(std::move(file), size, *identity), ReadError::kNone, {}};
}

std::string win32::SystemErrorText(DWORD code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  const win32::UniqueLocal<char> owned(text);
  char buffer[1024];
  size_t length = text == nullptr ? 0 : static_cast<size_t>(lstrlenA(text));
  if (text != nullptr && length + 14 <= sizeof buffer) {
    // System messages end with a line break; the text goes into one line.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    std::snprintf(buffer, sizeof buffer, "%.*s %d (0x%x)", static_cast<int>(length), text, static_cast<int>(code),
                  static_cast<unsigned>(code));
  } else {
    std::snprintf(buffer, sizeof buffer, " code = %d (0x%x)", static_cast<int>(code), static_cast<unsigned>(code));
  }
  return buffer;
}

std::string LastErrorText() { return win32::SystemErrorText(GetLastError()); }

}  // namespace tallymere::platform
