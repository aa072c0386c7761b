// Counting the events of one part for a grouping, on any thread.
//
// A tally turns each event into its key path and counts it in a count table
// of the part's own; the counter adds that table to its count map later, in
// walk order. Keys that are strings or numbers are interned in the
// counter's pools, which the tallies of all threads share.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "counters/count_keys.h"
#include "counters/count_table.h"
#include "counters/counter_family.h"
#include "counters/rep_counters.h"
#include "window/time_filter.h"

namespace tallymere {

// What a tally found of one part: its counts, or the failure that stopped it.
class GroupCounts final : public PartCounts {
 public:
  HeldCounts table;
  // Set when counting failed (memory ran out, say): the diagnostic to print
  // in its turn, after which the program ends.
  struct Failure {
    std::string text;  // the heading and the failure label's line
    bool out_of_memory = false;
  };
  std::optional<Failure> failure;
};

// The settings a tally counts with, fixed for the run.
struct TallySettings {
  const CounterFamily* family = nullptr;
  KeyPools* pools = nullptr;
  TimeFilter time_filter;
  bool fast = false;  // read the columns, not the decoded tables
  std::string_view heading;
  FailureLabel label = FailureLabel::kNone;
};

class GroupTally final : public PartTally {
 public:
  // Adds counts to `share`, this tally's share of the counter's count map.
  GroupTally(const TallySettings& settings, CountTable& share);
  std::unique_ptr<PartCounts> Count(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count) override;
  // The Fast variants count each record as the parse's walk meets it: the
  // records are walked once, and their counting overlaps the walk's chain
  // of loads.
  std::unique_ptr<PartCounts> ParseAndCount(RepPart& part, const FooterPropInfo& prop_info,
                                            int& events_status) override;
  void Add(PartCounts& counts) override;

 private:
  // Counts the part through `source`; a failure is kept in the counts.
  template <class Source>
  std::unique_ptr<GroupCounts> CountThrough(Source& source, const FooterPropInfo& prop_info, uint32_t count);
  template <class Source>
  void CountEvents(Source& source, const FooterPropInfo& prop_info, uint32_t count);
  template <class Source>
  void PrepareRows(Source& source, bool needs_categories);
  struct MemoEntry;
  void CountEvent(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  uint32_t PeriodOf(uint32_t time) const;
  void CountNewKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, uint32_t period, KeyPath& key,
                       MemoEntry& memo);
  struct RowCell;
  void CountInCell(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  void FlushCell(uint32_t cat_row, uint32_t comp_row, RowCell& cell, KeyPath& key);
  void FlushCells(KeyPath& key);
  // Whether the part's rows that tell key paths apart are few enough to
  // count in cells; if so, sets out an empty cell for each pair of them.
  bool UsesCells(uint32_t records);
  void BuildKeyPath(uint32_t cat_row, uint32_t comp_row, uint32_t time, KeyPath& key);
  uint32_t GroupValueOf(const KeyPath& key) const { return group_level_ ? key[*group_level_] : log_id_; }
  void ForgetMemo();
  // The heading and the label's line, naming the keys derived last.
  std::string FailureText() const;

  TallySettings settings_;
  CountTable& share_;
  const CounterFamily& family_;
  PoolCache<std::u16string, StringPool> logs_;
  PoolCache<std::u16string, StringPool> computers_;
  PoolCache<std::u16string, StringPool> categories_;
  PoolCache<uint32_t, ValuePool> event_ids_;
  PoolCache<uint32_t, ValuePool> event_types_;
  GroupCounts* counts_ = nullptr;  // of the part being counted
  // Counts the part being counted, and is used again for the next part: once
  // grown to a part's size it allocates nothing more. Its counts are then
  // copied into the part's held counts.
  PartCountTable working_;
  CountSlot* slots_ = nullptr;  // of working_, as of its last Add
  bool needs_computer_table_ = false;
  // The keys of each category and computer row of the part being counted.
  struct CategoryRowKeys {
    uint32_t event_id = 0;  // after the mask
    uint32_t event_id_key = 0;
    uint32_t event_type_key = 0;
    uint32_t category = 0;  // interned name, "N/A" for an empty one
  };
  struct ComputerRowKeys {
    uint32_t time_base = 0;
    uint32_t computer = 0;  // interned upper-cased name
  };
  std::vector<CategoryRowKeys> category_rows_;
  std::vector<ComputerRowKeys> computer_rows_;
  // Recently counted (rows, period) and their slot in the part's table.
  // Entries of an older generation are void: the generation moves on for
  // every part (rows mean other things in each), and when the table sums
  // its slots (they move).
  struct MemoEntry {
    uint32_t cat_row = 0;
    uint32_t comp_row = 0;
    uint32_t period = 0;
    uint32_t generation = 0;
    uint32_t slot = 0;
  };
  static constexpr int kMemoBits = 10;  // 24 KiB: stays in the first-level cache
  std::vector<MemoEntry> memo_ = std::vector<MemoEntry>(size_t{1} << kMemoBits);
  uint32_t generation_ = 1;
  // When the part's rows that tell key paths apart make few pairs, each
  // (category row, computer row) has a cell that counts the events of its
  // current period, and goes to the table when the period moves on (events
  // come in time order) or the part ends: no hashing, and the count stays in
  // the first-level cache.
  struct RowCell {
    uint32_t period = 0;
    uint32_t count = 0;
  };
  static constexpr size_t kMostCells = 4096;  // 32 KiB
  std::vector<RowCell> cells_;
  uint32_t cell_columns_ = 1;    // cells per category row
  uint32_t period_seconds_ = 0;  // 86400 or 3600 for the period key, 0 without one
  uint32_t memo_category_mask_;  // 0 where the key path does not depend on the row
  uint32_t memo_computer_mask_;
  uint32_t log_id_ = 0;
  // The key level whose value groups the count map's partitions; the log
  // when the grouping has none.
  std::optional<size_t> group_level_;
  uint32_t event_id_mask_ = 0xFFFF;
  // The keys derived last, for the failure path.
  uint32_t last_event_id_ = 0;
  uint32_t last_computer_ = UINT32_MAX;
  uint32_t last_category_ = UINT32_MAX;
};

}  // namespace tallymere
