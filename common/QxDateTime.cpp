// Calendar arithmetic on whole days, with no time zone involved; local time
// enters only where a Unix time or the system clock is converted.
#include "common/QxDateTime.h"

#include <time.h>

#include <cmath>

namespace {
// Days from 1970-01-01 for a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t UnixEpochDays = 25569;  // 1970-01-01 counted from 1899-12-30
constexpr int64_t MsPerDay = 86400000;
}  // namespace

double EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, month, day) + UnixEpochDays);
}

double EncodeTime(int hour, int minute, int second, int msec) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / MSecsPerDay;
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, msec);
}

TDateTimeParts DecodeDateTime(double dt) {
  TDateTimeParts p;
  // About +-8000 years; beyond that the fields mean nothing anyway.
  if (!std::isfinite(dt) || std::fabs(dt) > 2.9e6) return p;
  const int64_t ms = std::llround(dt * MSecsPerDay);
  int64_t days = ms / MsPerDay;
  int64_t rest = ms % MsPerDay;
  if (rest < 0) {
    rest += MsPerDay;
    --days;
  }
  CivilFromDays(days - UnixEpochDays, p.Year, p.Month, p.Day);
  p.MSec = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.Second = static_cast<int>(rest % 60);
  rest /= 60;
  p.Minute = static_cast<int>(rest % 60);
  p.Hour = static_cast<int>(rest / 60);
  return p;
}

double UnixToLocalDateTime(int64_t unixMs) {
  time_t secs = static_cast<time_t>(unixMs / 1000);
  int ms = static_cast<int>(unixMs % 1000);
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  tm local{};
  localtime_r(&secs, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, ms);
}

double SystemNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixToLocalDateTime(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}
