#pragma once
// Sends every accepted reading to an MQTT broker without ever making the
// measurement loop wait: Reading() only puts the reading into a bounded queue,
// and a thread of the publisher's own connects, sends in order, waits for the
// broker's acknowledgements and reconnects with growing pauses. A reading
// leaves the queue only when the broker has acknowledged it (QoS 1 and 2), so
// a lost connection re-sends what was not confirmed: nothing goes missing,
// one reading may arrive twice. When the queue is full the oldest reading is
// dropped and counted.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "publish/PublishSettings.h"

enum class TPublishState {
  psOff,         // not started, or stopped
  psConnecting,  // an attempt is under way
  psConnected,   // sending
  psWaiting,     // the last attempt failed or the connection was lost; retrying later
};

struct TPublishStatus {
  TPublishState State = TPublishState::psOff;
  std::string Error;       // the last failure in words; empty after a good connect
  uint64_t Accepted = 0;   // readings handed in
  uint64_t Delivered = 0;  // acknowledged by the broker (sent, with QoS 0)
  uint64_t Queued = 0;     // waiting in the queue, unconfirmed ones included
  uint64_t Dropped = 0;    // lost to a full queue
  int Attempts = 0;        // connection attempts since the last good connect
  int RetryInMs = 0;       // while waiting: until the next attempt
};

// One line for the operator: "Connected to host:port, 1234 readings sent".
std::string PublishStatusText(const TPublishStatus& s, const TPublishSettings& settings);

struct TPublisherOptions {
  size_t Capacity = 131072;  // readings the queue holds
  int FirstRetryMs = 1000;   // pause after the first failed attempt, doubled each time
  int MaxRetryMs = 30000;
  int KeepAliveS = 30;
  // Readings sent but not yet acknowledged, at most. A wider window lets the
  // broker answer in larger batches (on loopback it, not the publisher, sets
  // the pace); the client library walks its list of unconfirmed messages for
  // every acknowledgement, so far wider ones cost the publisher more.
  int Window = 800;
};

class TPublisher {
 public:
  explicit TPublisher(const TPublisherOptions& o = TPublisherOptions());
  ~TPublisher();  // Stop()
  TPublisher(const TPublisher&) = delete;
  TPublisher& operator=(const TPublisher&) = delete;

  // Checks the settings and starts the thread (a running one is stopped
  // first). False with the reason when the settings cannot be used.
  bool Start(const TPublishSettings& s, std::string* error = nullptr);
  // Publishes "offline", waits up to timeoutMs for it to be confirmed, and
  // ends the thread. Readings still queued are discarded.
  void Stop(int timeoutMs = 1000);
  bool Running() const;

  // From the measurement loop; takes well under a microsecond unless the
  // thread has to be woken. `when` is the local date-time of the reading.
  void Reading(int address, int channel, double when, double value);
  // The devices of the last scan; published (retained) at once and after
  // every reconnect, with the discovery messages when they are on.
  void SetDevices(const std::vector<TPublishedDevice>& devices);

  TPublishStatus Status() const;
  TPublishSettings Settings() const;

  struct TCore;

 private:
  TPublisherOptions options_;
  std::shared_ptr<TCore> core_;
};

// One connection attempt with these settings, for the dialog's Test button:
// what happened, in plain words ("Connected to ...", "No such host ...",
// "The broker refused the user name or password", ...).
struct TConnectResult {
  bool Ok = false;
  std::string Text;
};
TConnectResult TestConnection(const TPublishSettings& s, int timeoutMs = 5000);
