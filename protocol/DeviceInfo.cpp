// The exchanges between a bus scan and the first poll.
#include "protocol/DeviceInfo.h"

#include "protocol/OEMLib.h"

void ReadChannelLayout(TOEMData& bus) {
  for (auto& dev : bus.Devices) {
    dev->GetChannelCount();
    dev->GetScale();
  }
}

TDeviceInfo IdentifyDevice(TDeviceParam& device) {
  TDeviceInfo info;
  info.Address = device.Address;
  info.Channels = device.GetChannelCount();
  try {
    info.Name = device.GetDeviceName();
    info.Serial = device.GetSerialNumber();
    info.Firmware = device.GetFirmwareRevision();
  } catch (const EConvertError&) {
  }
  return info;
}

std::vector<TDeviceInfo> IdentifyDevices(TOEMData& bus) {
  std::vector<TDeviceInfo> out;
  for (auto& dev : bus.Devices) out.push_back(IdentifyDevice(*dev));
  return out;
}
