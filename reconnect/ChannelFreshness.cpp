// Per channel: the time of the last valid reading, the failed polls since,
// and whether the line was lost meanwhile.
#include "reconnect/ChannelFreshness.h"

#include <cstddef>

void TChannelFreshness::Reset(int channels, double now) {
  channels_.assign(size_t(channels > 0 ? channels : 0), TChannel{now, 0, false});
}

void TChannelFreshness::Polled(int ch, bool valid, double now) {
  if (ch < 0 || ch >= Channels()) return;
  TChannel& c = channels_[size_t(ch)];
  if (valid) {
    c = TChannel{now, 0, false};
  } else if (c.FailedInRow < kFailedPollsForStale) {
    ++c.FailedInRow;  // only "none", "some" and "enough" matter
  }
}

void TChannelFreshness::LineLost() {
  for (TChannel& c : channels_) c.Lost = true;
}

bool TChannelFreshness::Stale(int ch, double now, bool logEveryValue,
                              double intervalSeconds) const {
  if (ch < 0 || ch >= Channels()) return false;
  const TChannel& c = channels_[size_t(ch)];
  if (c.Lost) return true;
  if (logEveryValue) return c.FailedInRow >= kFailedPollsForStale;
  return c.FailedInRow > 0 && (now - c.LastValid) * 86400.0 > intervalSeconds;
}
