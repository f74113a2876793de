#pragma once
// One emulated measuring device: identity texts, channels with value curves,
// scale, calibration offsets, analog limits, calibration table, averaging,
// and faults that tests switch on and off while it runs.
#include <cstdint>
#include <string>
#include <vector>

// Temperature in degrees Celsius over time (seconds since the bus started).
struct TSimCurve {
  enum TKind { ckConstant, ckRamp, ckSine, ckNoise };
  TKind Kind = ckConstant;
  double A = 20.0;        // constant: value; ramp: from; sine/noise: centre
  double B = 0.0;         // ramp: to; sine/noise: amplitude
  double PeriodS = 60.0;  // ramp and sine

  static TSimCurve Constant(double v) { return {ckConstant, v, 0, 60}; }
  static TSimCurve Ramp(double from, double to, double periodS) {
    return {ckRamp, from, to, periodS};
  }
  static TSimCurve Sine(double centre, double amplitude, double periodS) {
    return {ckSine, centre, amplitude, periodS};
  }
  static TSimCurve Noise(double centre, double amplitude) {
    return {ckNoise, centre, amplitude, 60};
  }
};

// Misbehaviour on demand. Several may be on at once.
struct TSimFaults {
  bool Silent = false;     // no reply at all
  bool NoAck = false;      // payload line without acknowledgement; settings get nothing
  bool WrongAck = false;   // acknowledgement *01 instead of *00
  int GarbageBytes = 0;    // > 0: reply is that many random bytes without line feed
  bool NonHex = false;     // payload text that is neither hex nor decimal
  int SplitChunk = 0;      // > 0: reply arrives in chunks of this size, 10 ms apart
  int DelayMs = 0;         // extra delay before the reply
  bool LeadingLf = false;  // a stray line feed before the reply
  void Clear() { *this = TSimFaults(); }
};

struct TSimChannel {
  TSimCurve Curve;
  bool Valid = true;
  int16_t Offset = 0;  // device units, added to every reading
};

// A piece of reply text and when it appears, relative to the end of the frame.
struct TSimChunk {
  int64_t AtMs;
  std::string Text;
};

class TSimDevice {
 public:
  TSimDevice(uint8_t address, int channels, int scale, const std::string& name = "");

  uint8_t Address;
  std::string Name, SerialNumber, Firmware;
  int Scale;  // reported as is, device units per degree
  std::vector<TSimChannel> Channels;
  int16_t AnalogMin = 0, AnalogMax = 1000;
  int CalibrationNumber = 1;
  int Averaging = 1;
  TSimFaults Faults;
  // Commands answered, settings accepted.
  int Queries = 0, Settings = 0;

  // Answer one frame addressed to this device (address prefix and CR already
  // removed). timeS is the bus time for the value curves.
  std::vector<TSimChunk> Answer(const std::string& body, double timeS);

  // The raw reading the device would report now for channel ch (1-based).
  int32_t RawReading(int ch, double timeS);

 private:
  std::string Prefix() const;
  std::string Execute(const std::string& body, double timeS, std::string& payload, bool& isQuery);
  std::string Query(long code, const std::vector<std::string>& args, double timeS,
                    std::string& payload);
  std::string Setting(long code, const std::vector<std::string>& args);
  // The first argument as a channel of this device (1-based).
  bool ChannelArg(const std::vector<std::string>& args, long& ch) const;
  double NextRandom();  // 0..1
  uint64_t rng_;
};

// "46 6F ..." for a text.
std::string SimHexBytes(const std::string& text);
