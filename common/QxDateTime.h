#pragma once
// Date-time values are doubles counting days since 1899-12-30 in local time;
// the fraction is the time of day. These helpers are the only place that
// converts between that form and calendar fields or the system clock.
#include <cstdint>

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

constexpr double MSecsPerDay = 86400000.0;

// Calendar fields to a date-time. Out-of-range fields are not checked beyond
// what the arithmetic does (month 1..12 and day 1..31 expected).
double EncodeDate(int year, int month, int day);
double EncodeTime(int hour, int minute, int second, int msec);
double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);

// A date-time back to fields. The time of day is rounded to the nearest
// millisecond first (so 23:59:59.9996 becomes the next day 00:00:00.000).
// Non-finite or absurd values give 1899-12-30 00:00:00.000.
TDateTimeParts DecodeDateTime(double dt);

// Current local time from the operating system, with milliseconds.
double SystemNow();

// Unix time (seconds, UTC) to local date-time and back; used by the clock and
// by tools that timestamp files.
double UnixToLocalDateTime(int64_t unixMs);
