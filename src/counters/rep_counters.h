// The counter base: one object carries the chosen grouping through a run.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "parts/buffer_ids.h"
#include "window/time_filter.h"

namespace tallymere {

struct RepPart;
struct FooterPropInfo;

inline constexpr uint32_t kEventCountType = 32;  // the property-total counter
inline constexpr uint32_t kFailedType = 33;      // marked after a file failed to parse

// The number of event records of one part, handed to CountPart.
struct RepPartCount {
  uint32_t ulCount = 0;
};

class RepCounters {
 public:
  virtual ~RepCounters() = default;
  virtual int CountPart(RepPart& part, const FooterPropInfo& prop_info, const RepPartCount& count);
  // Prints the counts and adds every printed count to m_total.
  virtual void Report() {}

  uint32_t type_code = 0;
  std::array<uint32_t, kPartKinds> part_flags{};  // buffer kinds this counter needs
  uint64_t m_total = 0;
  uint64_t m_prop_total = 0;
  const std::string* current_path = nullptr;  // the file being processed; not owned
  TimeFilter time_filter;
  bool fast = false;
  // Threads that may work beside the main one: reading files ahead, and
  // sorting and formatting the report. 0 keeps everything on one thread.
  unsigned worker_threads = 0;

  // Set when the run met damaged or inconsistent content (a file that could
  // not be read or parsed, a failed data buffer, a footer that was skipped or
  // did not add up, events that could not be placed): the report may then be
  // incomplete, and the program ends with status 2.
  bool incomplete = false;

  bool failed() const { return type_code == kFailedType; }
  void MarkFailed() {
    type_code = kFailedType;
    incomplete = true;
  }
};

// Mode -1: sums the footers' "EventsCount" and prints nothing.
class EventCount final : public RepCounters {
 public:
  EventCount() { type_code = kEventCountType; }
};

// The counter of a -m mode, or null for a mode outside the table.
std::unique_ptr<RepCounters> CreateCounter(int mode);

}  // namespace tallymere
