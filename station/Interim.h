#pragma once
// Stand-ins for the desktop program's log writer until it has a widget-free
// form: the log line and its whole-line append. They go as soon as the
// shared writer is there.
#include <string>
#include <vector>

// The text of one log line at date-time `now`, CR LF included; a
// temperature of 900 or more is written as not available.
std::string InterimFormatLogLine(double now, const std::vector<double>& temperatures);
// Appends all of data to path or nothing.
bool InterimAppendWhole(const std::string& path, const std::string& data);
