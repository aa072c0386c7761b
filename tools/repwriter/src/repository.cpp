#include "repwriter/repository.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace repwriter {

std::filesystem::path RootFolder(const std::filesystem::path& repository, Root root) {
  return root == Root::Hot ? repository / "Hot$" / "Environment$" : repository / "Environment$";
}

std::string RepositoryFileName(std::uint64_t sequence, std::uint32_t first_time, std::uint32_t last_time) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "Orv_%010llu_", static_cast<unsigned long long>(sequence % 10000000000ULL));
  return prefix + UtcStamp(first_time) + UtcStamp(last_time) + ".rep";
}

void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("repwriter: cannot write " + path.string());
}

std::vector<std::filesystem::path> WriteRepository(const std::filesystem::path& repository,
                                                   const std::vector<RepositoryFile>& files) {
  std::vector<std::filesystem::path> written;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const RepositoryFile& file = files[i];
    const auto span = file.stamps ? file.stamps : EventTimeSpan(file.image);
    const auto [first, last] = span.value_or(std::pair<std::uint32_t, std::uint32_t>{0, 0});
    const std::string name = file.name.empty() ? RepositoryFileName(i + 1, first, last) : file.name;
    const auto path = RootFolder(repository, file.root) / file.folder / name;
    WriteFileBytes(path, WriteImage(file.image));
    written.push_back(path);
  }
  return written;
}

}  // namespace repwriter
