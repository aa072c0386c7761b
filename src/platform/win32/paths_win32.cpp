#include <cstdlib>

#include "platform/output.h"
#include "platform/platform.h"
#include "platform/win32/win32_support.h"
#include "platform/windows_path.h"

namespace tallymere::platform {

namespace {

// The exit status of the fatal stops.
constexpr int kFatalStatus = 255;

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

}  // namespace

bool ResolvePath(const std::string& argument, std::string& resolved) {
  // The error text is taken before any output, which may change the last error.
  if (!win32::Widen(argument)) {
    const std::string error = LastErrorText();
    Out() << "MultiByteToWideChar: " << error << "\n";
    return false;
  }
  std::string current;
  if (NeedsCurrentFolder(argument)) {
    const auto narrow = win32::Narrow(CurrentFolderWide());
    if (!narrow) {
      const std::string error = LastErrorText();
      Out() << "WideCharToMultiByte: " << error << "\n";
      return false;
    }
    current = *narrow;
  }
  auto path = ResolveWindowsPath(argument, current);
  if (!path) {
    // More ".." than the current folder has folders: no path to search.
    Out() << "Can't add path " << argument << "\n to\n " << current << "\n";
    FlushOutput();
    std::exit(kFatalStatus);
  }
  resolved = std::move(*path);
  return true;
}

}  // namespace tallymere::platform
