// Connecting and identifying the bus, polling until the line is lost or a
// stop is asked for, logging and publishing, and the wait between tries.
#include "station/Station.h"

#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "app/LogFlusher.h"
#include "app/LogWriter.h"
#include "app/MeasureStep.h"
#include "app/PortSetup.h"
#include "app/Reading.h"
#include "common/QxClock.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "publish/Publisher.h"
#include "reconnect/BusIdentity.h"
#include "reconnect/ChannelFreshness.h"
#include "reconnect/LineWatch.h"
#include "reconnect/ReconnectSchedule.h"
#include "serial/CPort.h"
#include "station/StationSignals.h"

namespace {

// Raised out of a scan when a stop was asked, so that a scan of a quiet bus
// (seconds) does not hold up the exit.
struct TStopScan {};

// A channel's temperature in the log when it has none to show.
constexpr double kNoValue = NoValueThreshold;

double SecondsBetween(double from, double to) {
  return (to - from) * 24 * 3600;
}

std::string Fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

std::string DescribeBusChange(const std::vector<TStationDevice>& before,
                              const std::vector<TStationDevice>& after) {
  auto identity = [](const std::vector<TStationDevice>& list) {
    TBusIdentity out;
    for (const auto& d : list) out.push_back({d.Address, d.Name, d.Serial, d.Channels});
    return out;
  };
  // One line for the journal.
  std::string text = DescribeBusDifference(identity(before), identity(after));
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

TStation::TStation(const TStationSettings& s, const std::string& quilexIni, std::ostream& events,
                   const TPublishSettings& publish)
    : settings_(s), events_(events), publish_(publish) {
  // The desktop program's port, then the station's own choice of device.
  port_ = std::make_unique<TComPort>();
  ApplyBuiltInPortSettings(*port_);
  std::string why;
  if (!LoadPortSettings(*port_, quilexIni, &why))
    Event(quilexIni + " not read (" + why + "); built-in port settings");
  if (!settings_.Port.empty()) port_->SetPort(settings_.Port);
  bus_ = std::make_unique<TOEMData>();
  bus_->AttachPort(port_.get());
  flusher_ = std::make_unique<TLogFlusher>();
  freshness_ = std::make_unique<TChannelFreshness>();
}

namespace {

// The broker's queue holds BufferHours of readings of one bus, which polls at
// most one channel per 52 ms pause, and never less than the publisher's own
// default.
size_t QueueCapacity(double hours) {
  const double perHour = 3600.0 / 0.052;
  return std::max<size_t>(TPublisherOptions().Capacity, size_t(hours * perHour));
}

}  // namespace

void TStation::WatchBroker() {
  if (!publisher_) return;
  const int64_t now = Clock().TickMs();
  if (now - brokerCheckedMs_ < 250) return;
  brokerCheckedMs_ = now;
  const TPublishStatus st = publisher_->Status();
  const int state = int(st.State);
  const std::string where = publish_.Host + ":" + std::to_string(publish_.Port);
  if (st.State == TPublishState::psConnected && brokerState_ != state) {
    Event("broker connected: " + where);
    brokerError_.clear();
  } else if (st.State == TPublishState::psWaiting && !st.Error.empty() &&
             (brokerState_ == int(TPublishState::psConnected) || brokerError_ != st.Error)) {
    // A broker that stays away is told once per kind of failure, not per try.
    Event((brokerState_ == int(TPublishState::psConnected) ? "broker lost: " : "broker: ") +
          st.Error + " (" + std::to_string(st.Queued) + " readings waiting)");
    brokerError_ = st.Error;
  }
  if (st.State == TPublishState::psConnected || st.State == TPublishState::psWaiting)
    brokerState_ = state;
}

TStation::~TStation() {
  ClosePort();
  bus_.reset();
}

void TStation::Event(const std::string& text) {
  events_ << text << std::endl;
}

void TStation::ClosePort() {
  for (int attempt = 0; attempt < 10 && port_->Connected(); ++attempt) {
    try {
      port_->Close();
    } catch (const std::exception&) {
    }
  }
}

std::vector<TStationDevice> TStation::Identify() {
  // The layout of all devices first, so the exchanges up to the first poll
  // are those of the desktop program's connect.
  ReadChannelLayout(*bus_);
  return IdentifyDevices(*bus_);
}

bool TStation::Connect(std::string& why) {
  try {
    port_->Open();
  } catch (const std::exception& e) {
    why = "cannot open " + port_->Port() + ": " + e.what();
    return false;
  }
  try {
    bus_->OnScanProgress = [](int) {
      if (StopRequested()) throw TStopScan{};
    };
    bus_->ScanBus();
    bus_->OnScanProgress = nullptr;
  } catch (const TStopScan&) {
    bus_->OnScanProgress = nullptr;
    ClosePort();
    why = "stopped";
    return false;
  } catch (const std::exception& e) {
    bus_->OnScanProgress = nullptr;
    ClosePort();
    why = std::string("bus scan failed: ") + e.what();
    return false;
  }
  if (bus_->Devices.empty()) {
    ClosePort();
    why = "no device answered on " + port_->Port();
    return false;
  }
  return true;
}

bool TStation::ChannelStale(size_t i, double now) const {
  return freshness_->Stale(int(i), now, settings_.EveryValue, settings_.Interval);
}

void TStation::WriteLogLine(double now, bool outage) {
  std::vector<double> temps(size_t(std::max(channelTotal_, 0)), kNoValue);
  if (!outage) {
    for (int i = 0; i < channelTotal_; ++i) {
      TDeviceParam* dev = bus_->ChannelDevice(i);
      if (!dev) break;
      if (!ChannelStale(size_t(i), now))
        temps[size_t(i)] = double(dev->LastValue()) / dev->GetScale();
    }
  }
  const std::string line = FormatLogLine(now, temps);
  int err = 0;
  // A failed disk flush of an earlier line fails this one: lines are lost.
  if (!flusher_->TakeFailure(err) && AppendWhole(settings_.LogFile, line)) {
    flusher_->Request(settings_.LogFile);
    ++logLines_;
    if (logFailing_) Event("log file " + settings_.LogFile + " written again");
    logFailing_ = false;
  } else if (!logFailing_) {
    // Reported once; every later line tries again, so a disk that frees up
    // lets the log go on.
    logFailing_ = true;
    Event("Could not access File : " + settings_.LogFile);
  }
}

void TStation::CheckLog(double now, bool newValueInPass, bool outage) {
  TLogTrigger log;
  log.Logging = logging_;
  log.EveryValue = settings_.EveryValue;
  log.IntervalSeconds = settings_.Interval;
  log.LastLogTime = lastLogTime_;
  // The same trigger as the desktop program's; no reading in an outage is new.
  if (!log.Logging || !LogLineDue(log, newValueInPass && !outage, now)) return;
  WriteLogLine(now, outage);
  if (!log.EveryValue) lastLogTime_ = Clock().Now();
}

void TStation::ReopenLogIfAsked() {
  if (!TakeReopenRequest()) return;
  flusher_->Drain();
  // Every line opens the file by its name, so the next one lands in a new
  // file once the old one was moved away.
  if (logging_)
    Event("log file reopened: " + settings_.LogFile);
  else
    Event("SIGHUP: no log file");
}

bool TStation::PollUntilLostOrStop(std::string& why) {
  TLineWatch watch;
  watch.Reset();
  while (port_->Connected()) {
    bool newValueInPass = false;
    for (int i = 0; i < bus_->ChannelTotal; ++i) {
      TDeviceParam* dev = bus_->ChannelDevice(i);
      if (!dev) break;
      int32_t raw = 0;
      const bool valid = dev->ReadSample(raw);
      ++polls_;
      const double now = Clock().Now();
      freshness_->Polled(i, valid, now);
      watch.ChannelPolled(valid);
      if (valid) {
        ++validReadings_;
        const double t = SampleTemperature(raw, dev->GetScale(), dev->SampleReadable());
        if (publisher_) publisher_->Reading(dev->Address, dev->SubChannel, now, t);
        if (t < NoValueThreshold) newValueInPass = true;
      }
      ReopenLogIfAsked();
      CheckLog(now, newValueInPass, false);
      WatchBroker();
      if (OnChannelDone) OnChannelDone(i);
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      if (StopRequested()) return true;
      if (!port_->Connected()) {
        why = "port closed";
        return false;
      }
      if (port_->ThreadCreated() && !port_->EventThreadRunning()) {
        why = "the serial line hung up";
        return false;
      }
    }
    if (bus_->ChannelTotal <= 0) {
      why = "no channel to poll";
      return false;
    }
    watch.PassDone();
    if (watch.Lost()) {
      why = "no valid reading for " + std::to_string(TLineWatch::kFailedPassesForLoss) + " passes";
      return false;
    }
  }
  why = "port closed";
  return false;
}

void TStation::WaitOutage(int64_t untilMs) {
  for (;;) {
    ReopenLogIfAsked();
    WatchBroker();
    if (StopRequested()) return;
    const int64_t nowMs = Clock().TickMs();
    if (nowMs >= untilMs) return;
    int64_t waitMs = untilMs - nowMs;
    if (logging_ && !settings_.EveryValue) {
      // The outage shows in the log with its times: lines of N/A at the
      // interval, no more often than a poll would have written them.
      const double now = Clock().Now();
      const double dueIn = std::max(settings_.Interval, 0.052) - SecondsBetween(lastLogTime_, now);
      if (dueIn <= 0) {
        CheckLog(now, false, true);
        continue;
      }
      waitMs = std::min<int64_t>(waitMs, int64_t(std::ceil(dueIn * 1000)) + 1);
    }
    if (publisher_) waitMs = std::min<int64_t>(waitMs, 250);
    WaitForSignal(int(std::max<int64_t>(waitMs, 1)));
  }
}

int TStation::Run() {
  if (publish_.Enabled) {
    TPublisherOptions o;
    o.Capacity = QueueCapacity(settings_.BufferHours);
    publisher_ = std::make_unique<TPublisher>(o);
    std::string error;
    if (!publisher_->Start(publish_, &error)) {
      Event("publishing off: " + error);
      publisher_.reset();
    }
  }
  logging_ = !settings_.LogFile.empty();
  if (logging_ && !settings_.Append) ::unlink(settings_.LogFile.c_str());
  bool measured = false;  // a bus has been measured: later connects are reconnects
  int attempt = 0;
  int64_t lostAtMs = 0;
  std::string why;
  for (;;) {
    if (StopRequested()) break;
    if (Connect(why)) {
      std::vector<TStationDevice> found = Identify();
      if (!measured) {
        devices_ = found;
        channelTotal_ = bus_->ChannelTotal;
        freshness_->Reset(channelTotal_, Clock().Now());
        lastLogTime_ = Clock().Now();
        Event("connected to " + port_->Port());
      } else {
        const std::string change = DescribeBusChange(devices_, found);
        if (!change.empty()) {
          Event("reconnected to a different bus: " + change + "; stopping");
          ClosePort();
          return 1;
        }
        Event("reconnected to " + port_->Port() + " after " + std::to_string(attempt) +
              (attempt == 1 ? " try, " : " tries, ") +
              std::to_string((Clock().TickMs() - lostAtMs + 500) / 1000) + " s without the line");
      }
      std::ostringstream list;
      list << found.size() << (found.size() == 1 ? " device, " : " devices, ") << bus_->ChannelTotal
           << " channels:";
      for (const auto& d : found)
        list << " " << d.Address << "=" << d.Name << " (serial " << d.Serial << ", " << d.Channels
             << " ch)";
      Event("devices found: " + list.str());
      if (publisher_) {
        std::vector<TPublishedDevice> published;
        for (const auto& d : found)
          published.push_back({d.Address, d.Name, d.Serial, d.Firmware, d.Channels});
        publisher_->SetDevices(published);
      }
      measured = true;
      attempt = 0;
      if (PollUntilLostOrStop(why)) break;
      Event("line lost: " + why);
      // Nothing is read until the line is back: every channel is written as
      // not available until its next valid reading.
      freshness_->LineLost();
      lostAtMs = Clock().TickMs();
      ClosePort();
    } else if (why == "stopped") {
      break;
    } else if (!measured && attempt == 0) {
      Event("connect failed: " + why);
    }
    ++attempt;
    const int delay = int(TReconnectSchedule::DelayBeforeTryMs(attempt));
    Event("reconnect try " + std::to_string(attempt) + " in " + std::to_string(delay / 1000) +
          " s" + (attempt > 1 ? " (" + why + ")" : ""));
    WaitOutage(Clock().TickMs() + delay);
  }
  ClosePort();
  flusher_->Drain();
  // "offline" to the broker; what it has not confirmed by then is dropped,
  // so that the stop stays within a second.
  if (publisher_) publisher_->Stop(500);
  Event("stopped" + (StopSignalName().empty() ? std::string() : " on " + StopSignalName()));
  return 0;
}

int TStation::RunOnce(std::ostream& out) {
  std::string why;
  if (!Connect(why)) {
    Event("connect failed: " + why);
    return 1;
  }
  const std::vector<TStationDevice> found = Identify();
  struct TRow {
    std::string Address, Channel, Device, Serial, Value;
  };
  std::vector<TRow> rows{{"address", "channel", "device", "serial", "value"}};
  for (int i = 0; i < bus_->ChannelTotal; ++i) {
    TDeviceParam* dev = bus_->ChannelDevice(i);
    if (!dev) break;
    const size_t d = size_t(std::find_if(bus_->Devices.begin(), bus_->Devices.end(),
                                         [&](const auto& p) { return p.get() == dev; }) -
                            bus_->Devices.begin());
    int32_t raw = 0;
    const bool valid = dev->ReadSample(raw);
    const double t = SampleTemperature(raw, dev->GetScale(), dev->SampleReadable());
    rows.push_back({std::to_string(dev->Address), std::to_string(dev->SubChannel), found[d].Name,
                    found[d].Serial, valid && t < NoValueThreshold ? Fixed2(t) : "N/A"});
    if (StopRequested()) break;
  }
  ClosePort();
  size_t w[5] = {0, 0, 0, 0, 0};
  for (const TRow& r : rows) {
    w[0] = std::max(w[0], r.Address.size());
    w[1] = std::max(w[1], r.Channel.size());
    w[2] = std::max(w[2], r.Device.size());
    w[3] = std::max(w[3], r.Serial.size());
    w[4] = std::max(w[4], r.Value.size());
  }
  for (const TRow& r : rows)
    out << std::right << std::setw(int(w[0])) << r.Address << "  " << std::setw(int(w[1]))
        << r.Channel << "  " << std::left << std::setw(int(w[2])) << r.Device << "  "
        << std::setw(int(w[3])) << r.Serial << "  " << std::right << std::setw(int(w[4])) << r.Value
        << "\n";
  out.flush();
  return 0;
}
