#include "support/report_files.h"

#include "support/utf8_paths.h"

namespace tallymere::test {

bool IsTemporaryName(const std::string& name) {
  return name.starts_with(".") && name.find(".tmp-") != std::string::npos;
}

std::vector<std::string> TemporaryFilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = ToUtf8(entry.path().filename());
    if (IsTemporaryName(name)) found.push_back(name);
  }
  return found;
}

std::string Report(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

}  // namespace tallymere::test
