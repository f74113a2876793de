#pragma once
// The [Station] section of quilex-station.ini: the settings the command line
// can also give. A value the station cannot use is refused with the file,
// the key and what was expected, never quietly replaced by a default.
#include <functional>
#include <string>

#include "station/StationArgs.h"

// Looks a key of [Station] up; false when it is not there.
using TStationLookup = std::function<bool(const std::string& key, std::string& value)>;

bool ApplyStationSection(const TStationLookup& lookup, const std::string& fileName,
                         TStationSettings& s, const TStationArgsGiven& given, std::string& error);
