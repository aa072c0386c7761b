#include "repository/walk.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace tallymere {

namespace {

char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// One walk over the search roots. Links to folders are followed, since
// archive disks are linked into repositories, but each real folder is
// walked and each real file counted at most once per run: a link back up
// the tree ends there, and a folder reached through two links is not
// counted twice.
class Walker {
 public:
  Walker(const TimeFilter& window, VisitedEntries& visited, WalkVisitor& visitor)
      : window_(window), visited_(visited), visitor_(visitor) {}

  // `folder` is extended in place while the walk descends and cut back after.
  void WalkFolder(std::string& folder) {
    std::vector<platform::DirEntry> entries;
    std::string error_text;
    platform::FileIdentity identity;
    if (!platform::ListFolder(folder, entries, error_text, &identity)) {
      return visitor_.FolderFailure(folder, error_text);
    }
    if (!visited_.FirstVisitToFolder(identity)) return;
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return NameOrderLess(a.name, b.name); });
    folder.push_back(platform::PathSeparator());
    const size_t base = folder.size();
    const bool holds_files =
        std::any_of(entries.begin(), entries.end(), [](const auto& e) { return HasRepExtension(e.name); });
    for (const platform::DirEntry& entry : entries) {
      if (visitor_.Stopped()) break;
      folder.resize(base);
      folder += entry.name;
      if (holds_files) {
        VisitFile(folder, entry);
      } else {
        VisitSubfolder(folder, entry);
      }
    }
    folder.resize(base - 1);
  }

 private:
  void VisitFile(const std::string& path, const platform::DirEntry& entry) {
    if (!HasRepExtension(entry.name)) return;
    if (window_.enabled && !IsFileInTimeFilter(window_, entry.name)) return;
    visitor_.File(path);
  }

  void VisitSubfolder(std::string& path, const platform::DirEntry& entry) {
    if (entry.name.front() == '.') return;
    if (entry.kind == platform::EntryKind::kUnknown) return visitor_.FolderFailure(path, entry.error_text);
    if (entry.is_folder()) WalkFolder(path);
  }

  const TimeFilter& window_;
  VisitedEntries& visited_;
  WalkVisitor& visitor_;
};

}  // namespace

bool NameOrderLess(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const char x = FoldCase(a[i]), y = FoldCase(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool HasRepExtension(const std::string& name) {
  static constexpr char kExtension[] = ".REP";
  if (name.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (FoldCase(name[name.size() - 4 + i]) != kExtension[i]) return false;
  }
  return true;
}

RepositoryRoot::RepositoryRoot(const std::string& argument, int root_kind) : path_argument(argument), kind(root_kind) {
  if (!platform::ResolvePath(argument, path)) return;
  const char sep = platform::PathSeparator();
  while (path.size() > 1 && path.back() == sep) path.pop_back();
  if (path.size() == 1 && path[0] == sep) path.clear();  // the root folder itself
  if (kind == kHotRoot) path += std::string(1, sep) + "Hot$";
  path += std::string(1, sep) + "Environment$";
  exists = platform::PathExists(path);
}

void WalkRepository(const RepositoryRoot& root, const TimeFilter& window, VisitedEntries& visited,
                    WalkVisitor& visitor) {
  if (!root.exists) return;
  std::string folder = root.path;
  Walker(window, visited, visitor).WalkFolder(folder);
}

}  // namespace tallymere
