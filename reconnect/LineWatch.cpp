// Counting the passes without a single valid reading.
#include "reconnect/LineWatch.h"

void TLineWatch::Reset() {
  portFailed_ = false;
  failedPasses_ = 0;
  anyPolled_ = false;
  anyValid_ = false;
}

void TLineWatch::ChannelPolled(bool valid) {
  anyPolled_ = true;
  if (valid) anyValid_ = true;
}

void TLineWatch::PassDone() {
  // A pass cut short before any poll says nothing about the bus.
  if (anyPolled_) failedPasses_ = anyValid_ ? 0 : failedPasses_ + 1;
  anyPolled_ = false;
  anyValid_ = false;
}
