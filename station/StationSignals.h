#pragma once
// SIGTERM and SIGINT ask the station to stop after the exchange in progress;
// SIGHUP asks it to reopen its log file. The handlers only set flags and
// wake a pipe, so a wait of the station can end at once.
#include <string>

void InstallStationSignals();
bool StopRequested();
// The name of the signal that asked for the stop ("SIGTERM").
std::string StopSignalName();
// True once per SIGHUP received since the last call.
bool TakeReopenRequest();
// Waits up to ms milliseconds; returns early when any of the signals came.
void WaitForSignal(int ms);
// For tests: ask for a stop as a signal would, and take it back.
void RequestStop(int sig);
void ResetStationSignals();
