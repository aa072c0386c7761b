#include "counters/group_counter.h"

#include "counters/group_report.h"
#include "counters/group_tally.h"
#include "platform/output.h"

namespace tallymere {

GroupCounter::GroupCounter(const CounterFamily& family)
    : family_(family), heading_(family.heading), label_(family.label) {
  type_code = family.type_code;
  part_flags[0] = family.ReadsCategories() ? 1 : 0;
  part_flags[1] = 1;
  part_flags[3] = 1;
}

void GroupCounter::MakeFast() {
  type_code = family_.fast_type_code;
  fast = true;
  heading_ = family_.fast_heading;
  label_ = family_.fast_label;
}

std::unique_ptr<PartTally> GroupCounter::NewTally() {
  CountTable* share = nullptr;
  {
    std::lock_guard<std::mutex> lock(shares_mutex_);
    share = &shares_.emplace_back(RestLayout(family_.level_count, family_.GroupLevel()));
  }
  return std::make_unique<GroupTally>(TallySettings{&family_, &pools_, time_filter, fast, heading_, label_}, *share);
}

// A failure while counting stops the run: the heading and the keys derived
// last are printed, and no report follows.
RunStop GroupCounter::Accept(PartCounts& counts) {
  const auto& group_counts = static_cast<const GroupCounts&>(counts);
  if (!group_counts.failure) return RunStop::kNone;
  Out() << group_counts.failure->text;
  return group_counts.failure->out_of_memory ? RunStop::kOutOfMemory : RunStop::kCountingFailed;
}

void GroupCounter::Report() {
  std::vector<CountTable*> tables;
  for (CountTable& share : shares_) tables.push_back(&share);
  GroupReport report(family_, pools_, std::move(tables), worker_threads);
  report.SetFormat(report_format, summary);
  m_total += report.Write();
}

}  // namespace tallymere
