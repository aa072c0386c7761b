// The counting family: every grouping mode is one GroupCounter configured by
// its key levels; the named classes only state their family. Full variants
// count the decoded tables of a part, Fast variants the parse-time columns;
// both build the same counts.
//
// The counter owns the count map and the key pools. Its tallies (one per
// thread) count parts, and AddCounts takes their counts in; the report is
// GroupReport's.
#pragma once

#include <memory>
#include <string_view>

#include "counters/count_keys.h"
#include "counters/count_table.h"
#include "counters/counter_family.h"
#include "counters/rep_counters.h"

namespace tallymere {

class GroupCounter : public RepCounters {
 public:
  std::unique_ptr<PartTally> NewTally() override;
  void AddCounts(PartCounts& counts) override;
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
  CountTable counts_;
};

}  // namespace tallymere
