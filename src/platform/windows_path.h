// How a repository path argument becomes an absolute path on Windows, in the
// long-path form that lifts the 260-character limit of the file functions:
//   C:\rep            -> \\?\C:\rep
//   \\srv\share\rep   -> \\?\UNC\srv\share\rep
//   \rep              -> the current folder's drive (or share), then \rep
//   rep, .\rep, ..\rep -> joined to the current folder
// "/" is taken as "\", and "." and ".." are resolved as path components
// ("a\..\b" is "b"; "x..y" is a name), because the long-path form passes
// every component to the file system literally. An argument already in the
// long-path form is used as it is.
//
// The rules are plain text work, kept apart from the Windows calls so that
// every build tests them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallymere::platform {

// True when the argument's meaning depends on the current folder (relative
// paths, and "\rep", which takes the current folder's drive).
bool NeedsCurrentFolder(std::string_view argument);

// The long-path form of the argument resolved against the current folder
// (itself absolute, as the system reports it). Nothing when a relative
// argument climbs above the root of the current folder's drive or share;
// an absolute path stops at its root, as the system's own resolution does.
std::optional<std::string> ResolveWindowsPath(std::string_view argument, std::string_view current_folder);

}  // namespace tallymere::platform
