#include "scan/transcript.h"

namespace tallymere {

Notes& Transcript::notes() {
  if (steps_.empty() || steps_.back().counts) steps_.emplace_back();
  return steps_.back().notes;
}

void Transcript::AddCounts(std::unique_ptr<PartCounts> counts) {
  if (steps_.empty() || steps_.back().counts) steps_.emplace_back();
  steps_.back().counts = std::move(counts);
}

void Transcript::Apply(RepCounters& counter, RunState& run, CountsSink& sink) {
  for (Step& step : steps_) {
    // Whatever the file made the program say is about damaged or
    // inconsistent content: a sound repository's run prints nothing but
    // the report, and anything else must show in the exit status.
    if (!step.notes.empty()) {
      run.incomplete = true;
      run.diagnostic_lines += step.notes.Lines();
    }
    step.notes.Write();
    if (!step.counts) continue;
    run.stop = counter.Accept(*step.counts);
    if (run.stop != RunStop::kNone) {
      steps_.clear();
      return;
    }
    if (step.counts->incomplete) run.incomplete = true;
    sink.Add(std::move(step.counts));
  }
  steps_.clear();
  counter.m_prop_total += prop_total;
  if (failed) counter.MarkFailed();
  if (incomplete || failed) run.incomplete = true;
}

}  // namespace tallymere
