// The port settings in a profile file: one table names every key with its
// group and how it is read from and written to the port, so storing and
// loading cannot drift apart. The registry store does not exist here.
#include <stdexcept>

#include "serial/CPort.h"
#include "serial/CPortIni.h"

namespace {

using TPort = TCustomComPort;

struct TStoreKey {
  const char* Name;
  TStoredProp Group;
  std::string (*Read)(const TPort& p);
  void (*Write)(TPort& p, const std::string& text);
  // Stored and loaded only when this holds (nullptr: always).
  bool (*When)(const TPort& p) = nullptr;
  // Loaded when the file lacks the key (nullptr: the present value).
  const char* Default = nullptr;
};

bool IsCustomRate(const TPort& p) {
  return p.BaudRate() == brCustom;
}

std::string Num(int v) {
  return std::to_string(v);
}

// The order is the order of the lines in a new file and the order in which
// a load applies them (the flow-control preset before its single fields).
const TStoreKey kKeys[] = {
    {"Port", spBasic, [](const TPort& p) { return p.Port(); },
     [](TPort& p, const std::string& t) { p.SetPort(t); }},
    {"BaudRate", spBasic, [](const TPort& p) { return BaudRateToText(p.BaudRate()); },
     [](TPort& p, const std::string& t) { p.SetBaudRate(TextToBaudRate(t)); }},
    {"CustomBaudRate", spBasic, [](const TPort& p) { return Num(p.CustomBaudRate()); },
     [](TPort& p, const std::string& t) { p.SetCustomBaudRate(TextToIntDef(t, 9600)); },
     IsCustomRate, "9600"},
    {"StopBits", spBasic, [](const TPort& p) { return StopBitsToText(p.StopBits()); },
     [](TPort& p, const std::string& t) { p.SetStopBits(TextToStopBits(t)); }},
    {"DataBits", spBasic, [](const TPort& p) { return DataBitsToText(p.DataBits()); },
     [](TPort& p, const std::string& t) { p.SetDataBits(TextToDataBits(t)); }},
    {"Parity", spBasic, [](const TPort& p) { return ParityToText(p.Parity().Bits()); },
     [](TPort& p, const std::string& t) { p.Parity().SetBits(TextToParity(t)); }},
    {"FlowControl", spBasic,
     [](const TPort& p) { return FlowControlToText(p.FlowControl().FlowControl()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetFlowControl(TextToFlowControl(t)); }},

    {"EventChar", spOthers, [](const TPort& p) { return CharToText(p.EventChar()); },
     [](TPort& p, const std::string& t) { p.SetEventChar(TextToChar(t)); }},
    {"DiscardNull", spOthers, [](const TPort& p) { return BoolToText(p.DiscardNull()); },
     [](TPort& p, const std::string& t) { p.SetDiscardNull(TextToBool(t)); }},

    {"Parity.Check", spParity, [](const TPort& p) { return BoolToText(p.Parity().Check()); },
     [](TPort& p, const std::string& t) { p.Parity().SetCheck(TextToBool(t)); }},
    {"Parity.Replace", spParity, [](const TPort& p) { return BoolToText(p.Parity().Replace()); },
     [](TPort& p, const std::string& t) { p.Parity().SetReplace(TextToBool(t)); }},
    {"Parity.ReplaceChar", spParity,
     [](const TPort& p) { return CharToText(p.Parity().ReplaceChar()); },
     [](TPort& p, const std::string& t) { p.Parity().SetReplaceChar(TextToChar(t)); }},

    {"Buffer.OutputSize", spBuffer, [](const TPort& p) { return Num(p.Buffer().OutputSize()); },
     [](TPort& p, const std::string& t) {
       p.Buffer().SetOutputSize(TextToIntDef(t, p.Buffer().OutputSize()));
     }},
    {"Buffer.InputSize", spBuffer, [](const TPort& p) { return Num(p.Buffer().InputSize()); },
     [](TPort& p, const std::string& t) {
       p.Buffer().SetInputSize(TextToIntDef(t, p.Buffer().InputSize()));
     }},

    {"Timeouts.ReadInterval", spTimeouts,
     [](const TPort& p) { return Num(p.Timeouts().ReadInterval()); },
     [](TPort& p, const std::string& t) {
       p.Timeouts().SetReadInterval(TextToIntDef(t, p.Timeouts().ReadInterval()));
     }},
    {"Timeouts.ReadTotalConstant", spTimeouts,
     [](const TPort& p) { return Num(p.Timeouts().ReadTotalConstant()); },
     [](TPort& p, const std::string& t) {
       p.Timeouts().SetReadTotalConstant(TextToIntDef(t, p.Timeouts().ReadTotalConstant()));
     }},
    {"Timeouts.ReadTotalMultiplier", spTimeouts,
     [](const TPort& p) { return Num(p.Timeouts().ReadTotalMultiplier()); },
     [](TPort& p, const std::string& t) {
       p.Timeouts().SetReadTotalMultiplier(TextToIntDef(t, p.Timeouts().ReadTotalMultiplier()));
     }},
    {"Timeouts.WriteTotalConstant", spTimeouts,
     [](const TPort& p) { return Num(p.Timeouts().WriteTotalConstant()); },
     [](TPort& p, const std::string& t) {
       p.Timeouts().SetWriteTotalConstant(TextToIntDef(t, p.Timeouts().WriteTotalConstant()));
     }},
    {"Timeouts.WriteTotalMultiplier", spTimeouts,
     [](const TPort& p) { return Num(p.Timeouts().WriteTotalMultiplier()); },
     [](TPort& p, const std::string& t) {
       p.Timeouts().SetWriteTotalMultiplier(TextToIntDef(t, p.Timeouts().WriteTotalMultiplier()));
     }},

    {"FlowControl.ControlRTS", spFlowControl,
     [](const TPort& p) { return RTSToText(p.FlowControl().ControlRTS()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetControlRTS(TextToRTS(t)); }},
    {"FlowControl.ControlDTR", spFlowControl,
     [](const TPort& p) { return DTRToText(p.FlowControl().ControlDTR()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetControlDTR(TextToDTR(t)); }},
    {"FlowControl.DSRSensitivity", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().DSRSensitivity()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetDSRSensitivity(TextToBool(t)); }},
    {"FlowControl.OutCTSFlow", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().OutCTSFlow()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetOutCTSFlow(TextToBool(t)); }},
    {"FlowControl.OutDSRFlow", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().OutDSRFlow()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetOutDSRFlow(TextToBool(t)); }},
    {"FlowControl.TxContinueOnXoff", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().TxContinueOnXoff()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetTxContinueOnXoff(TextToBool(t)); }},
    {"FlowControl.XonXoffIn", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().XonXoffIn()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetXonXoffIn(TextToBool(t)); }},
    {"FlowControl.XonXoffOut", spFlowControl,
     [](const TPort& p) { return BoolToText(p.FlowControl().XonXoffOut()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetXonXoffOut(TextToBool(t)); }},
    {"FlowControl.XoffChar", spFlowControl,
     [](const TPort& p) { return CharToText(p.FlowControl().XoffChar()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetXoffChar(TextToChar(t)); }},
    {"FlowControl.XonChar", spFlowControl,
     [](const TPort& p) { return CharToText(p.FlowControl().XonChar()); },
     [](TPort& p, const std::string& t) { p.FlowControl().SetXonChar(TextToChar(t)); }},
};

// The groups in the order their keys go to the file.
const TStoredProp kGroupOrder[] = {spBasic,  spOthers,   spParity,
                                   spBuffer, spTimeouts, spFlowControl};

template <class Fn>
void ForEachKey(const TPort& p, TStoredProps groups, Fn fn) {
  for (TStoredProp g : kGroupOrder) {
    if (!groups.Contains(g)) continue;
    for (const TStoreKey& k : kKeys)
      if (k.Group == g && (!k.When || k.When(p))) fn(k);
  }
}

}  // namespace

void TCustomComPort::SaveSettings(TSettingsStore store, const std::string& location) {
  try {
    if (store == ssIniFile)
      StoreIniFile(location);
    else
      StoreRegistry(location);
  } catch (...) {
    throw EComPort(CError_StoreFailed);
  }
}

void TCustomComPort::LoadSettings(TSettingsStore store, const std::string& location) {
  try {
    BeginUpdate();
    try {
      if (store == ssIniFile)
        LoadIniFile(location);
      else
        LoadRegistry(location);
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
  } catch (...) {
    throw EComPort(CError_LoadFailed);
  }
}

void TCustomComPort::StoreRegistry(const std::string&) {
  throw std::runtime_error("no registry store");
}

void TCustomComPort::LoadRegistry(const std::string&) {
  throw std::runtime_error("no registry store");
}

void TCustomComPort::StoreIniFile(const std::string& location) {
  const std::string path = ProfileFilePath(location);
  TIniFile ini;
  int err = 0;
  // An existing file we cannot read would lose its other sections.
  if (!ini.Load(path, &err)) throw std::runtime_error("cannot read " + path);
  ForEachKey(*this, storedGroups_,
             [&](const TStoreKey& k) { ini.WriteString(name_, k.Name, k.Read(*this)); });
  if (!ini.Save(path, &err)) throw std::runtime_error("cannot write " + path);
}

void TCustomComPort::LoadIniFile(const std::string& location) {
  TIniFile ini;
  // An unreadable file reads like a missing one: every key keeps its value.
  if (!ini.Load(ProfileFilePath(location))) ini.Parse("");
  ForEachKey(*this, storedGroups_, [&](const TStoreKey& k) {
    k.Write(*this, ini.ReadString(name_, k.Name, k.Default ? k.Default : k.Read(*this)));
  });
}
