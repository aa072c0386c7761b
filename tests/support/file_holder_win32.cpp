#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "support/file_holder.h"

namespace tallymere::test {

std::shared_ptr<void> HoldOpen(const std::filesystem::path& file, Sharing sharing) {
  const DWORD access = sharing == Sharing::kNone ? GENERIC_READ : GENERIC_WRITE;
  const DWORD share = sharing == Sharing::kNone ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle =
      CreateFileW(file.wstring().c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::shared_ptr<void>(handle, [](HANDLE h) { CloseHandle(h); });
}

}  // namespace tallymere::test
