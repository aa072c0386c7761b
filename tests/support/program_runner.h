// Runs the built program as a user would and captures what it printed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tallymere::test {

struct ProgramResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the tallymere executable with the arguments, in the working folder.
// Line ends are given as "\n" whatever the platform wrote.
ProgramResult RunProgram(const std::vector<std::string>& args, const std::filesystem::path& working_folder = {});

// The same, with the output exactly as the program wrote it.
ProgramResult RunProgramRaw(const std::vector<std::string>& args, const std::filesystem::path& working_folder = {});

// The whole content of a file; empty when it cannot be read.
std::string ReadText(const std::filesystem::path& path);

// The text in single quotes for a POSIX shell, quotes within escaped.
std::string ShellQuoted(const std::string& text);

// The path of the built executable, as the program is started with it.
std::string ProgramPath();

// The executable's file name ("tallymere", or "tallymere.exe" on Windows),
// as the usage text names it.
std::string ProgramFileName();

// How the program names a file or folder below an absolute repository path:
// as given on POSIX, in the long-path form on Windows.
std::string ShownPath(const std::string& absolute);

// A fresh folder under the system's temporary folder, removed on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Creates the folders and an (empty or given) file at the relative path.
  std::filesystem::path AddFile(const std::string& relative, const std::string& content = "");
  std::filesystem::path AddFolder(const std::string& relative);

 private:
  std::filesystem::path path_;
};

// The usage text the program prints for the given program name.
std::string ExpectedUsage(const std::string& program_name);

}  // namespace tallymere::test
