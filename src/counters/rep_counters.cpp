#include "counters/rep_counters.h"

#include "counters/counter_classes.h"
#include "parts/rep_events_buffer.h"
#include "parts/rep_part.h"
#include "platform/output.h"

namespace tallymere {

std::unique_ptr<PartCounts> PartTally::ParseAndCount(RepPart& part, const FooterPropInfo& prop_info,
                                                     int& events_status) {
  RepEventsBuffer& events = *part.events();
  events_status = events.Parse();
  if (events_status != 0) return nullptr;
  return Count(part, prop_info, RepPartCount{events.ulCount});
}

namespace {

// The events one footer adds in mode -1.
class FooterEvents final : public PartCounts {
 public:
  explicit FooterEvents(uint32_t count) : events(count) {}
  uint32_t events;
};

}  // namespace

// A footer without "EventsCount" ends the image's count: silently when it
// continues a chain ("PrevPositionGUID"), else with the footer's properties
// listed and the run marked incomplete.
std::optional<FooterTotal> EventCount::CountFooterTotal(const FooterProperties& properties, Notes& notes) const {
  const auto found = properties.find(std::u16string_view(u"EventsCount"));
  const std::optional<uint32_t> events = found == properties.end() ? std::nullopt : PropertyNumber(found->second);
  if (events) return FooterTotal{std::make_unique<FooterEvents>(*events), *events, true};
  if (found == properties.end() && properties.contains(std::u16string_view(u"PrevPositionGUID"))) {
    return FooterTotal{nullptr, 0, false};
  }
  notes.err() << "EventsCount not found in footer property.\n";
  for (const auto& [name, value] : properties) notes.out() << name << " = " << value << "\n";
  auto unplaced = std::make_unique<FooterEvents>(0);
  unplaced->incomplete = true;
  return FooterTotal{std::move(unplaced), 0, false};
}

// Mode -1 counts what the footers announce: its count is their sum.
RunStop EventCount::Accept(PartCounts& counts) {
  m_total += static_cast<const FooterEvents&>(counts).events;
  return RunStop::kNone;
}

namespace {

template <class Counter>
std::unique_ptr<RepCounters> Make() {
  return std::make_unique<Counter>();
}

using Factory = std::unique_ptr<RepCounters> (*)();

// Modes 0..12; mode n + 20 is the Fast variant of mode n.
// clang-format off
constexpr Factory kFullCounters[13] = {
    Make<LogEventIDCount>, Make<DayLogEventIDCount>, Make<HourLogEventIDCount>,
    Make<DayComputerCount>, Make<HourComputerCount>, Make<DayComputerLogCount>,
    Make<HourComputerLogCount>, Make<DayComputerLogEventIDCount>,
    Make<HourComputerLogEventIDCount>, Make<DayComputerCategoryCount>,
    Make<HourComputerCategoryCount>, Make<DayComputerCategoryEventTypeCount>,
    Make<HourComputerCategoryEventTypeCount>};
constexpr Factory kFastCounters[13] = {
    Make<LogEventIDCountFast>, Make<DayLogEventIDCountFast>, Make<HourLogEventIDCountFast>,
    Make<DayComputerCountFast>, Make<HourComputerCountFast>, Make<DayComputerLogCountFast>,
    Make<HourComputerLogCountFast>, Make<DayComputerLogEventIDCountFast>,
    Make<HourComputerLogEventIDCountFast>, Make<DayComputerCategoryCountFast>,
    Make<HourComputerCategoryCountFast>, Make<DayComputerCategoryEventTypeCountFast>,
    Make<HourComputerCategoryEventTypeCountFast>};
// clang-format on

}  // namespace

void EventCount::Report() {
  switch (report_format) {
    case ReportFormat::kText: break;
    case ReportFormat::kCsv: ReportOut() << "count\n" << m_prop_total << "\n"; break;
    case ReportFormat::kJsonLines: ReportOut() << "{\"count\":" << m_prop_total << "}\n"; break;
    case ReportFormat::kHtml:
      if (summary != nullptr) {
        summary->fields.clear();
        summary->mode_name = "Events announced by the footers (\"EventsCount\")";
        summary->events = m_prop_total;
      }
      break;
  }
}

std::unique_ptr<RepCounters> CreateCounter(int mode) {
  if (mode == -1) return std::make_unique<EventCount>();
  if (mode >= 0 && mode <= 12) return kFullCounters[mode]();
  if (mode >= 20 && mode <= 32) return kFastCounters[mode - 20]();
  return nullptr;
}

}  // namespace tallymere
