// quilex-station.ini on arbitrary file contents: it is either refused as a
// whole or read, and what is read comes back unchanged when written and read
// again; a value set afterwards is found, and the file's other lines stay.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/QxStationIni.h"
#include "publish/PublishSettings.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string TempPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qx_fuzz_station_" +
         std::to_string(::getpid()) + ".ini";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = TempPath();
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  std::ostringstream err;
  TStationIni ini;
  const bool ok = ini.Load(path, err);
  Check(ok == err.str().empty());
  if (!ok) Check(ini.Text().empty());
  // Whatever was read, the publishing settings are usable or refused in words.
  const TPublishSettings s = LoadPublishSettings(ini);
  Check(s.Port >= 1 && s.Port <= 65535 && s.QoS >= 0 && s.QoS <= 2);
  ValidatePublishSettings(s);

  const std::string text = ini.Text();
  Check(ini.Set("Publish", "Station", "fuzz"));
  Check(ini.Get("publish", "station") == "fuzz");
  Check(ini.Save());
  TStationIni again;
  std::ostringstream err2;
  Check(again.Load(path, err2));
  Check(again.Text() == ini.Text());
  Check(again.Get("Publish", "Station") == "fuzz");
  (void)text;
  ::unlink(path.c_str());
  ::unlink((path + ".bad").c_str());
  return 0;
}
