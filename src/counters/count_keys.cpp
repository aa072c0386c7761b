#include "counters/count_keys.h"

#include <cstdio>

namespace tallymere {

uint32_t StringPool::Intern(const std::u16string& text) {
  std::lock_guard<platform::Lock> lock(mutex_);
  auto [it, inserted] = ids_.try_emplace(text, static_cast<uint32_t>(texts_.size()));
  if (inserted) texts_.push_back(text);
  return it->second;
}

std::u16string StringPool::TextWhileCounting(uint32_t id) const {
  std::lock_guard<platform::Lock> lock(mutex_);
  return id < texts_.size() ? texts_[id] : std::u16string();
}

uint32_t ValuePool::Intern(uint32_t value) {
  std::lock_guard<platform::Lock> lock(mutex_);
  auto [it, inserted] = ids_.try_emplace(value, static_cast<uint32_t>(values_.size()));
  if (inserted) values_.push_back(value);
  return it->second;
}

namespace {

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// The Gregorian date of a day count since 1970-01-01.
CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

}  // namespace

std::string FormatDay(uint32_t seconds) {
  const CivilDate date = CivilFromDays(seconds / 86400);
  char text[32];
  std::snprintf(text, sizeof text, "%lld-%02u-%02u", static_cast<long long>(date.year), date.month, date.day);
  return text;
}

std::string FormatHour(uint32_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, " %02u:00", (seconds % 86400) / 3600);
  return FormatDay(seconds) + text;
}

std::string FormatSecond(uint32_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, " %02u:%02u:%02u", (seconds % 86400) / 3600, (seconds % 3600) / 60, seconds % 60);
  return FormatDay(seconds) + text;
}

void UpperCaseAscii(std::u16string& text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
}

}  // namespace tallymere
