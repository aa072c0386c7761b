// Fuzzes the whole per-file pipeline as the walk drives it: one file through
// ProcessFile into a counter, then the report. The first input byte picks the
// counter and whether a time window is set:
//   bits 0-1  0: the property total (mode -1), 1: a full mode, 2 or 3: its
//             Fast variant
//   bits 2-5  the grouping, modes 0..12 (larger values wrap)
//   bit 6     a time window of 2018-03-01 to 2018-03-31
//   bit 7     a second pass over the same file, as for a repository where
//             one file follows another
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "counters/rep_counters.h"
#include "fuzz_support.h"
#include "scan/process_file.h"
#include "scan/rep_file_input.h"
#include "window/time_filter.h"

namespace tallymere::fuzz {
namespace {

std::unique_ptr<RepCounters> ChooseCounter(uint8_t choice) {
  const int grouping = (choice >> 2 & 0x0F) % 13;
  switch (choice & 0x03) {
    case 0: return CreateCounter(-1);
    case 1: return CreateCounter(grouping);
    default: return CreateCounter(20 + grouping);
  }
}

void SetMarchWindow(RepCounters& counter) { SetTimeFilter(counter.time_filter, kFromTo, 0, "20180301", "20180401", 0); }

}  // namespace
}  // namespace tallymere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallymere;
  fuzz::SwallowOutput swallow;
  fuzz::InputSplitter input(data, size);
  const uint8_t choice = input.TakeByte();
  std::unique_ptr<RepCounters> counter = fuzz::ChooseCounter(choice);
  if ((choice & 0x40) != 0) fuzz::SetMarchWindow(*counter);
  const std::vector<uint8_t> file(input.Rest().begin(), input.Rest().end());
  const int passes = (choice & 0x80) != 0 ? 2 : 1;
  RunState run;
  for (int pass = 0; pass < passes; ++pass) {
    RepFileInput file_input("fuzz.rep", file, counter->part_flags);
    ProcessFile(file_input, *counter, run);
  }
  counter->Report();
  return 0;
}
