#pragma once
// Command line and configuration file of the simulator program.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimBus.h"

struct TSimOptions {
  struct TDeviceSpec {
    int Address, Channels, Scale;
    std::string Name;
  };
  struct TCurveSpec {
    int Address, Channel;
    TSimCurve Curve;
  };
  struct TValidSpec {
    int Address, Channel;
    bool Valid;
  };
  struct TFaultSpec {
    int Address;
    std::string Kind;
    int Arg;
  };
  std::string Link;
  std::string LogFile;
  int ReplyDelayMs = 5;
  bool Help = false;
  std::vector<TDeviceSpec> Devices;
  std::vector<TCurveSpec> Curves;
  std::vector<TValidSpec> Validity;
  std::vector<TFaultSpec> Faults;

  // Parse argv[1..]; false with error set on a bad option.
  bool Parse(int argc, const char* const* argv, std::string& error);
  // One option by name (without the leading dashes) and its value.
  bool Apply(const std::string& name, const std::string& value, std::string& error);
  // Read a configuration file: one option per line, "name value", '#' comments.
  bool LoadConfig(const std::string& path, std::string& error);
  // Populate a bus (the default two devices when none was given).
  bool Build(TSimBus& bus, std::string& error) const;

  static std::string Usage();
};

// Switch a fault on (or "none" to clear them); false for an unknown kind.
bool SetSimFault(TSimFaults& faults, const std::string& kind, int arg);
