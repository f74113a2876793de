#pragma once
// Whether a channel's last reading may still be logged and shown as current.
// A device that stops answering keeps its last value in the bus object; that
// value must not go on being written as if it had been measured. A channel is
// stale
//  - in interval logging: when it has failed a poll since its last valid
//    reading and that reading is older than one log interval;
//  - in "Log every value" mode: after three failed polls in a row;
//  - in either mode: from a lost line until its next valid reading, since
//    nothing on the bus was read meanwhile.
// A channel that is polled successfully is never stale, however short the
// interval. Date-times are days, as everywhere in the program.
#include <cstddef>
#include <vector>

class TChannelFreshness {
 public:
  static constexpr int kFailedPollsForStale = 3;

  // A new connection with this many channels, all counted fresh from now.
  void Reset(int channels, double now);
  int Channels() const { return int(channels_.size()); }

  // One poll of channel ch: valid as the device marked the reading.
  void Polled(int ch, bool valid, double now);
  // The line was lost: every channel is stale until it reads again.
  void LineLost();

  bool Stale(int ch, double now, bool logEveryValue, double intervalSeconds) const;
  // Failed polls since the last valid one (counted up to three).
  int FailedInRow(int ch) const {
    return ch >= 0 && ch < Channels() ? channels_[size_t(ch)].FailedInRow : 0;
  }

 private:
  struct TChannel {
    double LastValid = 0.0;
    int FailedInRow = 0;
    bool Lost = false;
  };
  std::vector<TChannel> channels_;
};
