#include "counters/summary_builder.h"

#include <algorithm>
#include <numeric>

namespace tallymere {

SummaryBuilder::SummaryBuilder(const CounterFamily& family, const GroupReport::Dictionaries& dictionaries)
    : family_(family), dictionaries_(dictionaries) {
  for (size_t level = 0; level < family_.level_count; ++level) {
    if (!IsPeriod(level)) by_rank_[level].assign(dictionaries_[level].texts.size(), 0);
  }
}

bool SummaryBuilder::IsPeriod(size_t level) const {
  return family_.levels[level] == KeyKind::kDay || family_.levels[level] == KeyKind::kHour;
}

std::string SummaryBuilder::LevelText(size_t level, uint32_t value) const {
  if (family_.levels[level] == KeyKind::kDay) return FormatDay(value);
  if (family_.levels[level] == KeyKind::kHour) return FormatHour(value);
  return dictionaries_[level].texts[value];
}

void SummaryBuilder::Add(const std::vector<std::pair<KeyPath, uint64_t>>& rows) {
  const bool periods = family_.level_count > 0 && IsPeriod(0);
  const bool split = periods && family_.level_count > 1;
  for (const auto& [key, count] : rows) {
    ++rows_;
    total_ += count;
    for (size_t level = 0; level < family_.level_count; ++level) {
      if (!IsPeriod(level)) by_rank_[level][key[level]] += count;
    }
    if (periods) {
      // Rows come sorted by period, then by the next level: each pair of
      // them is one run of rows.
      if (periods_.empty() || periods_.back() != key[0]) {
        periods_.push_back(key[0]);
        period_totals_.push_back(0);
        split_.emplace_back();
      }
      period_totals_.back() += count;
      if (split) {
        auto& next = split_.back();
        if (next.empty() || next.back().first != key[1]) next.emplace_back(key[1], 0);
        next.back().second += count;
      }
    }
    const TopRow row{count, rows_, key};
    if (top_rows_.size() < ReportSummary::kTopRows) {
      top_rows_.push(row);
    } else if (Before()(row, top_rows_.top())) {
      top_rows_.pop();
      top_rows_.push(row);
    }
  }
}

std::vector<uint32_t> SummaryBuilder::LargestRanks(size_t level, size_t most) const {
  const std::vector<uint64_t>& counts = by_rank_[level];
  std::vector<uint32_t> ranks;
  for (uint32_t rank = 0; rank < counts.size(); ++rank) {
    if (counts[rank] != 0) ranks.push_back(rank);
  }
  const auto larger = [&](uint32_t a, uint32_t b) { return counts[a] != counts[b] ? counts[a] > counts[b] : a < b; };
  const size_t kept = std::min(most, ranks.size());
  std::partial_sort(ranks.begin(), ranks.begin() + static_cast<std::ptrdiff_t>(kept), ranks.end(), larger);
  ranks.resize(kept);
  return ranks;
}

ReportSummary::Level SummaryBuilder::SummariseLevel(size_t level) const {
  ReportSummary::Level summary;
  summary.field = std::string(FieldName(family_.levels[level]));
  summary.distinct = static_cast<uint64_t>(
      std::count_if(by_rank_[level].begin(), by_rank_[level].end(), [](uint64_t count) { return count != 0; }));
  uint64_t shown = 0;
  for (uint32_t rank : LargestRanks(level, ReportSummary::kTopValues)) {
    summary.top.push_back({dictionaries_[level].texts[rank], by_rank_[level][rank]});
    shown += by_rank_[level][rank];
  }
  summary.other = total_ - shown;
  return summary;
}

ReportSummary::TimeSeries SummaryBuilder::SummariseTime() const {
  ReportSummary::TimeSeries time;
  time.field = std::string(FieldName(family_.levels[0]));
  for (uint32_t period : periods_) time.periods.push_back(LevelText(0, period));
  if (family_.level_count < 2) {
    time.series.push_back("events");
    time.counts.push_back(period_totals_);
    return time;
  }
  time.split_field = std::string(FieldName(family_.levels[1]));
  const std::vector<uint32_t> largest = LargestRanks(1, ReportSummary::kTopSeries);
  std::vector<int> series_of(by_rank_[1].size(), -1);
  for (size_t s = 0; s < largest.size(); ++s) {
    series_of[largest[s]] = static_cast<int>(s);
    time.series.push_back(dictionaries_[1].texts[largest[s]]);
  }
  time.counts.assign(largest.size() + 1, std::vector<uint64_t>(periods_.size(), 0));
  for (size_t p = 0; p < periods_.size(); ++p) {
    for (const auto& [rank, count] : split_[p]) {
      const int s = series_of[rank];
      time.counts[s < 0 ? largest.size() : static_cast<size_t>(s)][p] += count;
    }
  }
  const std::vector<uint64_t>& other = time.counts.back();
  if (std::all_of(other.begin(), other.end(), [](uint64_t count) { return count == 0; })) {
    time.counts.pop_back();
  } else {
    time.series.push_back("other");
  }
  return time;
}

void SummaryBuilder::Fill(ReportSummary& summary) const {
  summary.fields.clear();
  summary.levels.clear();
  std::string mode_name;
  for (size_t level = 0; level < family_.level_count; ++level) {
    summary.fields.emplace_back(FieldName(family_.levels[level]));
    mode_name += (level == 0 ? "" : ", ") + std::string(LevelTitle(family_.levels[level]));
    if (!IsPeriod(level)) summary.levels.push_back(SummariseLevel(level));
  }
  summary.mode_name = mode_name;
  if (family_.level_count > 0 && IsPeriod(0)) summary.time = SummariseTime();
  auto heap = top_rows_;
  std::vector<TopRow> rows;
  for (; !heap.empty(); heap.pop()) rows.push_back(heap.top());
  std::sort(rows.begin(), rows.end(), Before());
  summary.top_rows.clear();
  for (const TopRow& row : rows) {
    ReportSummary::Row& out = summary.top_rows.emplace_back();
    for (size_t level = 0; level < family_.level_count; ++level) out.fields.push_back(LevelText(level, row.key[level]));
    out.count = row.count;
  }
  summary.row_count = rows_;
  summary.events = total_;
}

}  // namespace tallymere
