#pragma once
// The headless station: the desktop program's port set-up, bus scan and
// polling loop with its log, run without a window until a signal stops it,
// reconnecting by itself when the line is lost.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "protocol/DeviceInfo.h"
#include "publish/PublishSettings.h"
#include "station/StationArgs.h"

class TComPort;
class TLogFlusher;
class TPublisher;
class TChannelFreshness;
class TOEMData;

// One device of the last scan, as events, the --once table and the broker
// name it.
using TStationDevice = TDeviceInfo;

// Why a bus answering after a reconnect is not the one measured before, in
// words on one line; empty when it is the same (address, name, serial
// number, channels).
std::string DescribeBusChange(const std::vector<TStationDevice>& before,
                              const std::vector<TStationDevice>& after);

class TStation {
 public:
  // quilexIni: the port settings file; events: where the event lines go;
  // publish: [Publish], used when it is enabled.
  TStation(const TStationSettings& s, const std::string& quilexIni, std::ostream& events,
           const TPublishSettings& publish = TPublishSettings());
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;

  // Measures until a stop is requested (0) or the bus changed (1).
  int Run();
  // One pass over all channels printed to out; 0, or 1 when the bus could
  // not be read.
  int RunOnce(std::ostream& out);

  // Observer after each channel's turn (reading taken, log line checked);
  // for tests and the bench.
  std::function<void(int channel)> OnChannelDone;
  // Counts since the start.
  uint64_t Polls() const { return polls_; }
  uint64_t ValidReadings() const { return validReadings_; }
  uint64_t LogLines() const { return logLines_; }

 private:
  // Opens the port and scans; false with the reason when no bus answers.
  bool Connect(std::string& why);
  void ClosePort();
  // Polls until the line is lost (false, with why) or a stop is asked (true).
  bool PollUntilLostOrStop(std::string& why);
  // Waits for the next reconnect attempt, writing the outage's log lines.
  void WaitOutage(int64_t untilMs);
  void CheckLog(double now, bool newValueInPass, bool outage);
  void WriteLogLine(double now, bool outage);
  void ReopenLogIfAsked();
  void Event(const std::string& text);
  std::vector<TStationDevice> Identify();
  bool ChannelStale(size_t i, double now) const;
  // Tells the broker's connects and losses as events, at most every 250 ms.
  void WatchBroker();

  TStationSettings settings_;
  std::ostream& events_;
  std::unique_ptr<TComPort> port_;
  std::unique_ptr<TOEMData> bus_;
  std::vector<TStationDevice> devices_;
  std::unique_ptr<TChannelFreshness> freshness_;
  std::unique_ptr<TLogFlusher> flusher_;
  std::unique_ptr<TPublisher> publisher_;
  TPublishSettings publish_;
  int64_t brokerCheckedMs_ = 0;
  int brokerState_ = 0;  // TPublishState last told
  std::string brokerError_;
  int channelTotal_ = 0;  // of the bus being measured, also while it is lost
  double lastLogTime_ = 0;
  bool logging_ = false;
  bool logFailing_ = false;
  uint64_t polls_ = 0, validReadings_ = 0, logLines_ = 0;
};
