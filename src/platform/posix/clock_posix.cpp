#include <ctime>

#include "platform/platform.h"

namespace tallymere::platform {

namespace {

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601
constexpr uint64_t kTicksPerSecond = 10000000ULL;

// Days from 1970-01-01 to the given Gregorian date (negative before it).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

uint64_t NowFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpochFileTime + static_cast<uint64_t>(now.tv_sec) * kTicksPerSecond +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint64_t ThreadCpuNanoseconds() {
  timespec used{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0) return 0;
  return static_cast<uint64_t>(used.tv_sec) * 1000000000ULL + static_cast<uint64_t>(used.tv_nsec);
}

uint32_t CurrentTimeSeconds() { return static_cast<uint32_t>((NowFileTime() - kUnixEpochFileTime) / kTicksPerSecond); }

std::optional<uint64_t> CalendarToFileTime(const CalendarTime& t) {
  if (!IsValidCalendarTime(t)) return std::nullopt;
  const int64_t days_since_1601 = DaysFromCivil(t.year, t.month, t.day) - DaysFromCivil(1601, 1, 1);
  const int64_t seconds = days_since_1601 * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return static_cast<uint64_t>(seconds) * kTicksPerSecond;
}

}  // namespace tallymere::platform
