// One simulated device: its command table, values that follow their curves,
// and the misbehaviour options that reshape its answers.
#include "sim/SimDevice.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "common/QxNumber.h"

namespace {

const double Pi = 3.14159265358979323846;

// The simulator's own list of what a device understands, written apart from
// the program's, so that a mistake in either shows up in the tests.
enum : long {
  kReading = 0x01,
  kChannels = 0x0F,
  kName = 0x40,
  kSerial = 0x41,
  kFirmware = 0x42,
  kScale = 0x45,
  kAveraging = 0x52,
  kOffset = 0x75,
  kCalibration = 0x76,
  kAnalog = 0x81
};

// Digits of the base only: no sign, blanks or prefix, as on the line.
bool ParseInt(const std::string& s, int base, long& v) {
  TIntSyntax syntax;
  syntax.Base = base;
  syntax.MaxDigits = 9;
  syntax.MaxMagnitude = UINT64_MAX;
  TIntText t;
  if (!ScanInt(s, syntax, t)) return false;
  v = static_cast<long>(t.Magnitude);
  return true;
}

// "A B" style data: split at single spaces, ignoring empty pieces.
std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == ' ') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

std::string SimHexBytes(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (!out.empty()) out += ' ';
    out += Hex2(c);
  }
  return out;
}

TSimDevice::TSimDevice(uint8_t address, int channels, int scale, const std::string& name)
    : Address(address), Scale(scale), rng_(0x9E3779B97F4A7C15ull ^ (address * 7919u + 1)) {
  Name = name.empty() ? "QTM-" + std::to_string(channels) : name;
  char serial[16];
  std::snprintf(serial, sizeof serial, "QX%06u", 104000u + address * 137u);
  SerialNumber = serial;
  Firmware = "2.07";
  if (channels < 0) channels = 0;
  Channels.resize(static_cast<size_t>(channels));
  // Room temperature that drifts slowly, different per channel.
  for (int i = 0; i < channels; ++i)
    Channels[i].Curve = TSimCurve::Sine(21.5 + 1.5 * ((address + i) % 5), 1.5 + 0.5 * (i % 3),
                                        300.0 + 120.0 * i + 30.0 * address);
}

std::string TSimDevice::Prefix() const {
  return Address == 0 ? std::string() : "A" + Hex2(Address) + " ";
}

double TSimDevice::NextRandom() {
  // xorshift64*: deterministic per device, good enough for noise.
  rng_ ^= rng_ >> 12;
  rng_ ^= rng_ << 25;
  rng_ ^= rng_ >> 27;
  return static_cast<double>((rng_ * 2685821657736338717ull) >> 11) / 9007199254740992.0;
}

int32_t TSimDevice::RawReading(int ch, double timeS) {
  const TSimChannel& c = Channels.at(static_cast<size_t>(ch - 1));
  const TSimCurve& k = c.Curve;
  double t = 0;
  switch (k.Kind) {
    case TSimCurve::ckConstant:
      t = k.A;
      break;
    case TSimCurve::ckRamp: {
      const double period = k.PeriodS > 0 ? k.PeriodS : 1.0;
      const double phase = std::fmod(timeS, period) / period;
      t = k.A + (k.B - k.A) * phase;
      break;
    }
    case TSimCurve::ckSine:
      t = k.A + k.B * std::sin(2 * Pi * timeS / (k.PeriodS > 0 ? k.PeriodS : 1.0));
      break;
    case TSimCurve::ckNoise: {
      // The device averages its frames, which calms the noise.
      const int n = Averaging < 1 ? 1 : Averaging;
      double sum = 0;
      for (int i = 0; i < n; ++i) sum += NextRandom() * 2 - 1;
      t = k.A + k.B * sum / n;
      break;
    }
  }
  const double raw = std::round(t * Scale) + c.Offset;
  if (raw > 2147483647.0) return 2147483647;
  if (raw < -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(raw);
}

// Carries out one command; returns the acknowledgement code. Queries also
// fill payload.
std::string TSimDevice::Execute(const std::string& body, double timeS, std::string& payload,
                                bool& isQuery) {
  isQuery = !body.empty() && body[0] == '?';
  long code;
  if (body.size() < 3 || (body[0] != '?' && body[0] != ':') ||
      !ParseInt(body.substr(1, 2), 16, code))
    return "01";
  const std::string rest = body.substr(3);
  if (!rest.empty() && rest[0] != ' ') return "01";
  const std::vector<std::string> args = Words(rest);
  if (isQuery) {
    ++Queries;
    return Query(code, args, timeS, payload);
  }
  const std::string ack = Setting(code, args);
  if (ack == "00") ++Settings;
  return ack;
}

bool TSimDevice::ChannelArg(const std::vector<std::string>& args, long& ch) const {
  return !args.empty() && ParseInt(args[0], 10, ch) && ch >= 1 &&
         ch <= static_cast<long>(Channels.size());
}

std::string TSimDevice::Query(long code, const std::vector<std::string>& args, double timeS,
                              std::string& payload) {
  long ch = 0;
  switch (code) {
    case kName:
      payload = "#" + SimHexBytes(Name);
      return "00";
    case kSerial:
      payload = "#" + SimHexBytes(SerialNumber);
      return "00";
    case kFirmware:
      payload = "#" + SimHexBytes(Firmware);
      return "00";
    case kChannels:
      payload = std::to_string(Channels.size());
      return "00";
    case kScale:
      payload = std::to_string(Scale);
      return "00";
    case kReading:
      if (!ChannelArg(args, ch)) return "03";
      payload = std::string(Channels[ch - 1].Valid ? "1" : "0") + " " +
                std::to_string(RawReading(static_cast<int>(ch), timeS));
      return "00";
    case kOffset:
      if (!ChannelArg(args, ch)) return "03";
      payload = "#" + Hex4(Channels[ch - 1].Offset);
      return "00";
    case kAnalog:
      payload = "#" + Hex4(AnalogMin) + " " + Hex4(AnalogMax);
      return "00";
    case kCalibration:
      payload = std::to_string(CalibrationNumber);
      return "00";
    case kAveraging:
      payload = std::to_string(Averaging);
      return "00";
    default:
      return "01";
  }
}

std::string TSimDevice::Setting(long code, const std::vector<std::string>& args) {
  long ch = 0;
  long a = 0, b = 0;
  switch (code) {
    case kOffset:
      if (!ChannelArg(args, ch)) return "03";
      if (args.size() != 2 || args[1].size() != 4 || !ParseInt(args[1], 16, a)) return "02";
      // A correction is added to the stored offset, in 16-bit arithmetic.
      Channels[ch - 1].Offset =
          static_cast<int16_t>(static_cast<uint16_t>(Channels[ch - 1].Offset + a));
      break;
    case kAnalog:
      if (args.size() != 2 || args[0].size() != 4 || args[1].size() != 4 ||
          !ParseInt(args[0], 16, a) || !ParseInt(args[1], 16, b))
        return "02";
      AnalogMin = static_cast<int16_t>(static_cast<uint16_t>(a));
      AnalogMax = static_cast<int16_t>(static_cast<uint16_t>(b));
      break;
    case kCalibration:
      if (args.size() != 1 || !ParseInt(args[0], 10, a) || (a != 1 && a != 2)) return "02";
      CalibrationNumber = static_cast<int>(a);
      break;
    case kAveraging:
      if (args.size() != 1 || !ParseInt(args[0], 10, a) || a < 1 || a > 20) return "02";
      Averaging = static_cast<int>(a);
      break;
    default:
      return "01";
  }
  return "00";
}

std::vector<TSimChunk> TSimDevice::Answer(const std::string& body, double timeS) {
  std::vector<TSimChunk> out;
  if (Faults.Silent) return out;
  std::string payload;
  bool isQuery = false;
  const std::string ack = Execute(body, timeS, payload, isQuery);
  const std::string p = Prefix();

  std::string text;
  if (Faults.GarbageBytes > 0) {
    text.reserve(static_cast<size_t>(Faults.GarbageBytes));
    for (int i = 0; i < Faults.GarbageBytes; ++i) {
      char c = static_cast<char>(static_cast<int>(NextRandom() * 256) & 0xFF);
      text += c == '\n' ? '\x8A' : c;
    }
  } else {
    if (isQuery && ack == "00") {
      if (Faults.NonHex) payload = "zz 4G";
      char header[8];
      std::snprintf(header, sizeof header, "=%s", body.substr(1, 2).c_str());
      text = p + header + " " + payload + "\r\n";
    }
    if (!Faults.NoAck) text += p + "*" + (Faults.WrongAck && ack == "00" ? "01" : ack) + "\r\n";
  }
  if (Faults.LeadingLf) text = "\n" + text;
  if (text.empty()) return out;

  const int64_t at = Faults.DelayMs;
  if (Faults.SplitChunk > 0) {
    const size_t n = static_cast<size_t>(Faults.SplitChunk);
    for (size_t i = 0, k = 0; i < text.size(); i += n, ++k)
      out.push_back({at + 10 * static_cast<int64_t>(k), text.substr(i, n)});
  } else {
    out.push_back({at, text});
  }
  return out;
}
