// Each key of the section checked and applied, unless the command line gave
// it; flags are 0 or 1.
#include "station/StationConfig.h"

namespace {

bool ParseFlag(const std::string& v, bool& out) {
  if (v == "1") {
    out = true;
    return true;
  }
  if (v == "0") {
    out = false;
    return true;
  }
  return false;
}

}  // namespace

bool ApplyStationSection(const TStationLookup& lookup, const std::string& fileName,
                         TStationSettings& s, const TStationArgsGiven& given, std::string& error) {
  auto refuse = [&](const std::string& key, const std::string& value, const std::string& want) {
    error = fileName + ": [Station] " + key + "=" + value + ": " + want;
    return false;
  };
  std::string v;
  if (!given.Port && lookup("Port", v)) {
    if (v.empty()) return refuse("Port", v, "a serial port path expected");
    s.Port = v;
  }
  if (!given.LogFile && lookup("Log", v)) s.LogFile = v;  // empty: no log
  if (!given.Append && lookup("Append", v) && !ParseFlag(v, s.Append))
    return refuse("Append", v, "0 or 1 expected");
  // Interval and EveryValue together are fine in the file: EveryValue=0
  // keeps the interval for the day the mode is switched back.
  if (!given.Mode) {
    if (lookup("Interval", v) && !ParseSeconds(v, s.Interval))
      return refuse("Interval", v, "seconds expected (0 to 86400, e.g. 2.5)");
    if (lookup("EveryValue", v) && !ParseFlag(v, s.EveryValue))
      return refuse("EveryValue", v, "0 or 1 expected");
  }
  if (!given.BufferHours && lookup("BufferHours", v) && !ParseHours(v, s.BufferHours))
    return refuse("BufferHours", v, "hours expected (above 0, at most 1000)");
  return true;
}
