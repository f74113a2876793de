// The text forms of the port settings and the port-name to device mapping.
// Every text reads as a value of its kind; every value survives a round trip.
#include <cstdint>
#include <string>

#include "serial/CPort.h"
#include "serial/CPortDevice.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

template <class E, class ToText, class FromText>
void RoundTrip(const std::string& s, int count, ToText toText, FromText fromText) {
  const E v = fromText(s);
  Check(static_cast<int>(v) >= 0 && static_cast<int>(v) < count);
  Check(fromText(toText(v)) == v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  RoundTrip<TBaudRate>(s, 16, BaudRateToText, TextToBaudRate);
  RoundTrip<TStopBits>(s, 3, StopBitsToText, TextToStopBits);
  RoundTrip<TDataBits>(s, 4, DataBitsToText, TextToDataBits);
  RoundTrip<TParityBits>(s, 5, ParityToText, TextToParity);
  RoundTrip<TFlowControl>(s, 4, FlowControlToText, TextToFlowControl);
  RoundTrip<TDTRFlowControl>(s, 3, DTRToText, TextToDTR);
  RoundTrip<TRTSFlowControl>(s, 4, RTSToText, TextToRTS);
  Check(TextToBool(BoolToText(TextToBool(s))) == TextToBool(s));

  const char c = TextToChar(s);
  Check(TextToChar(CharToText(c)) == c);
  if (!s.empty()) Check(TextToChar(CharToText(s[0])) == s[0]);

  // An integer reads back as itself; anything else gives the default.
  const int v = TextToIntDef(s, 12345);
  if (v != 12345) Check(TextToIntDef(std::to_string(v), 0) == v);
  if (size >= 4) {
    const int32_t raw = static_cast<int32_t>(
        static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
    Check(TextToIntDef(std::to_string(raw), 0) == raw);
  }

  const std::string path = PortDevicePath(s);
  Check(!path.empty());
  if (s.find('/') == std::string::npos) Check(path.compare(0, 5, "/dev/") == 0);
  return 0;
}
