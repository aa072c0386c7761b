// What one file does to the run, kept until the file's turn: the text it
// makes the program write and the counts it adds, in the order a run on one
// thread makes them, and the totals and marks that follow them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "counters/rep_counters.h"
#include "platform/output.h"
#include "scan/run_state.h"

namespace tallymere {

// Where accepted counts go to be added to the count map.
class CountsSink {
 public:
  virtual ~CountsSink() = default;
  virtual void Add(std::unique_ptr<PartCounts> counts) = 0;
};

// What one file does to the run, in order: text to write and counts to add.
class Transcript {
 public:
  // For text that follows everything kept so far.
  Notes& notes();
  void AddCounts(std::unique_ptr<PartCounts> counts);
  // Writes the text and hands the counts, accepted by the counter, to the
  // sink, in order; then the totals and marks. Counts the counter refuses
  // stop the run there (run.stop): nothing after them is applied.
  void Apply(RepCounters& counter, RunState& run, CountsSink& sink);

  uint64_t prop_total = 0;  // the events the counted footers announce
  bool incomplete = false;
  bool failed = false;

 private:
  struct Step {
    Notes notes;
    std::unique_ptr<PartCounts> counts;
  };
  std::vector<Step> steps_;
};

}  // namespace tallymere
