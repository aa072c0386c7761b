// The counting family: every grouping mode is one GroupCounter configured by
// its key levels; the named classes only state their family. Full variants
// count the decoded tables of a part, Fast variants the parse-time columns;
// both build the same counts.
//
// The counter owns the count map and the key pools. Its tallies (one per
// thread) count parts and add accepted counts to the map; the report is
// GroupReport's.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

#include "counters/count_keys.h"
#include "counters/count_table.h"
#include "counters/counter_family.h"
#include "counters/rep_counters.h"

namespace tallymere {

class GroupCounter : public RepCounters {
 public:
  std::unique_ptr<PartTally> NewTally() override;
  RunStop Accept(PartCounts& counts) override;
  void Report() override;

 protected:
  explicit GroupCounter(const CounterFamily& family);
  // Turns this counter into its Fast variant (type code, fast flag, failure texts).
  void MakeFast();

 private:
  const CounterFamily& family_;
  std::string_view heading_;
  FailureLabel label_;
  KeyPools pools_;
  // The count map, in one share per tally: each tally adds counts to its
  // own, so no lock is taken per part; the report reads them all together.
  std::mutex shares_mutex_;
  std::deque<CountTable> shares_;
};

}  // namespace tallymere
