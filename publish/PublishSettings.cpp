// Loading and checking the settings, topic names, and the payload texts
// written by hand: local ISO times with offset, values, JSON strings.
#include "publish/PublishSettings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "common/QxStationIni.h"

namespace {

const char* const kSection = "Publish";

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// Well-formed UTF-8 without control characters: MQTT refuses other topics.
bool CleanUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) return false;
    int more = 0;
    if (c < 0x80)
      more = 0;
    else if ((c & 0xe0) == 0xc0 && c >= 0xc2)
      more = 1;
    else if ((c & 0xf0) == 0xe0)
      more = 2;
    else if ((c & 0xf8) == 0xf0 && c <= 0xf4)
      more = 3;
    else
      return false;
    for (int k = 1; k <= more; ++k) {
      if (i + size_t(k) >= s.size()) return false;
      if ((static_cast<unsigned char>(s[i + size_t(k)]) & 0xc0) != 0x80) return false;
    }
    i += size_t(more) + 1;
  }
  return true;
}

std::string CheckTopicPart(const std::string& what, const std::string& v, bool levelsAllowed) {
  if (v.empty()) return what + " must not be empty.";
  if (v.size() > kMaxStationName)
    return what + " is too long (" + std::to_string(v.size()) + " bytes, at most " +
           std::to_string(kMaxStationName) + ").";
  if (!CleanUtf8(v)) return what + " must be plain text without control characters.";
  for (char c : v) {
    if (c == '+' || c == '#')
      return what + " must not contain '" + std::string(1, c) +
             "': it is a wildcard in MQTT topics.";
    if (c == '/' && !levelsAllowed)
      return what + " must not contain '/': it would add topic levels.";
  }
  if (levelsAllowed && (v.front() == '/' || v.back() == '/' || v.find("//") != std::string::npos))
    return what + " must not begin or end with '/' or contain empty levels.";
  if (v.front() == ' ' || v.back() == ' ') return what + " must not begin or end with a blank.";
  return std::string();
}

// Letters, digits, '_' and '-' only: identifiers of the discovery messages.
std::string IdPart(const std::string& s) {
  std::string out;
  for (unsigned char c : s)
    out += (std::isalnum(c) && c < 0x80) || c == '-' || c == '_' ? char(c) : '_';
  return out;
}

}  // namespace

bool TPublishSettings::operator==(const TPublishSettings& o) const {
  return Enabled == o.Enabled && Host == o.Host && Port == o.Port && Station == o.Station &&
         TopicPrefix == o.TopicPrefix && Username == o.Username && Password == o.Password &&
         TLS == o.TLS && CAFile == o.CAFile && QoS == o.QoS && HomeAssistant == o.HomeAssistant;
}

std::string DefaultStationName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "station";
  std::string name(buf);
  // The host name is used as it is only when it makes a valid topic level.
  if (!CheckTopicPart("", name, false).empty()) return "station";
  return name;
}

TPublishSettings LoadPublishSettings(const TStationIni& ini) {
  TPublishSettings s;
  s.Enabled = ini.GetBool(kSection, "Enabled", false);
  s.Host = ini.Get(kSection, "Host", s.Host);
  s.TLS = ini.GetBool(kSection, "TLS", false);
  s.Port = ini.GetInt(kSection, "Port", s.TLS ? 8883 : 1883, 1, 65535);
  s.Station = ini.Get(kSection, "Station", "");
  if (s.Station.empty()) s.Station = DefaultStationName();
  s.TopicPrefix = ini.Get(kSection, "TopicPrefix", s.TopicPrefix);
  s.Username = ini.Get(kSection, "Username", "");
  s.Password = ini.Get(kSection, "Password", "");
  s.CAFile = ini.Get(kSection, "CAFile", "");
  s.QoS = ini.GetInt(kSection, "QoS", 1, 0, 2);
  s.HomeAssistant = ini.GetBool(kSection, "HomeAssistant", false);
  return s;
}

void StorePublishSettings(TStationIni& ini, const TPublishSettings& s) {
  ini.SetBool(kSection, "Enabled", s.Enabled);
  ini.Set(kSection, "Host", s.Host);
  ini.SetInt(kSection, "Port", s.Port);
  ini.Set(kSection, "Station", s.Station);
  ini.Set(kSection, "TopicPrefix", s.TopicPrefix);
  ini.Set(kSection, "Username", s.Username);
  ini.Set(kSection, "Password", s.Password);
  ini.SetBool(kSection, "TLS", s.TLS);
  ini.Set(kSection, "CAFile", s.CAFile);
  ini.SetInt(kSection, "QoS", s.QoS);
  ini.SetBool(kSection, "HomeAssistant", s.HomeAssistant);
}

std::string ValidatePublishSettings(const TPublishSettings& s) {
  if (s.Host.empty()) return "The broker's host name must not be empty.";
  for (unsigned char c : s.Host)
    if (c <= ' ' || c == 0x7f) return "The broker's host name must not contain blanks.";
  if (s.Port < 1 || s.Port > 65535) return "The port must be a number from 1 to 65535.";
  if (s.QoS < 0 || s.QoS > 2) return "QoS must be 0, 1 or 2.";
  std::string e = CheckTopicPart("The station name", s.Station, false);
  if (!e.empty()) return e;
  e = CheckTopicPart("The topic prefix", s.TopicPrefix, true);
  if (!e.empty()) return e;
  for (const std::string* v : {&s.Username, &s.Password, &s.CAFile})
    if (v->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      return "User name, password and CA file must be single lines.";
  if (s.Password.size() > 0 && s.Username.empty()) return "A password needs a user name.";
  if (!s.CAFile.empty() && ::access(s.CAFile.c_str(), R_OK) != 0)
    return "The CA file " + s.CAFile + " cannot be read.";
  return std::string();
}

bool IsLoopbackHost(const std::string& host) {
  const std::string h = Lower(host);
  if (h == "localhost" || h == "localhost." || h == "::1" || h == "[::1]") return true;
  in_addr a{};
  if (inet_pton(AF_INET, h.c_str(), &a) == 1) return (ntohl(a.s_addr) >> 24) == 127;
  return false;
}

std::string StationTopic(const TPublishSettings& s) {
  return s.TopicPrefix + "/" + s.Station;
}

std::string ReadingTopic(const TPublishSettings& s, int address, int channel) {
  return StationTopic(s) + "/" + std::to_string(address) + "/" + std::to_string(channel);
}

namespace {

// As printf's %0*ld: the sign counts towards the width.
void AppendDigits(std::string& out, long v, int width) {
  if (v < 0) {
    out += '-';
    v = -v;
    --width;
  }
  char buf[24];
  int n = 0;
  do {
    buf[n++] = char('0' + v % 10);
    v /= 10;
  } while (v > 0 || n < width);
  while (n > 0) out += buf[--n];
}

// The UTC offset (seconds) in force at a local time. Offsets change on the
// hour, and mktime costs more than the rest of a payload, so the last one is
// kept per thread; a new time zone (tzset) starts afresh.
long LocalOffsetAt(double when, const TDateTimeParts& p) {
  thread_local long long cachedHour = LLONG_MIN;
  thread_local long cachedOffset = 0;
  thread_local const char* cachedZone = nullptr;
  // The hour after rounding to the millisecond, as the text shows it: a time
  // a fraction before midnight belongs to the next day's first hour.
  const long long ms =
      std::isfinite(when) && std::fabs(when) <= 2.9e6 ? std::llround(when * MSecsPerDay) : 0;
  const long long hour = ms / 3600000 - (ms % 3600000 < 0 ? 1 : 0);
  if (hour == cachedHour && cachedZone == tzname[0]) return cachedOffset;
  tm t{};
  t.tm_year = p.Year - 1900;
  t.tm_mon = p.Month - 1;
  t.tm_mday = p.Day;
  t.tm_hour = p.Hour;
  t.tm_min = p.Minute;
  t.tm_sec = p.Second;
  t.tm_isdst = -1;
  long offset = 0;
  const time_t secs = mktime(&t);
  if (secs != time_t(-1)) {
    tm back{};
    localtime_r(&secs, &back);
    offset = back.tm_gmtoff;
  }
  cachedHour = hour;
  cachedOffset = offset;
  cachedZone = tzname[0];
  return offset;
}

}  // namespace

void AppendIsoLocalTime(std::string& out, double when) {
  const TDateTimeParts p = DecodeDateTime(when);
  const long offset = LocalOffsetAt(when, p);
  AppendDigits(out, p.Year, 4);
  out += '-';
  AppendDigits(out, p.Month, 2);
  out += '-';
  AppendDigits(out, p.Day, 2);
  out += 'T';
  AppendDigits(out, p.Hour, 2);
  out += ':';
  AppendDigits(out, p.Minute, 2);
  out += ':';
  AppendDigits(out, p.Second, 2);
  out += '.';
  AppendDigits(out, p.MSec, 3);
  out += offset < 0 ? '-' : '+';
  const long a = std::labs(offset) / 60;
  AppendDigits(out, a / 60, 2);
  out += ':';
  AppendDigits(out, a % 60, 2);
}

std::string IsoLocalTime(double when) {
  std::string s;
  AppendIsoLocalTime(s, when);
  return s;
}

std::string ValueText(double value) {
  TFormatSettings point;
  point.DecimalSeparator = '.';
  return FloatToStrFixed(value, 6, 2, point);
}

void AppendValueText(std::string& out, double value) {
  // Rounded to six significant digits first, then to two decimals, as the
  // panel does; with the exact conversions of <charconv> rather than the
  // formatted printing, which costs more than the whole message otherwise.
  char buf[64];
  double rounded = 0;
  const auto e = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 5);
  if (!std::isfinite(value) || e.ec != std::errc() ||
      std::from_chars(buf, e.ptr, rounded).ec != std::errc() || !(std::fabs(rounded) < 1e5)) {
    out += ValueText(value);  // exponent notation and the odd cases
    return;
  }
  const auto f = std::to_chars(buf, buf + sizeof buf, rounded, std::chars_format::fixed, 2);
  const char* from = buf;
  if (std::string_view(buf, size_t(f.ptr - buf)) == "-0.00") ++from;  // no "-0.00"
  out.append(from, size_t(f.ptr - from));
}

void AppendReadingPayload(std::string& out, double when, double value) {
  out += "{\"time\":\"";
  AppendIsoLocalTime(out, when);
  out += "\",\"value\":";
  if (!std::isfinite(value) || value >= 900.0)
    out += "null";
  else
    AppendValueText(out, value);
  out +=
      ",\"unit\":\"\xc2\xb0"
      "C\"}";
}

std::string ReadingPayload(double when, double value) {
  std::string s;
  s.reserve(80);
  AppendReadingPayload(s, when, value);
  return s;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c >= 0x80) {
          // Device texts are single bytes of unknown code page: Latin-1.
          out += char(0xc0 | (c >> 6));
          out += char(0x80 | (c & 0x3f));
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string DevicesPayload(const std::vector<TPublishedDevice>& devices) {
  std::string out = "[";
  for (const auto& d : devices) {
    if (out.size() > 1) out += ",";
    out += "{\"address\":" + std::to_string(d.Address) + ",\"name\":" + JsonString(d.Name) +
           ",\"serial\":" + JsonString(d.Serial) + ",\"firmware\":" + JsonString(d.Firmware) +
           ",\"channels\":" + std::to_string(d.Channels) + "}";
  }
  return out + "]";
}

std::string DiscoveryTopic(const TPublishSettings& s, int address, int channel) {
  return "homeassistant/sensor/quilex_" + IdPart(s.Station) + "_" + std::to_string(address) + "_" +
         std::to_string(channel) + "/config";
}

std::string DiscoveryPayload(const TPublishSettings& s, const TPublishedDevice& d, int channel) {
  const std::string id = "quilex_" + IdPart(s.Station) + "_" + std::to_string(d.Address) + "_" +
                         std::to_string(channel);
  const std::string caption = "Temp " + std::to_string(d.Address) + ":" + std::to_string(channel);
  return "{\"name\":" + JsonString(caption) + ",\"unique_id\":" + JsonString(id) +
         ",\"object_id\":" + JsonString(id) +
         ",\"state_topic\":" + JsonString(ReadingTopic(s, d.Address, channel) + "/last") +
         ",\"value_template\":\"{{ value_json.value }}\",\"unit_of_measurement\":\"\xc2\xb0"
         "C\""
         ",\"device_class\":\"temperature\",\"state_class\":\"measurement\""
         ",\"availability_topic\":" +
         JsonString(StationTopic(s) + "/status") +
         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\""
         ",\"device\":{\"identifiers\":[" +
         JsonString("quilex_" + IdPart(s.Station) + "_" + std::to_string(d.Address)) +
         "],\"name\":" + JsonString(s.Station + " " + d.Name + " " + std::to_string(d.Address)) +
         ",\"model\":" + JsonString(d.Name) + ",\"sw_version\":" + JsonString(d.Firmware) +
         ",\"manufacturer\":\"Quilex\"}}";
}
