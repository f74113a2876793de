// The delay table, the due time of the next try, the operator's progress
// text, and when the next log line falls due during a wait.
#include "reconnect/ReconnectSchedule.h"

#include <cmath>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"

int64_t TReconnectSchedule::DelayBeforeTryMs(int n) {
  if (n < 1) n = 1;
  if (n > 5) return kLongestDelayMs;
  return int64_t(1000) << (n - 1);
}

void TReconnectSchedule::Start(int64_t nowMs, double lostAt) {
  active_ = true;
  tries_ = 0;
  lostAt_ = lostAt;
  nextTryMs_ = nowMs + DelayBeforeTryMs(1);
}

int64_t TReconnectSchedule::MsUntilDue(int64_t nowMs) const {
  return nowMs >= nextTryMs_ ? 0 : nextTryMs_ - nowMs;
}

void TReconnectSchedule::TryFailed(int64_t nowMs) {
  nextTryMs_ = nowMs + DelayBeforeTryMs(tries_ + 1);
}

std::string ReconnectProgressText(double lostAt, int tries) {
  const TFormatSettings& fs = FormatSettings();
  std::string text = "Line lost at " + FormatDateTime(fs.LongTimeFormat, lostAt, fs);
  if (tries > 0) text += ", try " + std::to_string(tries);
  return text;
}

int64_t MsUntilLogLineDue(double lastLogTime, double intervalSeconds, double now) {
  // The loop's own test is (now - last) * 86400 > interval; one millisecond
  // past the boundary makes it hold whatever the rounding of the fractions.
  const double dueAt = lastLogTime + intervalSeconds / 86400.0;
  const double ms = (dueAt - now) * MSecsPerDay;
  if (!(ms > -1.0)) return 0;
  return int64_t(std::floor(ms)) + 1;
}
