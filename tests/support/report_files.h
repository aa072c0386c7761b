// Report files written through a ReplacingFile, as the tests look at them:
// the temporary files left in a folder, and report bytes of every value.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace tallymere::test {

// A name the replacing file gives its temporary file: hidden, with ".tmp-".
bool IsTemporaryName(const std::string& name);

// The names of the temporary files in a folder.
std::vector<std::string> TemporaryFilesIn(const std::filesystem::path& folder);

// Bytes of every value, so that no translation of line ends or text passes.
std::string Report(size_t size);

}  // namespace tallymere::test
