#include "protocol/OEMLib.h"

#include <cstdio>

#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "protocol/StrMan.h"

namespace {

const char CR = '\r';
const std::string CRLF = "\r\n";
const std::string LF = "\n";

// A hexadecimal number without sign or prefix, at most 32 bits; wider
// values wrap into the signed range like any 32-bit register would.
bool TryHexToInt(const std::string& text, int32_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  value = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

// Offsets and limits travel as 16-bit two's complement; 0x8000 itself is
// kept positive.
int32_t Signed16(int32_t v) {
  return v > 0x8000 ? v - 0x10000 : v;
}

// A 16-bit field: a value wider than four hex digits is malformed, not a
// 16-bit number, and would otherwise turn into a correction far outside the
// device's range.
bool TryHex16(const std::string& text, int32_t& value) {
  int32_t v;
  if (!TryHexToInt(text, v) || static_cast<uint32_t>(v) > 0xFFFFu) return false;
  value = Signed16(v);
  return true;
}

std::string FirstToken(std::string& payload) {
  std::string token;
  StringManager().SplitToken(payload, " ", token, true);
  return token;
}

}  // namespace

std::string Hex2(uint8_t n) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(n));
  return buf;
}

std::string Hex4(int16_t n) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(static_cast<uint16_t>(n)));
  return buf;
}

std::string AddressPrefix(uint8_t address) {
  return address == 0 ? std::string() : "A" + Hex2(address) + " ";
}

// ---------------------------------------------------------------------------
// TDeviceParam: framing

std::string TDeviceParam::QueryParsed(const std::string& prefix, const std::string& command,
                                      const std::string& frame) {
  TStringManager& sm = StringManager();
  std::string raw = QueryTransfer(frame);
  std::string payload, token;
  // One leading CR or LF is a left-over of an earlier reply.
  sm.SplitAtChars(raw, CRLF, payload, true);
  std::string ack = sm.StripPrefix(raw, LF);
  if (ack != prefix + "*00" + CRLF)
    ReportError("Kommando nicht verstanden: " + ack + " ; " + command);
  // A wrong acknowledgement still leaves the payload usable.
  if (!prefix.empty()) sm.SplitToken(payload, " ", token, true);  // address token
  sm.SplitToken(payload, " ", token, true);                       // reply header
  payload = sm.StripPrefix(sm.StripPrefix(payload, LF), "#");
  return sm.NormalizeSpaces(payload);
}

std::string TDeviceParam::SendQuery(uint8_t address, uint8_t code) {
  const std::string prefix = AddressPrefix(address);
  const std::string command = prefix + "?" + Hex2(code);
  return QueryParsed(prefix, command, command + CR);
}

std::string TDeviceParam::SendChannelQuery(uint8_t address, uint8_t code, uint8_t subChannel) {
  const std::string prefix = AddressPrefix(address);
  const std::string command = prefix + "?" + Hex2(code) + " " + std::to_string(subChannel);
  return QueryParsed(prefix, command, command + CR);
}

bool TDeviceParam::SendSetting(uint8_t address, uint8_t code, const std::string& data) {
  const std::string prefix = AddressPrefix(address);
  std::string reply = SettingTransfer(prefix + ":" + Hex2(code) + " " + data + CR);
  if (reply == prefix + "*00" + CRLF) return true;
  ReportError("Daten nicht akzeptiert");
  return false;
}

void TDeviceParam::ReportError(const std::string& text) {
  if (OnReportError) OnReportError(text);
}

// ---------------------------------------------------------------------------
// TDeviceParam: device commands

std::string TDeviceParam::GetIdentityText(uint8_t code) {
  std::string payload = SendQuery(Address, code);
  std::string result;
  while (!payload.empty()) {
    std::string token = FirstToken(payload);
    int32_t v;
    if (!TryHexToInt(token, v))
      throw EConvertError("'" + token + "' is not a valid hexadecimal value");
    result += static_cast<char>(v & 0xFF);
  }
  return result;
}

std::string TDeviceParam::GetDeviceName() {
  return GetIdentityText(0x40);
}
std::string TDeviceParam::GetSerialNumber() {
  return GetIdentityText(0x41);
}
std::string TDeviceParam::GetFirmwareRevision() {
  return GetIdentityText(0x42);
}

uint8_t TDeviceParam::GetChannelCount() {
  if (!channelCountKnown_) {
    std::string payload = StringManager().NormalizeSpaces(SendQuery(Address, 0x0F));
    int n;
    ChannelCount = TryStrToInt(payload, n) ? n : 1;
  }
  channelCountKnown_ = true;
  // The bus numbers channels with the low byte only, so that is how many
  // readings are kept; a reply such as -1 or 70000 must not size the store.
  const uint8_t count = static_cast<uint8_t>(ChannelCount & 0xFF);
  LastValues.resize(count, 0);
  return count;
}

double TDeviceParam::GetScale() {
  if (scaleKnown_) return Scale;
  std::string payload = StringManager().NormalizeSpaces(SendQuery(Address, 0x45));
  int v;
  if (TryStrToInt(payload, v))
    Scale = v > 32768 ? static_cast<double>(v) - 65536.0 : static_cast<double>(v);
  else
    Scale = 10.0;
  if (Scale < 1.0) Scale = 10.0;
  scaleKnown_ = true;
  return Scale;
}

int32_t* TDeviceParam::LastValueSlot() {
  if (SubChannel < 1 || SubChannel > LastValues.size()) return nullptr;
  return &LastValues[SubChannel - 1];
}

bool TDeviceParam::ReadSample(int32_t& raw) {
  std::string payload = SendChannelQuery(Address, 0x01, SubChannel);
  std::string validity = FirstToken(payload);
  bool valid = false;
  int v;
  if (!TryStrToInt(validity, v)) {
    raw = ErrorReading;
    return false;
  }
  valid = v != 0;
  if (!TryStrToInt(payload, v)) {
    raw = ErrorReading;
    return valid;
  }
  raw = v;
  // A sub-channel beyond the stored count has no slot; the reading is
  // returned but not kept.
  if (int32_t* slot = LastValueSlot()) *slot = raw;
  return valid;
}

int32_t TDeviceParam::LastValue() const {
  if (SubChannel < 1 || SubChannel > LastValues.size()) return 0;
  return LastValues[SubChannel - 1];
}

int TDeviceParam::GetCalibrationOffset() {
  std::string payload = SendChannelQuery(Address, 0x75, SubChannel);
  int32_t v;
  return TryHex16(FirstToken(payload), v) ? v : 0;
}

void TDeviceParam::SendOffsetCorrection(int16_t value) {
  SendSetting(Address, 0x75, std::to_string(SubChannel) + " " + Hex4(value));
}

void TDeviceParam::GetAnalogLimits(int& first, int& second) {
  std::string payload = SendQuery(Address, 0x81);
  std::string head = FirstToken(payload);
  int32_t a, b;
  if (TryHex16(head, a) && TryHex16(StringManager().NormalizeSpaces(payload), b)) {
    first = a;
    second = b;
  } else {
    first = 0;
    second = 0;
  }
}

void TDeviceParam::SetAnalogLimits(int16_t first, int16_t second) {
  SendSetting(Address, 0x81, " " + Hex4(first) + " " + Hex4(second));
}

int TDeviceParam::GetCalibrationNumber() {
  std::string payload = SendQuery(Address, 0x76);
  int v;
  return TryStrToInt(FirstToken(payload), v) ? v : 0;
}

void TDeviceParam::SetCalibrationNumber(int n) {
  SendSetting(Address, 0x76, std::to_string(n));
}

int TDeviceParam::GetAveraging() {
  int v;
  return TryStrToInt(SendQuery(Address, 0x52), v) ? v : -1;
}

void TDeviceParam::SetAveraging(int n) {
  SendSetting(Address, 0x52, " " + std::to_string(n));
}

// ---------------------------------------------------------------------------
// TOEMData

void TOEMData::AttachPort(TOEMPort* port) {
  port_ = port;
  if (!port_) return;
  port_->SetEventChar('\n');
  port_->SetEventsToRxFlagOnly();
  port_->SetOnRxFlag([this] { PortLineEnd(); });
}

void TOEMData::PortLineEnd() {
  if (port_) port_->AbortPendingIo();
}

void TOEMData::Collect(std::string& collected, int lfWanted, int idleLimit, bool swallowErrors) {
  TStringManager& sm = StringManager();
  int idle = 0;
  int failures = 0;
  for (;;) {
    try {
      std::string chunk;
      int n = port_->ReadText(chunk, 100);
      collected += chunk;
      if (sm.CountChars(collected, LF) >= lfWanted) return;
      if (n > 0) idle = 0;
      failures = 0;
    } catch (const std::exception&) {
      if (!swallowErrors) throw;
      if (++failures > MaxPortRestarts) return;
    }
    ++idle;
    Clock().Sleep(1);
    if (idle > idleLimit || collected.size() >= MaxReplyBytes) return;
  }
}

std::string TOEMData::TransferQuery(const std::string& frame) {
  std::string collected;
  if (!port_) return collected;
  // A port failure restarts the exchange from the write; after a few the
  // transfer gives up with what it has.
  for (int restarts = 0;; ++restarts) {
    try {
      port_->WriteText(frame);
      Clock().Sleep(50);
      Clock().Sleep(2);
      collected.clear();
      Collect(collected, 2, 80, false);
      return collected;
    } catch (const std::exception&) {
      if (restarts >= MaxPortRestarts) return collected;
    }
  }
}

std::string TOEMData::TransferSetting(const std::string& frame) {
  std::string collected;
  if (!port_) throw std::runtime_error("No serial port attached");
  port_->WriteText(frame);  // a failed write is the caller's to handle
  Clock().Sleep(400);
  Clock().Sleep(2);
  Collect(collected, 1, 80000, true);
  return collected;
}

std::string TOEMData::QueryProc(void* context, const std::string& frame) {
  return static_cast<TOEMData*>(context)->TransferQuery(frame);
}

std::string TOEMData::SettingProc(void* context, const std::string& frame) {
  return static_cast<TOEMData*>(context)->TransferSetting(frame);
}

void TOEMData::ConnectTransfers(TDeviceParam& device) {
  device.SetQueryTransfer(&TOEMData::QueryProc, this);
  device.SetSettingTransfer(&TOEMData::SettingProc, this);
}

void TOEMData::ScanBus() {
  Devices.clear();
  ChannelTotal = 0;
  TDeviceParam probe;
  ConnectTransfers(probe);
  for (int address = 0; address < ScanAddressCount; ++address) {
    if (OnScanProgress) OnScanProgress(address);
    probe.Address = static_cast<uint8_t>(address);
    if (probe.GetDeviceName().empty()) continue;
    auto device = std::make_unique<TDeviceParam>();
    device->Address = static_cast<uint8_t>(address);
    ConnectTransfers(*device);
    Devices.push_back(std::move(device));
    ChannelTotal += Devices.back()->GetChannelCount();
  }
  if (OnScanProgress) OnScanProgress(ScanAddressCount);
}

TDeviceParam* TOEMData::ChannelDevice(int index) {
  if (index < 0 || index >= ChannelTotal) return nullptr;
  int sum = 0;
  for (auto& device : Devices) {
    const int count = static_cast<uint8_t>(device->ChannelCount & 0xFF);
    if (index < sum + count) {
      device->SelectSubChannel(static_cast<uint8_t>(index - sum + 1));
      return device.get();
    }
    sum += count;
  }
  return nullptr;
}
