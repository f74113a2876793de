// Rates and event bits of the setting enumerations, the exception's texts,
// and the display of errors that no handler caught.
#include "serial/CPortTypes.h"

#include <cstdio>

int BaudRateValue(TBaudRate br) {
  static const int rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                              14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return (br >= brCustom && br <= br256000) ? rates[br] : 0;
}

uint32_t EventToMask(TComEvent ev) {
  static const uint32_t masks[] = {0x0001, 0x0004, 0x0002, 0x0100, 0x0040,
                                   0x0008, 0x0010, 0x0080, 0x0020, 0x0400};
  return (ev >= evRxChar && ev <= evRx80Full) ? masks[ev] : 0;
}

std::string EComPort::CodeText(int code) {
  static const char* const texts[] = {"Unable to open com port",
                                      "WriteFile function failed",
                                      "ReadFile function failed",
                                      "Invalid Async parameter",
                                      "PurgeComm function failed",
                                      "Unable to get async status",
                                      "SetCommState function failed",
                                      "SetCommTimeouts failed",
                                      "SetupComm function failed",
                                      "ClearCommError function failed",
                                      "GetCommModemStatus function failed",
                                      "EscapeCommFunction function failed",
                                      "TransmitCommChar function failed",
                                      "Cannot set SyncMethod while connected",
                                      "EnumPorts function failed",
                                      "Failed to store settings",
                                      "Failed to load settings",
                                      "Link (un)registration failed",
                                      "Cannot change led state if ComPort is selected",
                                      "Cannot wait for event if event thread is created",
                                      "WaitForEvent method failed",
                                      "A component is linked to OnRxBuf event"};
  return (code >= 1 && code <= 22) ? texts[code - 1] : "";
}

namespace {
std::string ComPortMessage(int code, int systemError, const std::string& detail) {
  std::string m = EComPort::CodeText(code);
  if (!detail.empty()) m += " " + detail;
  if (systemError != -1) m += " (win error code: " + std::to_string(systemError) + ")";
  return m;
}

std::function<void(const std::exception&)>& ErrorHandler() {
  static std::function<void(const std::exception&)> h;
  return h;
}
}  // namespace

EComPort::EComPort(int code, int systemError, const std::string& detail)
    : std::runtime_error(ComPortMessage(code, systemError, detail)),
      errorCode_(code),
      systemErrorCode_(systemError) {}

void SetApplicationErrorHandler(std::function<void(const std::exception&)> handler) {
  ErrorHandler() = std::move(handler);
}

void ApplicationShowException(const std::exception& e) {
  if (ErrorHandler())
    ErrorHandler()(e);
  else
    std::fprintf(stderr, "%s\n", e.what());
}
