#pragma once
// The device conversation: TDeviceParam frames one command for a bus address,
// checks and strips the reply and turns payloads into values; TOEMData owns
// the link to the port, performs the raw exchanges, scans the bus and maps a
// flat channel index to a device and its sub-channel.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/QxNumber.h"
#include "protocol/OEMCommand.h"
#include "protocol/OEMPort.h"

// Raised when an identity text is not a list of hexadecimal byte values.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A transfer takes the complete frame and returns everything read back,
// line ends included. context is handed back unchanged.
using TTransferProc = std::string (*)(void* context, const std::string& frame);

struct TTransfer {
  TTransferProc Proc = nullptr;
  void* Context = nullptr;
  // An unset transfer reads nothing back.
  std::string operator()(const std::string& frame) const {
    return Proc ? Proc(Context, frame) : std::string();
  }
};

// Frame elements; the hexadecimal fields are Hex2 and Hex4 of QxNumber.h.
std::string AddressPrefix(uint8_t address);  // 5 -> "A05 ", 0 -> ""

class TDeviceParam {
 public:
  static constexpr int ErrorReading = 9999;

  TDeviceParam() = default;
  TDeviceParam(const TDeviceParam&) = delete;
  TDeviceParam& operator=(const TDeviceParam&) = delete;

  TTransfer QueryTransfer;
  TTransfer SettingTransfer;
  void SetQueryTransfer(TTransferProc proc, void* context) { QueryTransfer = {proc, context}; }
  void SetSettingTransfer(TTransferProc proc, void* context) { SettingTransfer = {proc, context}; }

  uint8_t Address = 0;
  uint8_t SubChannel = 1;
  int32_t ChannelCount = 1;
  double Scale = 10.0;
  std::vector<int32_t> LastValues = std::vector<int32_t>(1, 0);

  // Framing layer.
  std::string SendQuery(uint8_t address, uint8_t code);
  std::string SendChannelQuery(uint8_t address, uint8_t code, uint8_t subChannel);
  bool SendSetting(uint8_t address, uint8_t code, const std::string& data);
  // Protocol diagnostics land here and are dropped unless an observer is set.
  void ReportError(const std::string& text);
  std::function<void(const std::string&)> OnReportError;

  // Identity texts; EConvertError on a payload that is not hex bytes.
  std::string GetDeviceName();
  std::string GetSerialNumber();
  std::string GetFirmwareRevision();
  // Fetched once, then cached. The count is returned as the bus sees it: one byte.
  uint8_t GetChannelCount();
  double GetScale();
  bool ChannelCountKnown() const { return channelCountKnown_; }
  bool ScaleKnown() const { return scaleKnown_; }

  // Channel operations act on SubChannel.
  bool ReadSample(int32_t& raw);
  // False when the last ReadSample got no number to read: its raw reading is
  // then the error reading, which is no temperature at any scale.
  bool SampleReadable() const { return sampleReadable_; }
  int32_t LastValue() const;
  void SelectSubChannel(uint8_t n) { SubChannel = n; }
  int GetCalibrationOffset();
  void SendOffsetCorrection(int16_t value);

  void GetAnalogLimits(int& first, int& second);
  void SetAnalogLimits(int16_t first, int16_t second);
  int GetCalibrationNumber();
  void SetCalibrationNumber(int n);
  int GetAveraging();
  void SetAveraging(int n);

 private:
  std::string QueryParsed(const std::string& prefix, const std::string& command,
                          const std::string& frame);
  std::string GetIdentityText(uint8_t code);
  // LastValues slot of the selected sub-channel, or nullptr when the
  // sub-channel lies outside the stored count.
  int32_t* LastValueSlot();

  bool channelCountKnown_ = false;
  bool scaleKnown_ = false;
  bool sampleReadable_ = false;
};

class TOEMData {
 public:
  // Restarts of a query after port failures before it gives up, and port
  // failures in a row tolerated while a setting waits for its reply. A closed
  // or vanished port fails on every call; this keeps it from hanging us.
  static constexpr int MaxPortRestarts = 3;
  // More than any device says in one reply; a line that keeps streaming
  // without line ends is cut here instead of growing without bound.
  static constexpr size_t MaxReplyBytes = 4096;

  TOEMData() = default;
  TOEMData(const TOEMData&) = delete;
  TOEMData& operator=(const TOEMData&) = delete;

  void AttachPort(TOEMPort* port);
  TOEMPort* Port() const { return port_; }

  std::string TransferQuery(const std::string& frame);
  std::string TransferSetting(const std::string& frame);
  void PortLineEnd();

  // Bus addresses the scan probes: 0 .. ScanAddressCount - 1.
  static constexpr int ScanAddressCount = 21;
  void ScanBus();
  TDeviceParam* ChannelDevice(int index);
  // Told the address about to be probed, and ScanAddressCount once the scan
  // is through, so a caller can show how far a slow scan of a quiet bus got.
  std::function<void(int address)> OnScanProgress;

  std::vector<std::unique_ptr<TDeviceParam>> Devices;
  int ChannelTotal = 0;

  // Hooks the device objects call; context is the bus object.
  static std::string QueryProc(void* context, const std::string& frame);
  static std::string SettingProc(void* context, const std::string& frame);
  // Give a device object this bus's transfers.
  void ConnectTransfers(TDeviceParam& device);

 private:
  // Read until lfWanted line feeds or the idle limit; stops at MaxReplyBytes.
  void Collect(std::string& collected, int lfWanted, int idleLimit, bool swallowErrors);

  TOEMPort* port_ = nullptr;
};
