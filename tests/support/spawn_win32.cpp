// Starts the program with CreateProcessW: arguments quoted as the C library
// splits them, the standard handles redirected to files.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <memory>

#include "platform/output.h"
#include "platform/platform.h"
#include "support/spawn.h"

namespace tallymere::test {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kTimeoutMilliseconds = 5 * 60 * 1000;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::wstring Wide(const std::string& text) {
  const std::u16string utf16 = ToUtf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// Quotes one argument so that the C library's splitting gives it back:
// backslashes count only before a quote.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

UniqueHandle OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace

void SetInheritedEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(Wide(name).c_str(), value.empty() ? nullptr : Wide(value).c_str());
}

namespace {

int Failed(std::string& failure, const std::string& step) {
  failure = step + ": " + platform::LastErrorText();
  return -1;
}

}  // namespace

int RunCaptured(const std::string& program, const std::vector<std::string>& args, const fs::path& working_folder,
                const fs::path& out, const fs::path& err, std::string& failure) {
  const UniqueHandle input = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  if (!input) return Failed(failure, "opening NUL for standard input");
  const UniqueHandle output = OpenInheritable(out.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
  if (!output) return Failed(failure, "creating " + out.string());
  const UniqueHandle error = OpenInheritable(err.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
  if (!error) return Failed(failure, "creating " + err.string());

  std::wstring command_line = QuoteArgument(Wide(program));
  for (const auto& arg : args) command_line += L" " + QuoteArgument(Wide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = error.get();
  const std::wstring folder = working_folder.wstring();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(Wide(program).c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    return Failed(failure, "starting " + program);
  }
  const UniqueHandle process_handle(process.hProcess);
  const UniqueHandle thread_handle(process.hThread);
  const DWORD waited = WaitForSingleObject(process.hProcess, kTimeoutMilliseconds);
  if (waited != WAIT_OBJECT_0) {
    if (waited == WAIT_TIMEOUT) failure = "no end within 5 minutes";
    else Failed(failure, "waiting for " + program);
    TerminateProcess(process.hProcess, 1);
    return -1;
  }
  DWORD status = 0;
  if (!GetExitCodeProcess(process.hProcess, &status)) return Failed(failure, "reading the exit code");
  // An exit code of all ones would read as the runner's own -1.
  if (status == 0xFFFFFFFFu) failure = "the program exited with code 0xFFFFFFFF";
  return static_cast<int>(status);
}

// A build on Linux names the executable by its Linux path; under wine drive
// Z: is the Linux root.
std::string NativeProgramPath(const std::string& built_path) {
  std::string path = built_path.starts_with('/') ? "Z:" + built_path : built_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// The program works on the long-path form of what it was given.
std::string NativeShownPath(const std::string& absolute) {
  std::string path = "\\\\?\\" + absolute;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Wine's ntdll exports its version; Windows' does not.
bool UnderImitatedPlatform() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tallymere::test
