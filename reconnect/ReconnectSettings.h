#pragma once
// The [Reconnect] section of quilex-station.ini: whether a lost line is tried
// again by itself. Off unless the file says Enabled=1.
#include <string>

class TStationIni;

struct TReconnectSettings {
  bool Enabled = false;
};

TReconnectSettings LoadReconnectSettings(const TStationIni& ini);
void StoreReconnectSettings(TStationIni& ini, const TReconnectSettings& s);

// Reads the file at path afresh, sets [Reconnect] and writes it back
// atomically, so that what other parts of the program stored in it since
// the start is kept. False with error set when it cannot be written.
bool SaveReconnectSettings(const std::string& path, const TReconnectSettings& s,
                           std::string* error = nullptr);
