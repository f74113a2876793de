#pragma once
// The line settings the program gives its port (speed, buffers, write
// timeouts, window sync, line feed as event character), for the serial tests.
// Written here rather than taken from app/: the serial tests do not link app/.
#include "serial/CPort.h"

// Unlike the program, the receive-flag event is switched on, so that the
// tests see the event character arrive.
inline void ApplyProgramLineSettings(TComPort& p) {
  p.SetBaudRate(br57600);
  p.Buffer().SetInputSize(2048);
  p.Buffer().SetOutputSize(2048);
  p.Timeouts().SetWriteTotalMultiplier(-1);
  p.Timeouts().SetWriteTotalConstant(-1);
  p.SetSyncMethod(smWindowSync);
  p.SetEventChar('\n');
  p.SetEventsToRxFlagOnly();
}
