#pragma once
// The main window's port, backed by the in-process bus simulator, with the
// open and close failures a test can ask for.
#include "app/oem_main.h"
#include "sim/SimBus.h"

class TSimMainPort : public TMainPort {
 public:
  TSimBus Bus;
  bool IsOpen = false;
  bool OpenFails = false;
  int CloseFailures = 0;  // close attempts that fail; -1: every one
  int CloseCalls = 0;

  TOEMPort& Io() override { return Bus; }
  void Open() override;
  void Close() override;
  bool Connected() override { return IsOpen; }
  void ClearBuffers(bool, bool) override {}
};
