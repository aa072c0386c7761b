#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace tallymere::platform {

namespace {

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601
constexpr uint64_t kTicksPerSecond = 10000000ULL;

uint64_t ToTicks(const FILETIME& time) { return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime; }

}  // namespace

uint64_t NowFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ToTicks(now);
}

uint64_t ThreadCpuNanoseconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return (ToTicks(kernel) + ToTicks(user)) * 100;
}

uint32_t CurrentTimeSeconds() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME ticks;
  if (!SystemTimeToFileTime(&now, &ticks)) return 0;
  return static_cast<uint32_t>((ToTicks(ticks) - kUnixEpochFileTime) / kTicksPerSecond);
}

std::optional<uint64_t> CalendarToFileTime(const CalendarTime& t) {
  // Checked here first: not every implementation of the conversion refuses a
  // day past the month's end or a year above 30827, and both builds must
  // refuse the same texts.
  if (!IsValidCalendarTime(t)) return std::nullopt;
  SYSTEMTIME calendar{};
  calendar.wYear = t.year;
  calendar.wMonth = t.month;
  calendar.wDay = t.day;
  calendar.wHour = t.hour;
  calendar.wMinute = t.minute;
  calendar.wSecond = t.second;
  FILETIME ticks;
  if (!SystemTimeToFileTime(&calendar, &ticks)) return std::nullopt;
  return ToTicks(ticks);
}

}  // namespace tallymere::platform
