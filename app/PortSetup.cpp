// The port's start-up settings, shared by the desktop program and the station.
#include "app/PortSetup.h"

#include <exception>

#include "serial/CPort.h"

void ApplyBuiltInPortSettings(TComPort& port) {
  port.SetName("ComPort1");
  port.SetBaudRate(br57600);
  port.SetPort("COM1");
  port.Buffer().SetInputSize(2048);
  port.Buffer().SetOutputSize(2048);
  port.FlowControl().SetFlowControl(fcNone);
  port.FlowControl().SetControlDTR(dtrDisable);
  port.FlowControl().SetControlRTS(rtsDisable);
  port.Timeouts().SetWriteTotalMultiplier(-1);
  port.Timeouts().SetWriteTotalConstant(-1);
  port.SetEventChar('\n');
  port.Events = TComEvents{};
  port.SetSyncMethod(smWindowSync);
}

bool LoadPortSettings(TComPort& port, const std::string& iniPath, std::string* why) {
  try {
    port.LoadSettings(ssIniFile, iniPath);
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
  return true;
}
