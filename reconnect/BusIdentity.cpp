// Asking each device of the bus for its identity, and the sentences that
// name what changed between two buses.
#include "reconnect/BusIdentity.h"

#include <exception>

#include "protocol/OEMLib.h"

namespace {

std::string ReadText(TDeviceParam& dev, std::string (TDeviceParam::*get)()) {
  try {
    return (dev.*get)();
  } catch (const std::exception&) {
    return std::string();
  }
}

std::string Quoted(const std::string& s) {
  return s.empty() ? std::string("none") : "\"" + s + "\"";
}

std::string Channels(int n) {
  return std::to_string(n) + (n == 1 ? " channel" : " channels");
}

std::string Describe(const TDeviceIdentity& d) {
  return "Device " + std::to_string(d.Address) + " (" + Quoted(d.Name) + ", serial number " +
         Quoted(d.SerialNumber) + ", " + Channels(d.Channels) + ")";
}

void Add(std::string& out, const std::string& sentence) {
  if (!out.empty()) out += "\n";
  out += sentence;
}

}  // namespace

TBusIdentity ReadBusIdentity(TOEMData& bus) {
  TBusIdentity ids;
  for (auto& dev : bus.Devices) {
    TDeviceIdentity id;
    id.Address = dev->Address;
    id.Name = ReadText(*dev, &TDeviceParam::GetDeviceName);
    id.SerialNumber = ReadText(*dev, &TDeviceParam::GetSerialNumber);
    id.Channels = dev->GetChannelCount();
    ids.push_back(id);
  }
  return ids;
}

std::string DescribeBusDifference(const TBusIdentity& before, const TBusIdentity& now) {
  std::string out;
  // Both lists are in address order; walk them side by side.
  size_t i = 0, j = 0;
  while (i < before.size() || j < now.size()) {
    const bool takeBefore =
        j >= now.size() || (i < before.size() && before[i].Address < now[j].Address);
    const bool takeNow =
        i >= before.size() || (j < now.size() && now[j].Address < before[i].Address);
    if (takeBefore) {
      Add(out, Describe(before[i]) + " did not answer.");
      ++i;
      continue;
    }
    if (takeNow) {
      Add(out, Describe(now[j]) + " is new on the bus.");
      ++j;
      continue;
    }
    const TDeviceIdentity& a = before[i++];
    const TDeviceIdentity& b = now[j++];
    const std::string who = "Device " + std::to_string(a.Address) + ": ";
    if (a.Name != b.Name)
      Add(out, who + "name " + Quoted(a.Name) + " before, " + Quoted(b.Name) + " now.");
    if (a.SerialNumber != b.SerialNumber)
      Add(out, who + "serial number " + Quoted(a.SerialNumber) + " before, " +
                   Quoted(b.SerialNumber) + " now.");
    if (a.Channels != b.Channels)
      Add(out, who + Channels(a.Channels) + " before, " + std::to_string(b.Channels) + " now.");
  }
  return out;
}
