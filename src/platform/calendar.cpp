#include "platform/platform.h"

namespace tallymere::platform {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidCalendarTime(const CalendarTime& t) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return false;
  return t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

}  // namespace tallymere::platform
