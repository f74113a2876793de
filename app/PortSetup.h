#pragma once
// The port as the desktop program and the headless station set it up before
// the bus is scanned: the built-in settings, then those of quilex.ini. One
// place, so that both talk to the devices over the same line.
#include <string>

class TComPort;

// The built-in settings the configuration file is read over: 57600 baud on
// "COM1", no flow control with DTR and RTS held off, 2048-byte buffers, line
// feed as event character, no events, notifications through the owner's
// event loop.
void ApplyBuiltInPortSettings(TComPort& port);

// Reads the port settings from the file at iniPath over the current ones.
// A missing or unreadable file leaves them as they were and returns false,
// with the error's text in why when given.
bool LoadPortSettings(TComPort& port, const std::string& iniPath, std::string* why = nullptr);
