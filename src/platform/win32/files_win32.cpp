#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

using win32::AdoptHandle;
using win32::UniqueHandle;

namespace {

// A file mapped into memory: the bytes stay valid until the object is
// destroyed. The mapping also keeps other processes from shortening the file
// while it is read.
class MappedView final : public FileContent {
 public:
  MappedView(const void* address, uint64_t size) : address_(address), size_(size) {}
  ~MappedView() override { UnmapViewOfFile(address_); }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  const uint8_t* data() const override { return static_cast<const uint8_t*>(address_); }
  uint64_t size() const override { return size_; }

 private:
  const void* address_;
  uint64_t size_;
};

// Files that cannot be mapped (empty ones, or when address space runs short)
// are read into memory instead.
class FileCopy final : public FileContent {
 public:
  explicit FileCopy(std::string bytes) : bytes_(std::move(bytes)) {}
  const uint8_t* data() const override { return reinterpret_cast<const uint8_t*>(bytes_.data()); }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::string bytes_;
};

ReadResult Failure(ReadError error, DWORD code) {
  ReadResult result;
  result.error = error;
  result.error_text = win32::CLibraryErrorText(code);
  return result;
}

std::unique_ptr<FileContent> MapFile(HANDLE file, uint64_t size) {
  const UniqueHandle mapping = AdoptHandle(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return nullptr;
  const void* address = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  if (address == nullptr) return nullptr;
  return std::make_unique<MappedView>(address, size);
}

// Reads in pieces: one read call takes at most a 32-bit count.
bool ReadAll(HANDLE file, uint64_t size, std::string& bytes) {
  constexpr uint64_t kPiece = 1u << 30;
  bytes.resize(size);
  uint64_t done = 0;
  while (done < size) {
    const auto wanted = static_cast<DWORD>(size - done < kPiece ? size - done : kPiece);
    DWORD got = 0;
    if (!ReadFile(file, bytes.data() + done, wanted, &got, nullptr)) return false;
    if (got == 0) break;  // the file shrank while it was read
    done += got;
  }
  bytes.resize(done);
  return true;
}

std::wstring SearchPattern(const std::string& folder) {
  std::wstring pattern = win32::WidenLossy(folder);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  return pattern + L"*.*";
}

}  // namespace

char PathSeparator() { return '\\'; }

bool PathExists(const std::string& path) {
  const auto wide = win32::Widen(path);
  return wide && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ListFolder(const std::string& folder, std::vector<DirEntry>& entries) {
  WIN32_FIND_DATAW found;
  HANDLE first = FindFirstFileW(SearchPattern(folder).c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty folder
  const win32::UniqueSearch search(first);
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({win32::NarrowLossy(name), (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search.get(), &found));
  return true;
}

ReadResult ReadWholeFile(const std::string& path) {
  const std::wstring wide = win32::WidenLossy(path);
  // Repositories are read while the service that writes them runs, so
  // nothing another process does with the file is refused.
  const UniqueHandle file = AdoptHandle(
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return Failure(ReadError::kOpen, GetLastError());
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length) || length.QuadPart < 0) {
    return Failure(ReadError::kLength, GetLastError());
  }
  const auto size = static_cast<uint64_t>(length.QuadPart);
  ReadResult result;
  if (size > 0) result.content = MapFile(file.get(), size);
  if (result.content) return result;
  std::string bytes;
  if (!ReadAll(file.get(), size, bytes)) return Failure(ReadError::kRead, GetLastError());
  result.content = std::make_unique<FileCopy>(std::move(bytes));
  return result;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                 nullptr);
  const win32::UniqueLocal<char> owned(text);
  char buffer[1024];
  size_t length = text == nullptr ? 0 : static_cast<size_t>(lstrlenA(text));
  if (text != nullptr && length + 14 <= sizeof buffer) {
    // System messages end with a line break; the text goes into one line.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    std::snprintf(buffer, sizeof buffer, "%.*s %d (0x%x)", static_cast<int>(length), text,
                  static_cast<int>(code), static_cast<unsigned>(code));
  } else {
    std::snprintf(buffer, sizeof buffer, " code = %d (0x%x)", static_cast<int>(code),
                  static_cast<unsigned>(code));
  }
  return buffer;
}

}  // namespace tallymere::platform
