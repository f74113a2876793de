// quilex-station: measures, logs and publishes one serial bus without a
// screen, for running as a system service (see quilex-station --help).
#include <QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "common/QxFormat.h"
#include "serial/CPort.h"
#include "station/Interim.h"
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

  TInterimStationIni ini;
  if (!ini.Load(stationIni, error)) {
    std::cerr << "quilex-station: " << error << std::endl;
    return 2;
  }
  const TStationLookup lookup = [&](const std::string& key, std::string& value) {
    return ini.Get("Station", key, value);
  };
  if (!ApplyStationSection(lookup, stationIni, settings, given, error)) {
    std::cerr << "quilex-station: " << error << std::endl;
    return 2;
  }

  // The port hands its line events to this thread through the event loop,
  // as the desktop program's window thread gets them.
  int qtArgc = 1;
  QCoreApplication app(qtArgc, argv);
  LoadFormatSettingsFromLocale();
  SetApplicationErrorHandler(
      [](const std::exception& e) { std::cerr << "error: " << e.what() << std::endl; });
  InstallStationSignals();

  TStation station(settings, quilexIni, std::cerr);
  if (settings.Once) return station.RunOnce(std::cout);
  return station.Run();
}
