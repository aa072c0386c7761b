#include "support/expected_report.h"

#include <cstdio>
#include <map>
#include <variant>

#include "platform/output.h"

namespace tallymere::test {

namespace {

enum Level { kDay, kHour, kLog, kComputer, kCategory, kEventType, kEventId };

const std::vector<std::vector<Level>> kModeLevels = {
    {kLog, kEventId},
    {kDay, kLog, kEventId},
    {kHour, kLog, kEventId},
    {kDay, kComputer},
    {kHour, kComputer},
    {kDay, kComputer, kLog},
    {kHour, kComputer, kLog},
    {kDay, kComputer, kLog, kEventId},
    {kHour, kComputer, kLog, kEventId},
    {kDay, kComputer, kCategory},
    {kHour, kComputer, kCategory},
    {kDay, kComputer, kCategory, kEventType},
    {kHour, kComputer, kCategory, kEventType},
};

struct Calendar {
  int year, month, day, hour, minute, second;
};

// Walks the years and months one by one: slow, plain, and independent of the
// program's own date arithmetic.
Calendar ToCalendar(uint32_t seconds) {
  uint32_t days = seconds / 86400;
  const uint32_t rest = seconds % 86400;
  Calendar c{1970, 1, 1, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
  const auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  while (days >= (leap(c.year) ? 366u : 365u)) days -= leap(c.year) ? 366 : 365, ++c.year;
  const int lengths[] = {31, leap(c.year) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  while (days >= static_cast<uint32_t>(lengths[c.month - 1])) days -= lengths[c.month - 1], ++c.month;
  c.day += static_cast<int>(days);
  return c;
}

// A key field orders by its natural type: numbers as numbers (event IDs
// signed), strings by UTF-16 code units.
using Field = std::variant<int64_t, std::u16string>;

std::string DateText(uint32_t seconds, bool with_hour) {
  const Calendar c = ToCalendar(seconds);
  char text[32];
  if (with_hour) {
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:00", c.year, c.month, c.day, c.hour);
  } else {
    std::snprintf(text, sizeof text, "%d-%02d-%02d", c.year, c.month, c.day);
  }
  return text;
}

Field KeyOf(Level level, const repwriter::ExpectedEvent& e) {
  switch (level) {
    case kDay: return int64_t{e.time / 86400 * 86400};
    case kHour: return int64_t{e.time / 3600 * 3600};
    case kLog: return e.log;
    case kComputer: {
      std::u16string name = e.computer;
      for (auto& c : name)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
      return name;
    }
    case kCategory: return e.category.empty() ? std::u16string(u"N/A") : e.category;
    case kEventType: return int64_t{e.event_type};
    case kEventId: return int64_t{static_cast<int32_t>(e.platform_id == 610 ? e.event_id : e.event_id & 0xFFFF)};
  }
  return int64_t{0};
}

std::string FieldText(Level level, const Field& field) {
  if (const auto* text = std::get_if<std::u16string>(&field)) return ToUtf8(*text);
  const int64_t number = std::get<int64_t>(field);
  if (level == kDay) return DateText(static_cast<uint32_t>(number), false);
  if (level == kHour) return DateText(static_cast<uint32_t>(number), true);
  return std::to_string(number);
}

}  // namespace

std::vector<ExpectedRow> ExpectedRows(int mode, const std::vector<repwriter::ExpectedEvent>& events,
                                      const Window& window) {
  const std::vector<Level>& levels = kModeLevels.at(static_cast<size_t>(mode % 20));
  std::map<std::vector<Field>, uint64_t> counts;
  for (const auto& e : events) {
    if (window.enabled && (e.time < window.from || e.time >= window.before)) continue;
    std::vector<Field> key;
    for (Level level : levels) key.push_back(KeyOf(level, e));
    ++counts[key];
  }
  std::vector<ExpectedRow> rows;
  for (const auto& [key, count] : counts) {
    ExpectedRow& row = rows.emplace_back();
    for (size_t i = 0; i < key.size(); ++i) row.fields.push_back(FieldText(levels[i], key[i]));
    row.count = count;
  }
  return rows;
}

std::string ExpectedReport(int mode, const std::vector<repwriter::ExpectedEvent>& events, const Window& window) {
  std::string report;
  for (const ExpectedRow& row : ExpectedRows(mode, events, window)) {
    for (const std::string& field : row.fields) report += field + ",";
    report += std::to_string(row.count) + "\n";
  }
  return report;
}

std::string TimeText(uint32_t seconds) {
  const Calendar c = ToCalendar(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
  return text;
}

}  // namespace tallymere::test
