// quilex-station: measures, logs and publishes one serial bus without a
// screen, for running as a system service (see quilex-station --help).
#include <QCoreApplication>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/QxFormat.h"
#include "common/QxStationIni.h"
#include "publish/PublishSettings.h"
#include "serial/CPort.h"
#include "station/Station.h"
#include "station/StationArgs.h"
#include "station/StationConfig.h"
#include "station/StationSignals.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  TStationSettings settings;
  TStationArgsGiven given;
  std::string error;
  if (!ParseStationArgs(args, settings, given, error)) {
    std::cerr << "quilex-station: " << error << " (see --help)" << std::endl;
    return 2;
  }
  if (settings.Help) {
    std::cout << StationHelpText();
    return 0;
  }
  if (settings.ConfigDir.empty()) settings.ConfigDir = DefaultConfigDir();
  const std::string quilexIni = settings.ConfigDir + "/quilex.ini";
  const std::string stationIni = settings.ConfigDir + "/quilex-station.ini";

  // A service must not run on the defaults of a file it could not read: it
  // would measure without its log or its broker and look healthy.
  TStationIni ini;
  std::ostringstream why;
  if (!ini.Load(stationIni, why)) {
    std::string text = why.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::cerr << "quilex-station: " << text << std::endl;
    return 2;
  }
  const TStationLookup lookup = [&](const std::string& key, std::string& value) {
    if (!ini.Has("Station", key)) return false;
    value = ini.Get("Station", key);
    return true;
  };
  if (!ApplyStationSection(lookup, stationIni, settings, given, error)) {
    std::cerr << "quilex-station: " << error << std::endl;
    return 2;
  }
  const TPublishSettings publish = LoadPublishSettings(ini);
  if (publish.Enabled) {
    const std::string bad = ValidatePublishSettings(publish);
    if (!bad.empty()) {
      std::cerr << "quilex-station: " << stationIni << ": [Publish] " << bad << std::endl;
      return 2;
    }
  }

  // The port hands its line events to this thread through the event loop,
  // as the desktop program's window thread gets them.
  int qtArgc = 1;
  QCoreApplication app(qtArgc, argv);
  LoadFormatSettingsFromLocale();
  SetApplicationErrorHandler(
      [](const std::exception& e) { std::cerr << "error: " << e.what() << std::endl; });
  InstallStationSignals();

  TStation station(settings, quilexIni, std::cerr, publish);
  if (settings.Once) return station.RunOnce(std::cout);
  return station.Run();
}
