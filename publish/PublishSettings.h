#pragma once
// What the station publishes to an MQTT broker and how it reaches it: the
// [Publish] section of quilex-station.ini, the topics, and the payload texts.
// Plain C++, so a station without a screen can use it too.
#include <string>
#include <vector>

class TStationIni;

struct TPublishSettings {
  bool Enabled = false;
  std::string Host = "localhost";
  int Port = 1883;      // 8883 is the default with TLS
  std::string Station;  // default: the host name
  std::string TopicPrefix = "quilex";
  std::string Username;
  std::string Password;
  bool TLS = false;
  std::string CAFile;  // empty: the system's certificate store
  int QoS = 1;
  bool HomeAssistant = false;

  bool operator==(const TPublishSettings& o) const;
  bool operator!=(const TPublishSettings& o) const { return !(*this == o); }
};

// The host name of this machine ("station" when there is none).
std::string DefaultStationName();

// [Publish] of the store; missing or unusable values give the defaults.
TPublishSettings LoadPublishSettings(const TStationIni& ini);
void StorePublishSettings(TStationIni& ini, const TPublishSettings& s);

// Empty when the settings can be used, else what is wrong, in words for the
// operator. Station names and prefixes end up inside topics, where + and #
// are wildcards and / separates levels: they are refused, not altered, so
// two stations never publish under one escaped name by accident.
std::string ValidatePublishSettings(const TPublishSettings& s);
constexpr size_t kMaxStationName = 64;

// True for a host that is this machine (plain passwords there stay local).
bool IsLoopbackHost(const std::string& host);

// One device of the last scan, for the devices list and the discovery.
struct TPublishedDevice {
  int Address = 0;
  std::string Name, Serial, Firmware;
  int Channels = 0;
};

// Topics.
std::string StationTopic(const TPublishSettings& s);  // <prefix>/<station>
std::string ReadingTopic(const TPublishSettings& s, int address, int channel);

// Payloads. `when` is a local date-time (days since 1899-12-30) as the log
// and the diagram use it; a value of 900 or more is "no value" (null).
std::string ReadingPayload(double when, double value);
// The same text appended to `out`: no allocation once `out` has room, for
// the publisher's network thread.
void AppendReadingPayload(std::string& out, double when, double value);
std::string DevicesPayload(const std::vector<TPublishedDevice>& devices);
// Home Assistant discovery: topic and payload of one channel's sensor.
std::string DiscoveryTopic(const TPublishSettings& s, int address, int channel);
std::string DiscoveryPayload(const TPublishSettings& s, const TPublishedDevice& d, int channel);

// Local date-time to ISO 8601 with milliseconds and the UTC offset of that
// moment, 2026-12-09T14:05:30.250+01:00.
std::string IsoLocalTime(double when);
void AppendIsoLocalTime(std::string& out, double when);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& s);
// The value text as the panel shows it, with a decimal point: two decimals
// after rounding to six significant digits.
std::string ValueText(double value);
void AppendValueText(std::string& out, double value);
