// Another process's hold on a file, as a service that writes repository
// files has it (Windows only: POSIX has no sharing modes).
#pragma once

#include <filesystem>
#include <memory>

namespace tallymere::test {

enum class Sharing {
  kNone,          // nobody else may open the file
  kWriterShares,  // open for writing, others may read, write and delete
};

// Keeps the file open until the returned object is destroyed; null when the
// file could not be opened.
std::shared_ptr<void> HoldOpen(const std::filesystem::path& file, Sharing sharing);

}  // namespace tallymere::test
