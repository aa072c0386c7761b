// Repository files on disk: "*.rep" files in sub-folders of the two search
// roots, named after the time span of their events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "repwriter/bytes.h"
#include "repwriter/description.h"

namespace repwriter {

enum class Root {
  Hot,          // <repo>/Hot$/Environment$
  Environment,  // <repo>/Environment$
};

std::filesystem::path RootFolder(const std::filesystem::path& repository, Root root);

// "Orv_<10-digit sequence>_<first stamp><last stamp>.rep": the stamps
// (YYYYMMDDHHmmss, UTC) start at characters 15 and 29, where readers look
// for the time span of the file's events.
std::string RepositoryFileName(std::uint64_t sequence, std::uint32_t first_time, std::uint32_t last_time);

// Writes the bytes, creating missing parent folders. Throws on failure.
void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes);

struct RepositoryFile {
  Root root = Root::Environment;
  std::filesystem::path folder = "Application";  // below the root
  ImageDescription image;
  // Stamps in the name; by default the span of the image's events, or
  // 1970-01-01 for an image without events.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> stamps{};
  std::string name{};  // overrides the generated name when not empty
};

// Writes every file below `repository` and returns their paths in order.
// Generated names use the file's position + 1 as sequence number.
std::vector<std::filesystem::path> WriteRepository(const std::filesystem::path& repository,
                                                   const std::vector<RepositoryFile>& files);

}  // namespace repwriter
