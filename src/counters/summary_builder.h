// Gathers an HTML report's summary from the report's rows as they come, in
// report order: every level's counts by value, the events of each period
// split by the next level, and the largest rows. Its memory grows with the
// values the report holds (and the pairs of period and next level), never
// with the rows themselves.
#pragma once

#include <cstdint>
#include <queue>
#include <utility>
#include <vector>

#include "counters/group_report.h"
#include "counters/report_summary.h"

namespace tallymere {

class SummaryBuilder {
 public:
  SummaryBuilder(const CounterFamily& family, const GroupReport::Dictionaries& dictionaries);

  // Rows in report order: each level a rank (a period its value), and the count.
  void Add(const std::vector<std::pair<KeyPath, uint64_t>>& rows);
  // The fields, levels, time series, largest rows and row count.
  void Fill(ReportSummary& summary) const;

 private:
  struct TopRow {
    uint64_t count = 0;
    uint64_t order = 0;  // the row's place in the report
    KeyPath key{};
  };
  // Larger counts first; of equal counts the earlier row.
  struct Before {
    bool operator()(const TopRow& a, const TopRow& b) const {
      return a.count != b.count ? a.count > b.count : a.order < b.order;
    }
  };

  bool IsPeriod(size_t level) const;
  std::string LevelText(size_t level, uint32_t value) const;
  // The ranks of the level's largest values, largest first, ties by rank.
  std::vector<uint32_t> LargestRanks(size_t level, size_t most) const;
  ReportSummary::Level SummariseLevel(size_t level) const;
  ReportSummary::TimeSeries SummariseTime() const;

  const CounterFamily& family_;
  const GroupReport::Dictionaries& dictionaries_;
  std::array<std::vector<uint64_t>, kMaxKeyLevels> by_rank_;  // counts of each non-period level's values
  std::vector<uint32_t> periods_;                             // in report order
  std::vector<uint64_t> period_totals_;
  // For each period, the next level's ranks and counts, in rank order.
  std::vector<std::vector<std::pair<uint32_t, uint64_t>>> split_;
  std::priority_queue<TopRow, std::vector<TopRow>, Before> top_rows_;  // the worst kept on top
  uint64_t rows_ = 0;
  uint64_t total_ = 0;
};

}  // namespace tallymere
