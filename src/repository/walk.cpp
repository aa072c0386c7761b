#include "repository/walk.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "repository/file_pipeline.h"

namespace tallymere {

namespace {

char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// `folder` is extended in place while the walk descends and cut back after.
void WalkFolder(std::string& folder, RepCounters& counter, FilePipeline& pipeline) {
  folder.push_back(platform::PathSeparator());
  const size_t base = folder.size();
  std::vector<platform::DirEntry> entries;
  if (!platform::ListFolder(folder, entries)) return;
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return NameOrderLess(a.name, b.name); });

  const bool holds_files = std::any_of(entries.begin(), entries.end(),
                                       [](const auto& e) { return HasRepExtension(e.name); });
  if (holds_files) {
    for (const auto& entry : entries) {
      if (!HasRepExtension(entry.name)) continue;
      if (counter.time_filter.enabled && !IsFileInTimeFilter(counter.time_filter, entry.name)) continue;
      pipeline.Add(folder + entry.name);
    }
  } else {
    for (const auto& entry : entries) {
      if (!entry.is_folder || entry.name.front() == '.') continue;
      folder.resize(base);
      folder += entry.name;
      WalkFolder(folder, counter, pipeline);
    }
  }
  folder.resize(base);
}

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

RepositoryRoot::RepositoryRoot(const std::string& argument, int root_kind)
    : path_argument(argument), kind(root_kind) {
  if (!platform::ResolvePath(argument, path)) return;
  const char sep = platform::PathSeparator();
  while (path.size() > 1 && path.back() == sep) path.pop_back();
  if (path.size() == 1 && path[0] == sep) path.clear();  // the root folder itself
  if (kind == kHotRoot) path += std::string(1, sep) + "Hot$";
  path += std::string(1, sep) + "Environment$";
  exists = platform::PathExists(path);
}

void WalkRepository(const RepositoryRoot& root, RepCounters& counter) {
  if (!root.exists) return;
  std::string folder = root.path;
  FilePipeline pipeline(counter, counter.worker_threads);
  WalkFolder(folder, counter, pipeline);
  pipeline.Drain();
}

}  // namespace tallymere
