// Whole repositories of plausible content for the demo and the benchmarks,
// the same for the same seed everywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "repwriter/bytes.h"

namespace repwriter {

struct GeneratorOptions {
  std::filesystem::path out{};
  std::uint64_t events = 100000;
  std::uint32_t files = 0;           // 0: about 75,000 events per file
  std::uint32_t parts_per_file = 0;  // 0: about 10,000 events per part
  std::uint32_t footers_per_file = 2;
  std::uint32_t computers = 300;
  std::uint32_t categories = 300;
  std::vector<std::string> logs = {"Application", "System", "Security", "Setup", "Orvanta Agent"};
  double platform_610_share = 0.3;        // footers whose event IDs keep all 32 bits
  std::uint32_t start_time = 1525132800;  // 2018-05-01 00:00:00 UTC
  std::uint32_t span_seconds = 30 * 86400;
  double nested_share = 0.1;  // files that are containers of nested images
  // Level 4 packs the generated records about 3.3:1 at a third of level 6's
  // time, which keeps the benchmark size well inside its time budget.
  int compression_level = 4;
  std::uint64_t seed = 1;
  unsigned threads = 1;  // files are independent; the output does not depend on this
};

struct GeneratorSummary {
  std::uint64_t files = 0;
  std::uint64_t events = 0;
  std::uint64_t bytes_on_disk = 0;
  std::uint64_t unpacked_bytes = 0;      // all part buffers, before compression
  std::uint64_t events_count_total = 0;  // sum of "EventsCount" over counted footers
};

// Checks the options and fills in the derived defaults; throws
// std::invalid_argument with a readable reason for impossible values.
GeneratorOptions ResolveOptions(GeneratorOptions options);

// One file's image and where it goes, without writing it: lets tests check
// the content of a generated repository without touching the disk.
struct GeneratedFile {
  std::filesystem::path relative_path{};
  Bytes image{};
  std::uint64_t events = 0;
  std::uint64_t unpacked_bytes = 0;
};
GeneratedFile GenerateFile(const GeneratorOptions& resolved, std::uint32_t file_index);

GeneratorSummary GenerateRepository(const GeneratorOptions& options);

}  // namespace repwriter
