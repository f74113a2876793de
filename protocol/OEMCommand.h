#pragma once
// The command codes the devices understand, each sent as two hex digits
// after "?" (query) or ":" (setting). Several codes serve both directions.
#include <cstdint>

enum TOEMCommand : uint8_t {
  ocSample = 0x01,             // channel query: validity and raw reading
  ocChannelCount = 0x0F,       // query: number of channels
  ocDeviceName = 0x40,         // query: identity text as hex bytes
  ocSerialNumber = 0x41,       // query: identity text as hex bytes
  ocFirmwareRevision = 0x42,   // query: identity text as hex bytes
  ocScale = 0x45,              // query: device units per degree Celsius
  ocAveraging = 0x52,          // query and setting: frames averaged, 1..20
  ocCalibrationOffset = 0x75,  // channel query, and setting of a correction
  ocCalibrationNumber = 0x76,  // query and setting: calibration table 1 or 2
  ocAnalogLimits = 0x81        // query and setting: temperatures for 0 V and 10 V
};
