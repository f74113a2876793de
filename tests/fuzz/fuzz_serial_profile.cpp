// The profile-file reader and the port's LoadSettings on arbitrary file
// contents: whatever the file holds, the port ends with settings it can
// store, and storing then loading them again gives the same settings.
// Input: one byte selecting the stored groups, then the file contents.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "serial/CPort.h"
#include "serial/CPortIni.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string TempPath(const char* tag) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qx_fuzz_" + tag + "_" +
         std::to_string(::getpid()) + ".ini";
}

// Every setting the file can carry but the port name, as its stored text.
std::string Snapshot(TCustomComPort& p) {
  std::string r = BaudRateToText(p.BaudRate()) + "|" + std::to_string(p.CustomBaudRate()) + "|" +
                  StopBitsToText(p.StopBits()) + "|" + DataBitsToText(p.DataBits()) + "|" +
                  ParityToText(p.Parity().Bits()) + "|" +
                  FlowControlToText(p.FlowControl().FlowControl()) + "|";
  r += CharToText(p.EventChar()) + BoolToText(p.DiscardNull()) + "|";
  r += BoolToText(p.Parity().Check()) + BoolToText(p.Parity().Replace()) +
       CharToText(p.Parity().ReplaceChar()) + "|";
  r += std::to_string(p.Buffer().InputSize()) + "," + std::to_string(p.Buffer().OutputSize()) + "|";
  const TComTimeouts& t = p.Timeouts();
  r += std::to_string(t.ReadInterval()) + "," + std::to_string(t.ReadTotalMultiplier()) + "," +
       std::to_string(t.ReadTotalConstant()) + "," + std::to_string(t.WriteTotalMultiplier()) +
       "," + std::to_string(t.WriteTotalConstant()) + "|";
  const TComFlowControl& f = p.FlowControl();
  r += std::to_string(f.OutCTSFlow()) + std::to_string(f.OutDSRFlow()) +
       std::to_string(f.ControlDTR()) + std::to_string(f.ControlRTS()) +
       std::to_string(f.XonXoffOut()) + std::to_string(f.XonXoffIn()) +
       std::to_string(f.DSRSensitivity()) + std::to_string(f.TxContinueOnXoff()) +
       CharToText(f.XonChar()) + CharToText(f.XoffChar());
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string content(reinterpret_cast<const char*>(data + 1), size - 1);

  // The reader alone: reading what it writes gives the value back, and the
  // lines it did not touch stay.
  TIniFile ini;
  ini.Parse(content);
  const std::string before = ini.ReadString("ComPort1", "Port", "COM1");
  Check(before.find_first_of("\r\n") == std::string::npos);
  TIniFile again;
  again.Parse(ini.Text());
  Check(again.ReadString("ComPort1", "Port", "COM1") == before);
  ini.WriteString("ComPort1", "BaudRate", "57600");
  Check(ini.ReadString("ComPort1", "BaudRate", "") == "57600");
  Check(ini.ReadString("comport1", "PORT", "COM1") == before);

  // LoadSettings from the file, then a store and a load into a fresh port.
  const std::string in = TempPath("in"), out = TempPath("out");
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f << content;
  }
  const TStoredProps groups = TStoredProps::FromBits(data[0] & 0x3F);
  TComPort a;
  a.SetName("ComPort1");
  a.SetStoredGroups(groups);
  try {
    a.LoadSettings(ssIniFile, in);
  } catch (const EComPort&) {
    Check(false);  // a readable file never fails to load
  }
  std::remove(out.c_str());
  a.SaveSettings(ssIniFile, out);
  TComPort b;
  b.SetName("ComPort1");
  b.SetStoredGroups(groups);
  b.LoadSettings(ssIniFile, out);
  // Groups left out keep their built-in values in both ports.
  Check(Snapshot(a) == Snapshot(b));
  // A port name is kept on its line, so control characters turn into blanks,
  // and outer blanks and quotes are not kept; any other name comes back as it
  // was.
  const std::string& port = a.Port();
  bool plain = port.empty() || (port.front() != ' ' && port.back() != ' ' && port.front() != '"' &&
                                port.front() != '\'');
  for (char c : port) plain = plain && static_cast<unsigned char>(c) >= 32;
  if (plain) Check(a.Port() == b.Port());
  std::remove(in.c_str());
  std::remove(out.c_str());
  return 0;
}
