#pragma once
// What a station run is told: the command line and the [Station] section of
// quilex-station.ini, merged (the command line wins). Parsing never exits;
// the caller turns a refusal into its one-line message and exit status 2.
#include <string>
#include <vector>

struct TStationSettings {
  std::string ConfigDir;  // folder of quilex.ini and quilex-station.ini
  std::string Port;       // empty: the Port= of quilex.ini
  std::string LogFile;    // empty: no log
  bool Append = false;
  bool EveryValue = false;
  double Interval = 10.0;     // seconds between log lines in interval mode
  double BufferHours = 12.0;  // hours of readings held while the broker is away
  bool Once = false;
  bool Help = false;
};

// Which values the command line gave, so that the settings file fills only
// the others.
struct TStationArgsGiven {
  bool Port = false, LogFile = false, Append = false, Mode = false, Interval = false,
       BufferHours = false;
};

// argv[0] is skipped. Options take their value as the next argument or after
// "=". False with a one-line reason for an unknown option, a missing or
// unusable value, or --interval together with --every-value.
bool ParseStationArgs(const std::vector<std::string>& args, TStationSettings& s,
                      TStationArgsGiven& given, std::string& error);

// The --help text.
std::string StationHelpText();

// Seconds and hours as the command line and the settings file write them:
// a decimal point, no sign, finite. (The log's own numbers follow the
// locale; a configuration read by a service must not depend on it.)
bool ParseSeconds(const std::string& text, double& value);
bool ParseHours(const std::string& text, double& value);

// The configuration folder when none is given: the desktop program's, the
// folder of its quilex.ini.
std::string DefaultConfigDir();
