// The failures use the texts the real port gives, so the messages a test
// sees are the ones a user would.
#include "tests/support/sim_main_port.h"

#include <stdexcept>

void TSimMainPort::Open() {
  if (IsOpen) return;
  if (OpenFails) throw std::runtime_error("Unable to open com port");
  IsOpen = true;
  if (OnAfterOpen) OnAfterOpen();
}

void TSimMainPort::Close() {
  ++CloseCalls;
  if (!IsOpen) return;
  if (CloseFailures != 0) {
    if (CloseFailures > 0) --CloseFailures;
    throw std::runtime_error("PurgeComm function failed");
  }
  IsOpen = false;
  if (OnAfterClose) OnAfterClose();
}
