#pragma once
// What is asked of each device a scan found before measuring: the channel
// count and scale the readings need, and the identity texts operator and
// broker see; in one place, so every caller puts the same exchanges on the bus.
#include <string>
#include <vector>

class TDeviceParam;
class TOEMData;

struct TDeviceInfo {
  int Address = 0;
  std::string Name, Serial, Firmware;
  int Channels = 0;
};

// Asks every device for its channel count and scale. Both are kept by the
// device, so the polls that follow cause no other traffic.
void ReadChannelLayout(TOEMData& bus);

// Name, serial number and firmware revision, asked in this order. A text that
// is not a list of character codes leaves it and those after it empty: a
// device that garbles its identity is still measured.
TDeviceInfo IdentifyDevice(TDeviceParam& device);
std::vector<TDeviceInfo> IdentifyDevices(TOEMData& bus);
