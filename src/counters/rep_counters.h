// The counter base: one object carries the chosen grouping through a run.
//
// Counting a part is split so that it can run beside the reading: a
// PartTally (one per thread) counts a part into PartCounts of its own,
// touching nothing of the counter; the counter accepts those counts in walk
// order (Accept: a failure met while counting is reported in its turn), and
// then any tally adds them to the count map, through a share of it that is
// its own. Counts are sums, so the count map is the same as if every part
// had been counted where it was found.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "counters/report_format.h"
#include "counters/report_summary.h"
#include "parts/buffer_ids.h"
#include "parts/footer_prop_info.h"
#include "window/time_filter.h"

namespace tallymere {

struct RepPart;
class Notes;

inline constexpr uint32_t kEventCountType = 32;  // the property-total counter

// Why a run stops before its report: the counts could not be taken in (the
// diagnostic is written), or memory ran out. Only the driver ends the run.
enum class RunStop { kNone, kCountingFailed, kOutOfMemory };

// The number of event records of one part, handed to PartTally::Count.
struct RepPartCount {
  uint32_t ulCount = 0;
};

// The counts of one part (or, in mode -1, of one footer), not yet added to
// a counter.
class PartCounts {
 public:
  virtual ~PartCounts() = default;
  // Some events of the part could not be placed (rows out of range, fewer
  // records than announced).
  bool incomplete = false;
};

// What a footer's "EventsCount" gives a counter that counts footers by it
// rather than by their parts (mode -1).
struct FooterTotal {
  std::unique_ptr<PartCounts> counts;  // taken in walk order, as a part's are
  uint32_t announced = 0;              // the events the footer announces
  bool count_next = true;              // false: the image's later footers are not counted
};

// One thread's counting state. Tallies of one counter may count on several
// threads at once; a tally reads the counter's settings and shared key
// pools but never its count map.
class PartTally {
 public:
  virtual ~PartTally() = default;
  virtual std::unique_ptr<PartCounts> Count(RepPart& part, const FooterPropInfo& prop_info,
                                            const RepPartCount& count) = 0;
  // Parses the part's events buffer (its other slots parsed without fault)
  // and counts the part, as Parse then Count would: `events_status` gets
  // what the buffer's Parse returns, and nothing is counted (null) unless
  // that is 0. A tally that reads the columns may count each record as the
  // parse's walk meets it.
  virtual std::unique_ptr<PartCounts> ParseAndCount(RepPart& part, const FooterPropInfo& prop_info, int& events_status);
  // Adds accepted counts, made by any tally of the same counter, to the
  // counter's count map through this tally's share of it, on this tally's
  // thread. The counts are used up.
  virtual void Add(PartCounts& counts) = 0;
};

class RepCounters {
 public:
  virtual ~RepCounters() = default;
  // Prints the counts and adds every printed count to m_total.
  virtual void Report() {}

  // A tally for one thread, or null for a counter that counts no parts.
  // Valid while the counter lives; its settings are those of the moment.
  virtual std::unique_ptr<PartTally> NewTally() { return nullptr; }
  // Takes counts a tally of this counter made, in walk order. A failure the
  // tally met while counting is written here, in its turn, and stops the
  // run: nothing after it is counted, and no report follows.
  virtual RunStop Accept(PartCounts&) { return RunStop::kNone; }
  // A counter that counts a footer by its "EventsCount" property alone
  // (mode -1) counts it here; the others count its parts (nullopt).
  // Diagnostics go to `notes`.
  virtual std::optional<FooterTotal> CountFooterTotal(const FooterProperties&, Notes&) const { return std::nullopt; }

  uint32_t type_code = 0;
  std::array<uint32_t, kPartKinds> part_flags{};  // buffer kinds this counter needs
  uint64_t m_total = 0;
  uint64_t m_prop_total = 0;
  TimeFilter time_filter;
  bool fast = false;
  // Threads that may work beside the main one: reading and counting ahead,
  // and sorting and formatting the report. 0 keeps everything on one thread.
  unsigned worker_threads = 0;
  // The form of the report; an HTML report writes nothing itself, but
  // gathers its counts into `summary` for the page.
  ReportFormat report_format = ReportFormat::kText;
  ReportSummary* summary = nullptr;

  // The sticky mark of a file that failed to parse: nothing more is counted.
  bool failed() const { return failed_; }
  void MarkFailed() { failed_ = true; }
  // The verbose total is the footers' "EventsCount" sum: mode -1, as long as
  // no file failed to parse (after one, the count so far is printed).
  bool ReportsPropertyTotal() const { return type_code == kEventCountType && !failed_; }

 private:
  bool failed_ = false;
};

// Mode -1: sums the footers' "EventsCount". Its plain report is empty (-v
// prints the total); in the formats a program reads, the total is the one
// row, under the field name "count".
class EventCount final : public RepCounters {
 public:
  EventCount() { type_code = kEventCountType; }
  std::optional<FooterTotal> CountFooterTotal(const FooterProperties& properties, Notes& notes) const override;
  RunStop Accept(PartCounts& counts) override;
  void Report() override;
};

// The counter of a -m mode, or null for a mode outside the table.
std::unique_ptr<RepCounters> CreateCounter(int mode);

}  // namespace tallymere
