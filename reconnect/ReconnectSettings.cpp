// The section's one key read and written, and saved into the file with the
// rest of it kept.
#include "reconnect/ReconnectSettings.h"

#include <sstream>

#include "common/QxStationIni.h"

namespace {
const char* const kSection = "Reconnect";
const char* const kEnabled = "Enabled";
}  // namespace

TReconnectSettings LoadReconnectSettings(const TStationIni& ini) {
  TReconnectSettings s;
  s.Enabled = ini.GetBool(kSection, kEnabled, false);
  return s;
}

void StoreReconnectSettings(TStationIni& ini, const TReconnectSettings& s) {
  ini.SetBool(kSection, kEnabled, s.Enabled);
}

bool SaveReconnectSettings(const std::string& path, const TReconnectSettings& s,
                           std::string* error) {
  TStationIni ini;
  // A garbage file was reported at start; rewriting it keeps it as .bad.
  std::ostringstream quiet;
  ini.Load(path, quiet);
  ini.SetPath(path);
  StoreReconnectSettings(ini, s);
  return ini.Save(error);
}
