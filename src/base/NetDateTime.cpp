#include "NetDateTime.h"

#include <cmath>
#include <ctime>

#include "NetExceptions.h"

namespace {

bool IsLeapYear(int y) { return (y % 4 == 0) && (y % 100 != 0 || y % 400 == 0); }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && IsLeapYear(y)) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 to 1899-12-30, the epoch of the day count.
constexpr long kDateDelta = 693594;

std::tm LocalNow(long& millis) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  millis = ts.tv_nsec / 1000000;
  return tm;
}

}  // namespace

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Value) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  long days = 0;
  for (int m = 1; m < Month; ++m) days += DaysInMonth(Year, m);
  long y = Year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400 + Day;
  Value = static_cast<double>(days - kDateDelta);
  return true;
}

bool TryEncodeTime(int Hour, int Minute, int Second, int Millisecond, TDateTime& Value) {
  if (Hour < 0 || Hour > 23 || Minute < 0 || Minute > 59 || Second < 0 || Second > 59 || Millisecond < 0 ||
      Millisecond > 999)
    return false;
  Value = (Hour * 3600000.0 + Minute * 60000.0 + Second * 1000.0 + Millisecond) / 86400000.0;
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime v;
  if (!TryEncodeDate(Year, Month, Day, v)) throw EConvertError("Invalid argument to date encode");
  return v;
}

TDateTime EncodeTime(int Hour, int Minute, int Second, int Millisecond) {
  TDateTime v;
  if (!TryEncodeTime(Hour, Minute, Second, Millisecond, v)) throw EConvertError("Invalid argument to time encode");
  return v;
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) {
  long days = static_cast<long>(std::floor(Value)) + kDateDelta;  // days since 0001-01-01, 1-based
  if (days <= 0) {
    Year = Month = Day = 0;
    return;
  }
  long t = days - 1;
  long y = 1;
  long n400 = t / 146097;
  t %= 146097;
  long n100 = t / 36524;
  if (n100 == 4) n100 = 3;
  t -= n100 * 36524;
  long n4 = t / 1461;
  t %= 1461;
  long n1 = t / 365;
  if (n1 == 4) n1 = 3;
  t -= n1 * 365;
  y += n400 * 400 + n100 * 100 + n4 * 4 + n1;
  int m = 1;
  while (t >= DaysInMonth(static_cast<int>(y), m)) {
    t -= DaysInMonth(static_cast<int>(y), m);
    ++m;
  }
  Year = static_cast<int>(y);
  Month = m;
  Day = static_cast<int>(t) + 1;
}

void DecodeTime(TDateTime Value, int& Hour, int& Minute, int& Second, int& Millisecond) {
  double frac = std::fabs(Value - std::trunc(Value));
  long ms = std::lround(frac * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  Hour = static_cast<int>(ms / 3600000);
  Minute = static_cast<int>(ms / 60000 % 60);
  Second = static_cast<int>(ms / 1000 % 60);
  Millisecond = static_cast<int>(ms % 1000);
}

TDateTime Now() {
  long millis;
  std::tm tm = LocalNow(millis);
  return EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         EncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec, static_cast<int>(millis));
}

TDateTime Today() { return std::floor(Now()); }

int CurrentYear() {
  long millis;
  return LocalNow(millis).tm_year + 1900;
}

int ExpandTwoDigitYear(int Year, int ACurrentYear) {
  if (Year >= 100) return Year;
  const int century = ACurrentYear / 100 * 100;
  return Year > TwoDigitYearCenturyWindow ? century - 100 + Year : century + Year;
}

std::string DateTimeToStr(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  char buf[128];
  size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
  return std::string(buf, n);
}
