#pragma once
// Decides when the serial line counts as lost: the port itself failed (hang-
// up, read or write error, the device file gone), or every channel of the bus
// failed in three passes in a row, which is what a bus behind a working
// adapter looks like when its cable is pulled or its power is off.
class TLineWatch {
 public:
  static constexpr int kFailedPassesForLoss = 3;

  // A new connection: nothing failed yet.
  void Reset();
  // One channel's poll in the current pass; valid as the device marked it.
  void ChannelPolled(bool valid);
  // The pass over all channels is complete.
  void PassDone();
  void PortFailed() { portFailed_ = true; }

  bool Lost() const { return portFailed_ || failedPasses_ >= kFailedPassesForLoss; }
  int FailedPasses() const { return failedPasses_; }

 private:
  bool portFailed_ = false;
  int failedPasses_ = 0;
  bool anyPolled_ = false;
  bool anyValid_ = false;
};
