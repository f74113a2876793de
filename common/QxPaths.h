#pragma once
// Where the program family keeps its configuration files. Shared by the
// desktop program and programs without widgets, so it needs only Qt Core.
#include <string>

// name inside the user's configuration directory ($XDG_CONFIG_HOME, else
// ~/.config); name itself when the system names no such directory.
std::string UserConfigFilePath(const std::string& name);
// The serial port settings of the program.
std::string QuilexIniPath();
