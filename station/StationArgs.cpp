// The options read one by one, with the record of which were given so the
// file cannot override them, their number checks, and the help text.
#include "station/StationArgs.h"

#include <cmath>
#include <cstdlib>

#include "common/QxPaths.h"

namespace {

bool ParseNonNegative(const std::string& text, double& value) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || c == '.')) return false;
  if (text.find('.') != text.rfind('.') || text == ".") return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != 0 || !std::isfinite(v)) return false;
  value = v;
  return true;
}

}  // namespace

bool ParseSeconds(const std::string& text, double& value) {
  // A day is the longest interval that still means something for a log.
  double v = 0;
  if (!ParseNonNegative(text, v) || v > 86400.0) return false;
  value = v;
  return true;
}

bool ParseHours(const std::string& text, double& value) {
  double v = 0;
  if (!ParseNonNegative(text, v) || v <= 0.0 || v > 1000.0) return false;
  value = v;
  return true;
}

std::string DefaultConfigDir() {
  const std::string ini = QuilexIniPath();
  const size_t slash = ini.rfind('/');
  return slash == std::string::npos ? "." : ini.substr(0, slash);
}

bool ParseStationArgs(const std::vector<std::string>& args, TStationSettings& s,
                      TStationArgsGiven& given, std::string& error) {
  bool sawInterval = false, sawEvery = false;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (name.compare(0, 2, "--") == 0) {
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        inlineValue = true;
      }
    }
    const bool flag = name == "--append" || name == "--every-value" || name == "--once" ||
                      name == "--help" || name == "-h";
    const bool withValue = name == "--config" || name == "--port" || name == "--log" ||
                           name == "--interval" || name == "--buffer-hours";
    if (!flag && !withValue) {
      error = "unknown option " + name;
      return false;
    }
    if (flag && inlineValue) {
      error = name + " takes no value";
      return false;
    }
    if (withValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (withValue && value.empty()) {
      error = name + " needs a value";
      return false;
    }
    if (name == "--help" || name == "-h") {
      s.Help = true;
    } else if (name == "--append") {
      s.Append = given.Append = true;
    } else if (name == "--every-value") {
      s.EveryValue = true;
      sawEvery = given.Mode = true;
    } else if (name == "--once") {
      s.Once = true;
    } else if (name == "--config") {
      s.ConfigDir = value;
    } else if (name == "--port") {
      s.Port = value;
      given.Port = true;
    } else if (name == "--log") {
      s.LogFile = value;
      given.LogFile = true;
    } else if (name == "--interval") {
      if (!ParseSeconds(value, s.Interval)) {
        error = "--interval " + value + ": seconds expected (0 to 86400, e.g. 2.5)";
        return false;
      }
      s.EveryValue = false;
      sawInterval = given.Mode = given.Interval = true;
    } else if (name == "--buffer-hours") {
      if (!ParseHours(value, s.BufferHours)) {
        error = "--buffer-hours " + value + ": hours expected (above 0, at most 1000)";
        return false;
      }
      given.BufferHours = true;
    }
  }
  if (sawInterval && sawEvery) {
    error = "--interval and --every-value exclude each other";
    return false;
  }
  return true;
}

std::string StationHelpText() {
  return R"(Usage: quilex-station [--config DIR] [--port PATH] [--log FILE] [--append]
                      [--interval SECONDS | --every-value] [--buffer-hours H] [--once]

Measures the temperature devices on one serial bus without a screen: scans
addresses 0 to 20, polls every channel in turn, writes the log file the
desktop program writes, publishes the readings when [Publish] says so, and
reconnects by itself when the line is lost. Runs until SIGTERM or SIGINT
(Ctrl+C); SIGHUP reopens the log file (after log rotation). Events (connected,
devices found, line lost, reconnected, broker connected or lost) go to
standard error, one line each.

Options (each may also be written --name=value):
  --config DIR        folder of quilex.ini (port settings, section [ComPort1])
                      and quilex-station.ini (sections [Station], [Reconnect],
                      [Publish]); default $XDG_CONFIG_HOME or ~/.config
  --port PATH         serial port, instead of Port= in quilex.ini
                      (/dev/serial/by-id/... names survive re-plugging)
  --log FILE          write the readings to FILE (no log without it or Log=)
  --append            append to an existing log file; without it an existing
                      file is replaced when the station starts
  --interval SECONDS  a log line every SECONDS (default 10; 2.5 is allowed)
  --every-value       a log line after every fresh reading instead
  --buffer-hours H    hours of readings kept for the broker while it cannot
                      be reached (default 12)
  --once              one pass over all channels, printed as a table
                      (address, channel, device, serial, value), then exit
  --help              show this text

[Station] in quilex-station.ini takes the same settings as lines Port=,
Log=, Append=0|1, Interval=SECONDS, EveryValue=0|1, BufferHours=H; the
command line overrides them. With [Publish] Enabled=1 there, the station
publishes every reading to that MQTT broker (Host=, Port=, Station=, ...,
the keys of the desktop program's publishing settings) and says "offline"
there when it stops.

Exit status: 0 after SIGTERM or SIGINT or a good --once pass, 1 when the bus
cannot be measured (--once) or changed under a running station, 2 for a wrong
option or settings file.
)";
}
