#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/output.h"
#include "platform/platform.h"

namespace tallymere::platform {

namespace {

std::string CurrentFolder() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// Resolves "." and ".." as path components: "a/../b" is "b", and ".." inside
// a name such as "x..y" is no step. Above the root stays at the root.
std::string NormaliseAbsolute(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  std::string result;
  for (const auto& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

}  // namespace

bool ResolvePath(const std::string& argument, std::string& resolved) {
  if (!argument.empty() && argument.front() == '/') {
    resolved = argument;
    return true;
  }
  std::string folder = CurrentFolder();
  if (folder.empty()) {
    Out() << "getcwd: " << LastErrorText() << "\n";
    return false;
  }
  resolved = NormaliseAbsolute(folder + "/" + argument);
  return true;
}

}  // namespace tallymere::platform
