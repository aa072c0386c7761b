// Paths as the program takes them: UTF-8 text. std::filesystem would take
// narrow strings in the ANSI code page on Windows, so the tests convert
// explicitly.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tallymere::test {

inline std::filesystem::path FromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string ToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace tallymere::test
