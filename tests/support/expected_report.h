// A reference model of the report: the counts computed straight from the
// events a test wrote, with nested ordered maps, independent of the
// program's own counting code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repwriter/description.h"

namespace tallymere::test {

struct Window {
  bool enabled = false;
  uint32_t from = 0;             // inclusive
  uint64_t before = 1ULL << 32;  // exclusive
};

// The report lines of grouping mode 0..12 (or its Fast mode) over the events.
std::string ExpectedReport(int mode, const std::vector<repwriter::ExpectedEvent>& events, const Window& window = {});

// The same report as rows: each field's text as the report prints it, then
// the count.
struct ExpectedRow {
  std::vector<std::string> fields;
  uint64_t count = 0;
  bool operator==(const ExpectedRow&) const = default;
};
std::vector<ExpectedRow> ExpectedRows(int mode, const std::vector<repwriter::ExpectedEvent>& events,
                                      const Window& window = {});

// YYYYMMDDHHmmss of a UTC time, as the -f and -t options take it.
std::string TimeText(uint32_t seconds);

}  // namespace tallymere::test
