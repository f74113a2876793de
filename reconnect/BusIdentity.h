#pragma once
// Which devices a bus holds, to tell after a reconnect whether the same bus
// came back: address, device name, serial number and channel count of each
// device, in address order, and the difference in plain words.
#include <string>
#include <vector>

class TOEMData;

struct TDeviceIdentity {
  int Address = 0;
  std::string Name;
  std::string SerialNumber;
  int Channels = 0;
  bool operator==(const TDeviceIdentity& o) const {
    return Address == o.Address && Name == o.Name && SerialNumber == o.SerialNumber &&
           Channels == o.Channels;
  }
  bool operator!=(const TDeviceIdentity& o) const { return !(*this == o); }
};

using TBusIdentity = std::vector<TDeviceIdentity>;

// Asks every device of a scanned bus for its name and serial number (two
// exchanges each); the channel counts come from the scan. A text that cannot
// be read is kept empty: a device that garbles its serial number must not
// end a run, and it compares equal to itself garbling it again.
TBusIdentity ReadBusIdentity(TOEMData& bus);

// Empty when both are the same bus, else one sentence per difference, for
// example "Device 3 (Oven, serial number 0012) did not answer." or
// "Device 5: 4 channels before, 2 now.", joined by line breaks.
std::string DescribeBusDifference(const TBusIdentity& before, const TBusIdentity& now);
