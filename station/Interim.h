#pragma once
// Stand-ins for pieces the desktop program is getting in widget-free form
// (log line, whole-line append, the reconnect schedule). Each goes as soon as the shared one is
// there.
#include <string>
#include <vector>

// The text of one log line at date-time `now`, CR LF included; a
// temperature of 900 or more is written as not available.
std::string InterimFormatLogLine(double now, const std::vector<double>& temperatures);
// Appends all of data to path or nothing.
bool InterimAppendWhole(const std::string& path, const std::string& data);

// Pause before reconnect attempt `attempt` (1, 2, ...): 1 s, doubling, then
// every 30 s.
int InterimReconnectDelayMs(int attempt);
