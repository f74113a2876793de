#pragma once
// The log file's line and its append, shared by the desktop program and the
// headless station so that both write the same bytes. No Qt: the station
// links only the port's and the log's code.
#include <string>
#include <vector>

// One log line at date-time `now` in the user's regional formats, CR LF
// included. A temperature at or above the no-value threshold, or NaN (a
// channel that has no current reading), is written as not available.
std::string FormatLogLine(double now, const std::vector<double>& temperatures);

// Appends all of `data` to the file at `path` or, where a write fails part
// way, cuts the file back to its old size: a line is in the file whole or not
// at all. False on any failure.
bool AppendWhole(const std::string& path, const std::string& data);
