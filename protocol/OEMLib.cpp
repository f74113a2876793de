// Framing, reply parsing and device commands of TDeviceParam, and the bus
// object's exchanges with their fixed pauses, the scan and channel mapping.
#include "protocol/OEMLib.h"

#include <cstdio>

#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "common/QxNumber.h"
#include "protocol/StrMan.h"

namespace {

const char CR = '\r';
const std::string CRLF = "\r\n";
const std::string LF = "\n";

// Pauses and polling of one exchange, in milliseconds and reads.
// A device needs this long before its reply to a query begins.
constexpr int kQueryAnswerMs = 50;
// A device stores a setting before it acknowledges; this covers the store.
constexpr int kSettingAnswerMs = 400;
// A little more after each of those, so the wait always spans at least one
// more tick of the system timer. Slept together with it: every wake of a
// sleeping thread costs tens of microseconds of processor time on a
// virtual machine, as much as the rest of a reading's exchange.
constexpr int kTimerTickMs = 2;
// Between two reads of the port while a reply is being collected.
constexpr int kPollPauseMs = 1;
// Empty reads after the last byte before a query gives up: a missing
// device costs only about 80 ms of the scan.
constexpr int kQueryIdleReads = 80;
// The same for a setting, which is worth waiting for much longer (over a
// minute) than a scan probe.
constexpr int kSettingIdleReads = 80000;
// A query reply is the payload line and the acknowledgement line; a setting
// reply the acknowledgement alone.
constexpr int kQueryReplyLines = 2;
constexpr int kSettingReplyLines = 1;

// A hexadecimal number without sign or prefix, at most 32 bits, read as a
// 32-bit register: FFFFFFFF is -1.
bool TryHexToInt(const std::string& text, int32_t& value) {
  TIntSyntax syntax;
  syntax.Base = 16;
  TIntText t;
  if (!ScanInt(text, syntax, t)) return false;
  value = static_cast<int32_t>(static_cast<uint32_t>(t.Magnitude));
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
  return GetIdentityText(ocDeviceName);
}
std::string TDeviceParam::GetSerialNumber() {
  return GetIdentityText(ocSerialNumber);
}
std::string TDeviceParam::GetFirmwareRevision() {
  return GetIdentityText(ocFirmwareRevision);
}

uint8_t TDeviceParam::GetChannelCount() {
  if (!channelCountKnown_) {
    std::string payload = StringManager().NormalizeSpaces(SendQuery(Address, ocChannelCount));
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
  std::string payload = StringManager().NormalizeSpaces(SendQuery(Address, ocScale));
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
  std::string payload = SendChannelQuery(Address, ocSample, SubChannel);
  std::string validity = FirstToken(payload);
  bool valid = false;
  int v;
  sampleReadable_ = false;
  if (!TryStrToInt(validity, v)) {
    raw = ErrorReading;
    return false;
  }
  valid = v != 0;
  if (!TryStrToInt(payload, v)) {
    raw = ErrorReading;
    return valid;
  }
  sampleReadable_ = true;
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
  std::string payload = SendChannelQuery(Address, ocCalibrationOffset, SubChannel);
  int32_t v;
  return TryHex16(FirstToken(payload), v) ? v : 0;
}

void TDeviceParam::SendOffsetCorrection(int16_t value) {
  SendSetting(Address, ocCalibrationOffset, std::to_string(SubChannel) + " " + Hex4(value));
}

void TDeviceParam::GetAnalogLimits(int& first, int& second) {
  std::string payload = SendQuery(Address, ocAnalogLimits);
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
  SendSetting(Address, ocAnalogLimits, " " + Hex4(first) + " " + Hex4(second));
}

int TDeviceParam::GetCalibrationNumber() {
  std::string payload = SendQuery(Address, ocCalibrationNumber);
  int v;
  return TryStrToInt(FirstToken(payload), v) ? v : 0;
}

void TDeviceParam::SetCalibrationNumber(int n) {
  SendSetting(Address, ocCalibrationNumber, std::to_string(n));
}

int TDeviceParam::GetAveraging() {
  int v;
  return TryStrToInt(SendQuery(Address, ocAveraging), v) ? v : -1;
}

void TDeviceParam::SetAveraging(int n) {
  SendSetting(Address, ocAveraging, " " + std::to_string(n));
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
    Clock().Sleep(kPollPauseMs);
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
      Clock().Sleep(kQueryAnswerMs + kTimerTickMs);
      collected.clear();
      Collect(collected, kQueryReplyLines, kQueryIdleReads, false);
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
  Clock().Sleep(kSettingAnswerMs + kTimerTickMs);
  Collect(collected, kSettingReplyLines, kSettingIdleReads, true);
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
