#include "platform/windows_path.h"

#include <algorithm>
#include <vector>

namespace tallymere::platform {

namespace {

constexpr std::string_view kLongPrefix = "\\\\?\\";
constexpr std::string_view kLongUncPrefix = "\\\\?\\UNC\\";

// A drive ("C:") or a network share ("srv\share"), and the folders below it.
struct AbsolutePath {
  bool is_share = false;
  std::string root;
  std::vector<std::string> folders;
};

std::string WithBackslashes(std::string_view text) {
  std::string result(text);
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

std::string_view NextComponent(std::string_view& rest) {
  const size_t end = rest.find('\\');
  const std::string_view component = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return component;
}

// Applies the components of `relative` to the folders. False when ".."
// climbs above the root and `stop_at_root` is not set.
bool ApplyComponents(std::vector<std::string>& folders, std::string_view relative, bool stop_at_root) {
  while (!relative.empty()) {
    const std::string_view component = NextComponent(relative);
    if (component.empty() || component == ".") continue;
    if (component != "..") {
      folders.emplace_back(component);
    } else if (!folders.empty()) {
      folders.pop_back();
    } else if (!stop_at_root) {
      return false;
    }
  }
  return true;
}

// Splits an absolute path (with or without the long-path prefix) into its
// root and the text below the root.
AbsolutePath SplitRoot(std::string_view path, std::string_view& below) {
  AbsolutePath result;
  if (path.starts_with(kLongUncPrefix)) {
    path.remove_prefix(kLongUncPrefix.size());
    result.is_share = true;
  } else if (path.starts_with(kLongPrefix)) {
    path.remove_prefix(kLongPrefix.size());
  } else if (path.starts_with("\\\\")) {
    path.remove_prefix(2);
    result.is_share = true;
  }
  if (result.is_share) {
    const std::string_view server = NextComponent(path);
    const std::string_view share = NextComponent(path);
    result.root = std::string(server) + "\\" + std::string(share);
  } else {
    const size_t root_length = std::min<size_t>(2, path.size());
    result.root = path.substr(0, root_length);
    path.remove_prefix(root_length);
  }
  below = path;
  return result;
}

AbsolutePath ParseAbsolute(std::string_view path) {
  std::string_view below;
  AbsolutePath result = SplitRoot(path, below);
  ApplyComponents(result.folders, below, /*stop_at_root=*/true);
  return result;
}

std::string LongPathText(const AbsolutePath& path) {
  std::string text = std::string(path.is_share ? kLongUncPrefix : kLongPrefix) + path.root + "\\";
  for (size_t i = 0; i < path.folders.size(); ++i) {
    if (i > 0) text += '\\';
    text += path.folders[i];
  }
  return text;
}

bool SameDrive(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return a.size() == 2 && b.size() == 2 && upper(a[0]) == upper(b[0]);
}

}  // namespace

bool NeedsCurrentFolder(std::string_view argument) {
  const std::string path = WithBackslashes(argument);
  return !(path.size() >= 2 && path[1] == ':') && !path.starts_with("\\\\");
}

std::optional<std::string> ResolveWindowsPath(std::string_view argument, std::string_view current_folder) {
  const std::string path = WithBackslashes(argument);
  if (argument.starts_with(kLongPrefix)) return std::string(argument);
  const AbsolutePath current = ParseAbsolute(WithBackslashes(current_folder));

  if (path.size() >= 2 && path[1] == ':') {
    std::string_view below;
    AbsolutePath result = SplitRoot(path, below);
    // "C:rep" is relative to the current folder when that is on drive C.
    if (!below.starts_with('\\') && !current.is_share && SameDrive(result.root, current.root)) {
      result.folders = current.folders;
    }
    ApplyComponents(result.folders, below, /*stop_at_root=*/true);
    return LongPathText(result);
  }
  if (path.starts_with("\\\\")) return LongPathText(ParseAbsolute(path));

  AbsolutePath result = current;
  if (path.starts_with('\\')) {
    result.folders.clear();
    ApplyComponents(result.folders, path, /*stop_at_root=*/true);
    return LongPathText(result);
  }
  if (!ApplyComponents(result.folders, path, /*stop_at_root=*/false)) return std::nullopt;
  return LongPathText(result);
}

}  // namespace tallymere::platform
