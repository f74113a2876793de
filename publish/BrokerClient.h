#pragma once
// One connection to the broker through the MQTT client library: set up from
// the settings, connected with a deadline, serviced by poll, flushed corked,
// and every failure put in words for the operator.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "publish/PublishSettings.h"

struct mosquitto;

namespace qxbroker {

int64_t SteadyMs();
// "host:port", as the messages name the broker.
std::string Where(const TPublishSettings& s);

// What the library's callbacks report during one connection.
struct TClientEvents {
  int Connack = -1;  // -1 until the broker answered
  bool Lost = false;
  std::string TlsLog;  // the library's TLS complaints, for the message
  std::vector<int> Acked;
};

// The library's error code `rc` (and errno `err`) as a sentence.
std::string FailureText(int rc, int err, const TClientEvents& ev, const TPublishSettings& s);
// A client set up with the settings; null with `error` when the library
// refuses them.
mosquitto* NewClient(const TPublishSettings& s, TClientEvents* ev, std::string* error);
// Runs the client's socket for up to waitMs: reads, writes what is pending,
// keeps the connection alive. `wakeFd` (optional) ends the wait early.
// Returns the library's error code.
int Service(mosquitto* m, int waitMs, int wakeFd);
// Connects and waits for the broker's answer; the error in words when that
// fails. `stop` ends the wait early.
bool ConnectClient(mosquitto* m, TClientEvents& ev, const TPublishSettings& s, int keepAliveS,
                   int timeoutMs, const std::atomic<bool>* stop, int wakeFd, std::string* error);
// Writes what the library has queued, corked: many messages leave in full
// segments, which spares the broker most of its reads. False when the
// connection failed.
bool Flush(mosquitto* m, int packets);

}  // namespace qxbroker
