#pragma once
// Readings out as CSV (RFC 4180): a header row with the channel names, one
// row per log line, the time in ISO 8601 with its UTC offset, "." decimals
// and empty cells where the log had N/A or the segment no such column.
#include <cstdint>
#include <string>
#include <vector>

#include "viewer/LogData.h"

namespace qxview {

struct TCsvOptions {
  bool All = true;  // false: only rows with T0 <= time <= T1
  double T0 = 0, T1 = 0;
  std::vector<int> Columns;        // which columns, in this order
  std::vector<std::string> Names;  // their header names
};

// Written beside the target and renamed into place, so a failure never
// leaves a half file under the chosen name.
bool WriteCsv(const TLogData& data, const std::string& path, const TCsvOptions& o,
              std::string& error, int64_t* rows = nullptr);

// One field, quoted when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& s);
// Local date-time as "2026-03-04T09:05:30.250+01:00".
std::string IsoStamp(double t);
// Hundredths as "-12.34".
void AppendCenti(std::string& out, int32_t v);

}  // namespace qxview
