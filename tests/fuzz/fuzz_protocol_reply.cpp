// Every reply parse of the device object, fed one raw reply through a fake
// transfer: the framing (payload, acknowledgement) and each command's payload.
// Input: address byte, sub-channel byte, then the raw reply text.
#include <cmath>
#include <cstdint>
#include <string>

#include "protocol/OEMLib.h"

namespace {

struct TReply {
  std::string Raw;
  int Calls = 0;
};

std::string Transfer(void* context, const std::string& frame) {
  auto* r = static_cast<TReply*>(context);
  ++r->Calls;
  // Every frame the device object builds is one line ending in CR.
  if (frame.empty() || frame.back() != '\r' || frame.find('\n') != std::string::npos)
    __builtin_trap();
  return r->Raw;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TReply reply;
  reply.Raw.assign(reinterpret_cast<const char*>(data + 2), size - 2);

  TDeviceParam d;
  d.Address = data[0];
  d.SetQueryTransfer(&Transfer, &reply);
  d.SetSettingTransfer(&Transfer, &reply);
  int reports = 0;
  d.OnReportError = [&reports](const std::string&) { ++reports; };

  // Framing: the payload never holds a line end and never keeps outer blanks.
  const std::string payload = d.SendQuery(d.Address, 0x40);
  Check(payload.find_first_of("\r\n") == std::string::npos);
  Check(payload.empty() || (static_cast<unsigned char>(payload.front()) > 32 &&
                            static_cast<unsigned char>(payload.back()) > 32));
  d.SendChannelQuery(d.Address, 0x01, data[1]);
  const bool acked = d.SendSetting(d.Address, 0x76, "3");
  Check(acked == (reply.Raw == AddressPrefix(d.Address) + "*00\r\n"));

  // Identity texts either convert or raise the conversion error, nothing else.
  try {
    d.GetDeviceName();
    d.GetSerialNumber();
    d.GetFirmwareRevision();
  } catch (const EConvertError&) {
  }

  const uint8_t count = d.GetChannelCount();
  Check(d.LastValues.size() == count);
  const int callsBefore = reply.Calls;
  Check(d.GetChannelCount() == count);  // cached
  const double scale = d.GetScale();
  Check(scale >= 1.0 && std::isfinite(scale));
  Check(d.GetScale() == scale && reply.Calls == callsBefore + 1);

  // Samples on every sub-channel the device has, and one beyond.
  for (int sub = 1; sub <= count + 1 && sub <= 255; ++sub) {
    d.SelectSubChannel(static_cast<uint8_t>(sub));
    int32_t raw = 0;
    const bool valid = d.ReadSample(raw);
    (void)valid;
    if (sub <= count) Check(raw == TDeviceParam::ErrorReading || d.LastValue() == raw);
    const int offset = d.GetCalibrationOffset();
    Check(offset >= -32767 && offset <= 32768);
    d.SendOffsetCorrection(static_cast<int16_t>(-offset));
  }
  d.SelectSubChannel(data[1]);
  int32_t raw = 0;
  d.ReadSample(raw);
  d.LastValue();

  int first = 1, second = 1;
  d.GetAnalogLimits(first, second);
  Check(first >= -32767 && first <= 32768 && second >= -32767 && second <= 32768);
  d.SetAnalogLimits(static_cast<int16_t>(first), static_cast<int16_t>(second));
  d.SetCalibrationNumber(d.GetCalibrationNumber());
  d.SetAveraging(d.GetAveraging());
  return 0;
}
