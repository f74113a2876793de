// Options and their values checked one by one, the configuration file read
// as the same options a line each, the simulated bus built, the usage text.
#include "sim/SimOptions.h"

#include <cstdlib>
#include <fstream>

namespace {

std::vector<std::string> SplitColon(const std::string& s) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == ':')
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

bool ToInt(const std::string& s, int& v) {
  if (s.empty() || s.size() > 9) return false;
  char* end = nullptr;
  const long l = std::strtol(s.c_str(), &end, 10);
  if (*end != 0) return false;
  v = static_cast<int>(l);
  return true;
}

bool ToDouble(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return *end == 0;
}

bool ValidAddress(int a) {
  return a >= 0 && a <= 20;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

bool SetSimFault(TSimFaults& f, const std::string& kind, int arg) {
  if (kind == "none")
    f.Clear();
  else if (kind == "silent")
    f.Silent = true;
  else if (kind == "no-ack")
    f.NoAck = true;
  else if (kind == "wrong-ack")
    f.WrongAck = true;
  else if (kind == "garbage")
    f.GarbageBytes = arg > 0 ? arg : 64;
  else if (kind == "non-hex")
    f.NonHex = true;
  else if (kind == "split")
    f.SplitChunk = arg > 0 ? arg : 3;
  else if (kind == "delay")
    f.DelayMs = arg > 0 ? arg : 150;
  else if (kind == "leading-lf")
    f.LeadingLf = true;
  else
    return false;
  return true;
}

bool TSimOptions::Apply(const std::string& name, const std::string& value, std::string& error) {
  auto fail = [&](const std::string& why) {
    error = "--" + name + " " + value + ": " + why;
    return false;
  };
  const std::vector<std::string> f = SplitColon(value);
  if (name == "link") {
    if (value.empty()) return fail("path expected");
    Link = value;
  } else if (name == "log") {
    if (value.empty()) return fail("file expected");
    LogFile = value;
  } else if (name == "reply-delay") {
    if (!ToInt(value, ReplyDelayMs) || ReplyDelayMs < 0) return fail("milliseconds expected");
  } else if (name == "device") {
    TDeviceSpec d;
    if (f.size() < 3 || f.size() > 4 || !ToInt(f[0], d.Address) || !ToInt(f[1], d.Channels) ||
        !ToInt(f[2], d.Scale))
      return fail("ADDR:CHANNELS:SCALE[:NAME] expected");
    if (!ValidAddress(d.Address)) return fail("address must be 0..20");
    if (d.Channels < 1 || d.Channels > 32) return fail("channels must be 1..32");
    if (f.size() == 4) d.Name = f[3];
    Devices.push_back(d);
  } else if (name == "curve") {
    TCurveSpec c;
    std::vector<double> p;
    for (size_t i = 3; i < f.size(); ++i) {
      double v;
      if (!ToDouble(f[i], v)) return fail("number expected: " + f[i]);
      p.push_back(v);
    }
    if (f.size() < 4 || !ToInt(f[0], c.Address) || !ToInt(f[1], c.Channel))
      return fail("ADDR:CH:KIND:PARAMS expected");
    const std::string& kind = f[2];
    if (kind == "constant" && p.size() == 1)
      c.Curve = TSimCurve::Constant(p[0]);
    else if (kind == "ramp" && p.size() == 3 && p[2] > 0)
      c.Curve = TSimCurve::Ramp(p[0], p[1], p[2]);
    else if (kind == "sine" && p.size() == 3 && p[2] > 0)
      c.Curve = TSimCurve::Sine(p[0], p[1], p[2]);
    else if (kind == "noise" && p.size() == 2)
      c.Curve = TSimCurve::Noise(p[0], p[1]);
    else
      return fail("unknown curve or wrong number of parameters");
    Curves.push_back(c);
  } else if (name == "invalid" || name == "valid") {
    TValidSpec v;
    if (f.size() != 2 || !ToInt(f[0], v.Address) || !ToInt(f[1], v.Channel))
      return fail("ADDR:CH expected");
    v.Valid = name == "valid";
    Validity.push_back(v);
  } else if (name == "fault") {
    TFaultSpec s{0, "", 0};
    if (f.size() < 2 || f.size() > 3 || !ToInt(f[0], s.Address) ||
        (f.size() == 3 && !ToInt(f[2], s.Arg)))
      return fail("ADDR:KIND[:ARG] expected");
    s.Kind = f[1];
    TSimFaults probe;
    if (!SetSimFault(probe, s.Kind, s.Arg)) return fail("unknown fault kind");
    Faults.push_back(s);
  } else if (name == "config") {
    return LoadConfig(value, error);
  } else if (name == "help") {
    Help = true;
  } else {
    error = "unknown option --" + name;
    return false;
  }
  return true;
}

bool TSimOptions::Parse(int argc, const char* const* argv, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Help = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      error = "unexpected argument " + arg;
      return false;
    }
    std::string name = arg.substr(2), value;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error = "--" + name + " needs a value";
      return false;
    }
    if (!Apply(name, value, error)) return false;
  }
  return true;
}

bool TSimOptions::LoadConfig(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read configuration file " + path;
    return false;
  }
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find_first_of(" \t=");
    std::string name = line.substr(0, sp);
    std::string value = sp == std::string::npos ? "" : Trim(line.substr(sp + 1));
    if (name.compare(0, 2, "--") == 0) name.erase(0, 2);
    if (name == "config") {
      error = path + ":" + std::to_string(n) + ": configuration files do not nest";
      return false;
    }
    if (!Apply(name, value, error)) {
      error = path + ":" + std::to_string(n) + ": " + error;
      return false;
    }
  }
  return true;
}

bool TSimOptions::Build(TSimBus& bus, std::string& error) const {
  bus.Clear();
  bus.ReplyDelayMs = ReplyDelayMs;
  if (Devices.empty()) {
    bus.AddDevice(3, 2, 10);
    bus.AddDevice(7, 1, 100);
  }
  for (const TDeviceSpec& d : Devices)
    bus.AddDevice(static_cast<uint8_t>(d.Address), d.Channels, d.Scale, d.Name);
  auto channel = [&](int address, int ch) -> TSimChannel* {
    TSimDevice* dev = ValidAddress(address) ? bus.Device(static_cast<uint8_t>(address)) : nullptr;
    if (!dev || ch < 1 || ch > static_cast<int>(dev->Channels.size())) {
      error = "no channel " + std::to_string(address) + ":" + std::to_string(ch) + " on the bus";
      return nullptr;
    }
    return &dev->Channels[ch - 1];
  };
  for (const TCurveSpec& c : Curves) {
    TSimChannel* ch = channel(c.Address, c.Channel);
    if (!ch) return false;
    ch->Curve = c.Curve;
  }
  for (const TValidSpec& v : Validity) {
    TSimChannel* ch = channel(v.Address, v.Channel);
    if (!ch) return false;
    ch->Valid = v.Valid;
  }
  for (const TFaultSpec& f : Faults) {
    TSimDevice* dev =
        ValidAddress(f.Address) ? bus.Device(static_cast<uint8_t>(f.Address)) : nullptr;
    if (!dev) {
      error = "no device at address " + std::to_string(f.Address) + " for --fault";
      return false;
    }
    SetSimFault(dev->Faults, f.Kind, f.Arg);
  }
  return true;
}

std::string TSimOptions::Usage() {
  return R"(Usage: quilex-sim [options]

Emulates a bus of temperature measuring devices on a pseudo-terminal. Prints
the terminal's path on one line and answers frames until it is stopped with
SIGTERM or SIGINT (Ctrl+C). Quilex Assistant takes that path (or the --link
path) as its port from the line Port=PATH in section [ComPort1] of its
quilex.ini; ./scripts/run --port PATH in the sources writes that line.

Options (each may also be written --name=value):
  --link PATH             create a symbolic link PATH to the terminal (an
                          existing link there is replaced; removed on exit)
  --device ADDR:CHANNELS:SCALE[:NAME]
                          add a device at bus address ADDR (0..20) with
                          CHANNELS channels (1..32), reporting SCALE device
                          units per degree (10: tenths, 100: hundredths);
                          NAME is what the device list shows (QTM-CHANNELS);
                          repeatable. Without any --device the bus holds two
                          devices, 3:2:10 and 7:1:100.
  --curve ADDR:CH:KIND:PARAMS
                          temperature curve of channel CH (from 1), in degrees:
                            constant:VALUE
                            ramp:FROM:TO:PERIOD_S   (sawtooth)
                            sine:CENTRE:AMPLITUDE:PERIOD_S
                            noise:CENTRE:AMPLITUDE  (smoothed by the device's
                                                    averaging setting)
                          default: slow sine waves between about 20 and 30
  --invalid ADDR:CH       the channel reports its readings as not valid
  --valid ADDR:CH         the channel reports its readings as valid (default)
  --fault ADDR:KIND[:ARG] misbehaviour of one device, for trying out error
                          handling; repeatable (ARG's default in brackets):
                            silent        no reply at all
                            no-ack        reply without acknowledgement line
                            wrong-ack     acknowledgement *01 instead of *00
                            garbage[:N]   N random bytes, no line feed (64)
                            non-hex       payload neither hex nor decimal
                            split[:N]     reply in chunks of N bytes 10 ms
                                          apart (3)
                            delay[:MS]    reply MS ms late (150)
                            leading-lf    stray line feed before the reply
  --reply-delay MS        delay from a frame's CR to its reply (default 5)
  --log FILE              append each frame received and reply sent, with a
                          time stamp, to FILE
  --config FILE           read options from FILE: one per line as "name value"
                          (for example "device 5:4:100:Oven"), lines starting
                          with # are comments; options are taken in order with
                          those on the command line (sim/example.cfg in the
                          sources is a commented example)
  --help                  show this text

Example: a four-channel oven at address 5 whose first channel ramps from 20 to
80 degrees every ten minutes, reachable as /tmp/qx-bus:
  quilex-sim --link /tmp/qx-bus --device 5:4:100:Oven --curve 5:1:ramp:20:80:600
)";
}
