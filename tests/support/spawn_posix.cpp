#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/spawn.h"

namespace tallymere::test {

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

}  // namespace

void SetInheritedEnvironment(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

int RunCaptured(const std::string& program, const std::vector<std::string>& args, const fs::path& working_folder,
                const fs::path& out, const fs::path& err, std::string& failure) {
  const fs::path status_file = out.parent_path() / "status";
  std::string command;
  if (!working_folder.empty()) command += "cd " + Quote(working_folder.string()) + " && ";
  command += Quote(program);
  for (const auto& arg : args) command += " " + Quote(arg);
  command +=
      " >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null; echo $? >" + Quote(status_file.string());
  const int shell = std::system(command.c_str());
  if (shell != 0) {
    failure = "the shell that runs the program ended with " + std::to_string(shell);
    return -1;
  }
  std::ifstream status(status_file);
  int value = -1;
  if (!(status >> value)) failure = "no exit status in " + status_file.string();
  return value;
}

std::string NativeProgramPath(const std::string& built_path) { return built_path; }

std::string NativeShownPath(const std::string& absolute) { return absolute; }

bool UnderImitatedPlatform() { return false; }

std::string ShellOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

}  // namespace tallymere::test
