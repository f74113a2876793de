#include "publish/Publisher.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

using TSteady = std::chrono::steady_clock;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now().time_since_epoch())
      .count();
}

void LibInit() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Where(const TPublishSettings& s) {
  return s.Host + ":" + std::to_string(s.Port);
}

// What the library's callbacks report during one connection.
struct TClientEvents {
  int Connack = -1;  // -1 until the broker answered
  bool Lost = false;
  std::string TlsLog;  // the library's TLS complaints, for the message
  std::vector<int> Acked;
};

void OnConnect(mosquitto*, void* obj, int rc) {
  static_cast<TClientEvents*>(obj)->Connack = rc;
}
void OnDisconnect(mosquitto*, void* obj, int) {
  static_cast<TClientEvents*>(obj)->Lost = true;
}
void OnPublish(mosquitto*, void* obj, int mid) {
  static_cast<TClientEvents*>(obj)->Acked.push_back(mid);
}
void OnLog(mosquitto*, void* obj, int, const char* text) {
  // Only TLS failures are kept; the library never logs the password.
  if (!text) return;
  if (std::strstr(text, "OpenSSL") || std::strstr(text, "certificate") ||
      std::strstr(text, "TLS")) {
    auto* ev = static_cast<TClientEvents*>(obj);
    if (ev->TlsLog.size() < 1000) ev->TlsLog += std::string(ev->TlsLog.empty() ? "" : "; ") + text;
  }
}

std::string ConnackText(int rc, const TPublishSettings& s) {
  switch (rc) {
    case 1:
      return "The broker at " + Where(s) + " does not speak this MQTT version.";
    case 2:
      return "The broker at " + Where(s) + " refused the client identifier.";
    case 3:
      return "The broker at " + Where(s) + " is unavailable at the moment.";
    case 4:
    case 5:
      return "The broker at " + Where(s) + " refused the user name or password (not authorised).";
    default:
      return "The broker at " + Where(s) + " refused the connection (code " + std::to_string(rc) +
             ").";
  }
}

std::string FailureText(int rc, int err, const TClientEvents& ev, const TPublishSettings& s) {
  if (rc == MOSQ_ERR_EAI) return "No such host: " + s.Host + " (the name is not known).";
  if (rc == MOSQ_ERR_TLS || (!ev.TlsLog.empty() && s.TLS)) {
    if (ev.TlsLog.find("verify failed") != std::string::npos ||
        ev.TlsLog.find("certificate") != std::string::npos)
      return "The broker's certificate is not trusted (" + Where(s) +
             "): it is not signed by the CA " +
             (s.CAFile.empty() ? std::string("of the system store") : "file " + s.CAFile) +
             " or was made for another host name.";
    return "The TLS connection to " + Where(s) + " failed" +
           (ev.TlsLog.empty() ? std::string(".") : ": " + ev.TlsLog);
  }
  if (rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_REFUSED) {
    if (err == ECONNREFUSED)
      return "The broker at " + Where(s) + " refused the connection (nothing listens there).";
    if (err != 0)
      return "The broker at " + Where(s) + " cannot be reached: " + std::strerror(err) + ".";
  }
  if (rc == MOSQ_ERR_CONN_LOST) return "The connection to the broker at " + Where(s) + " was lost.";
  std::string why = mosquitto_strerror(rc);
  if (!why.empty() && why.back() == '.') why.pop_back();
  return "The connection to " + Where(s) + " failed: " + why + ".";
}

// A client set up with the settings; null with `error` when the library
// refuses them.
mosquitto* NewClient(const TPublishSettings& s, TClientEvents* ev, std::string* error) {
  LibInit();
  mosquitto* m = mosquitto_new(nullptr, true, ev);
  if (!m) {
    *error = "The MQTT client could not be created.";
    return nullptr;
  }
  mosquitto_connect_callback_set(m, OnConnect);
  mosquitto_disconnect_callback_set(m, OnDisconnect);
  mosquitto_publish_callback_set(m, OnPublish);
  mosquitto_log_callback_set(m, OnLog);
  mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
  // Our own window limits what is in flight; the library must not hold
  // messages back in a queue of its own.
  mosquitto_max_inflight_messages_set(m, 0);
  int rc = MOSQ_ERR_SUCCESS;
  if (!s.Username.empty())
    rc = mosquitto_username_pw_set(m, s.Username.c_str(),
                                   s.Password.empty() ? nullptr : s.Password.c_str());
  const std::string status = StationTopic(s) + "/status";
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(m, status.c_str(), 7, "offline", s.QoS, true);
  if (rc == MOSQ_ERR_SUCCESS && s.TLS) {
    if (s.CAFile.empty()) {
      rc = mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      rc = mosquitto_tls_set(m, s.CAFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    // The certificate and the host name it was made for are both checked.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m, 1, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, false);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("The MQTT client refused the settings: ") + mosquitto_strerror(rc) + ".";
    mosquitto_destroy(m);
    return nullptr;
  }
  return m;
}

// Runs the client's socket for up to waitMs: reads, writes what is pending,
// keeps the connection alive. `wakeFd` (optional) ends the wait early.
// Returns the library's error code.
int Service(mosquitto* m, int waitMs, int wakeFd) {
  pollfd fds[2];
  int n = 0;
  const int sock = mosquitto_socket(m);
  if (sock < 0) return MOSQ_ERR_NO_CONN;
  fds[n++] = pollfd{sock, short(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
  if (wakeFd >= 0) fds[n++] = pollfd{wakeFd, POLLIN, 0};
  const int r = ::poll(fds, nfds_t(n), waitMs);
  if (r < 0 && errno != EINTR) return MOSQ_ERR_ERRNO;
  int rc = MOSQ_ERR_SUCCESS;
  if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
    rc = mosquitto_loop_read(m, 100);
    // Acknowledge at once: a broker that holds back small packets (Nagle)
    // would otherwise wait for our delayed ACK before sending the next
    // acknowledgements, and the window would stall for tens of milliseconds.
    const int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m)) rc = mosquitto_loop_write(m, 100);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
  if (wakeFd >= 0 && n == 2 && (fds[1].revents & POLLIN)) {
    uint64_t v;
    if (::read(wakeFd, &v, sizeof v) < 0) {
      // Nothing was pending after all.
    }
  }
  return rc;
}

// Connects and waits for the broker's answer; the error in words when that
// fails. `stop` ends the wait early.
bool ConnectClient(mosquitto* m, TClientEvents& ev, const TPublishSettings& s, int keepAliveS,
                   int timeoutMs, const std::atomic<bool>* stop, int wakeFd, std::string* error) {
  errno = 0;
  int rc = mosquitto_connect(m, s.Host.c_str(), s.Port, keepAliveS);
  const int err = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = FailureText(rc, err, ev, s);
    return false;
  }
  const int64_t deadline = SteadyMs() + timeoutMs;
  while (ev.Connack < 0) {
    if (stop && stop->load()) {
      *error = "Stopped.";
      return false;
    }
    const int64_t left = deadline - SteadyMs();
    if (left <= 0) {
      *error = "The broker at " + Where(s) + " did not answer" +
               (s.TLS ? std::string(" (does it offer TLS on this port?).")
                      : std::string(" (does it expect TLS?)."));
      return false;
    }
    errno = 0;
    rc = Service(m, int(std::min<int64_t>(left, 200)), wakeFd);
    if (ev.Connack > 0) break;  // refused: the library reports it as an error too
    if (rc != MOSQ_ERR_SUCCESS || ev.Lost) {
      const int e = errno;
      if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) rc = MOSQ_ERR_CONN_LOST;
      *error = FailureText(rc, e, ev, s);
      return false;
    }
  }
  if (ev.Connack != 0) {
    *error = ConnackText(ev.Connack, s);
    return false;
  }
  return true;
}

constexpr uint64_t kNotAReading = UINT64_MAX;
// How often, at most, the retained last values follow a backlog being sent.
constexpr int kLastEveryMs = 250;

// Writes what the library has queued, corked: many messages leave in full
// segments, which spares the broker most of its reads. False when the
// connection failed.
bool Flush(mosquitto* m, int packets) {
  if (!mosquitto_want_write(m)) return true;
  const int sock = mosquitto_socket(m);
  const int cork = 1, uncork = 0;
  ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
  const int rc = mosquitto_loop_write(m, std::max(packets, 1));
  ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
  // A full socket buffer is no failure: Service writes the rest.
  return rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_ERRNO && errno == EAGAIN);
}

struct TSlot {
  uint64_t Seq = UINT64_MAX;
  double When = 0;
  double Value = 0;
  int16_t Address = 0;
  int16_t Channel = 0;
  bool Acked = false;
};

}  // namespace

std::string PublishStatusText(const TPublishStatus& st, const TPublishSettings& s) {
  std::string t;
  switch (st.State) {
    case TPublishState::psOff:
      return "Publishing is off.";
    case TPublishState::psConnecting:
      t = "Connecting to " + Where(s) + "...";
      break;
    case TPublishState::psConnected:
      t = "Connected to " + Where(s) + ", " + std::to_string(st.Delivered) + " readings sent";
      break;
    case TPublishState::psWaiting:
      t = st.Error + " Trying again in " + std::to_string((st.RetryInMs + 999) / 1000) + " s";
      break;
  }
  if (st.Queued > 0 && st.State != TPublishState::psConnected)
    t += ", " + std::to_string(st.Queued) + " readings waiting";
  else if (st.Queued > 0)
    t += ", " + std::to_string(st.Queued) + " not yet confirmed";
  if (st.Dropped > 0) t += ", " + std::to_string(st.Dropped) + " dropped (queue full)";
  return t + ".";
}

struct TPublisher::TCore {
  TPublishSettings Settings;
  TPublisherOptions Options;
  int WakeFd = -1;
  std::atomic<bool> Stop{false};
  int StopTimeoutMs = 1000;

  mutable std::mutex Lock;
  // The queue: readings Head..Tail-1 in Ring[seq % capacity]; Head..SendPos-1
  // are sent and await their acknowledgement.
  std::vector<TSlot> Ring;
  uint64_t Head = 0, SendPos = 0, Tail = 0;
  uint64_t Dropped = 0;
  bool Sleeping = false;
  bool DevicesChanged = false;
  std::vector<TPublishedDevice> Devices;
  TPublishStatus Status;
  int64_t RetryAt = 0;

  std::mutex DoneLock;
  std::condition_variable DoneCv;
  bool Done = false;

  ~TCore() {
    if (WakeFd >= 0) ::close(WakeFd);
  }

  void Wake() {
    const uint64_t one = 1;
    if (::write(WakeFd, &one, sizeof one) < 0) {
      // The counter is already non-zero: the thread wakes anyway.
    }
  }

  void SetState(TPublishState st, const std::string& error, bool keepError = false) {
    std::lock_guard<std::mutex> g(Lock);
    Status.State = st;
    if (!keepError) Status.Error = error;
  }

  // Publishes one message; false when the library refused it (the
  // connection is then treated as lost).
  static bool Send(mosquitto* m, const std::string& topic, const std::string& payload, int qos,
                   bool retain, int* mid) {
    return mosquitto_publish(m, mid, topic.c_str(), int(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
  }

  // What the network thread keeps per channel: the topics, made once, and
  // the newest reading sent while its retained copy is still to go out
  // (kept across reconnects, so that none is forgotten).
  struct TChannelOut {
    std::string Topic, LastTopic, Last;
    bool LastPending = false;
  };
  std::unordered_map<uint32_t, TChannelOut> Channels;
  std::vector<TChannelOut*> LastPending;
  TChannelOut& ChannelOut(int address, int channel) {
    auto [it, added] = Channels.try_emplace(uint32_t(uint16_t(address)) << 16 | uint16_t(channel));
    if (added) {
      it->second.Topic = ReadingTopic(Settings, address, channel);
      it->second.LastTopic = it->second.Topic + "/last";
    }
    return it->second;
  }

  void Run();
  bool Session(mosquitto* m, TClientEvents& ev);
  void WaitMs(int ms);
};

void TPublisher::TCore::WaitMs(int ms) {
  const int64_t end = SteadyMs() + ms;
  while (!Stop.load()) {
    const int64_t left = end - SteadyMs();
    if (left <= 0) return;
    {
      std::lock_guard<std::mutex> g(Lock);
      Status.RetryInMs = int(left);
    }
    pollfd p{WakeFd, POLLIN, 0};
    if (::poll(&p, 1, int(std::min<int64_t>(left, 250))) > 0) {
      uint64_t v;
      if (::read(WakeFd, &v, sizeof v) < 0) {
      }
    }
  }
}

void TPublisher::TCore::Run() {
  int backoff = Options.FirstRetryMs;
  while (!Stop.load()) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Status.State = TPublishState::psConnecting;
      ++Status.Attempts;
    }
    TClientEvents ev;
    std::string error;
    mosquitto* m = NewClient(Settings, &ev, &error);
    bool ok = m && ConnectClient(m, ev, Settings, Options.KeepAliveS, 10000, &Stop, WakeFd, &error);
    if (ok) {
      {
        std::lock_guard<std::mutex> g(Lock);
        Status.State = TPublishState::psConnected;
        Status.Error.clear();
        Status.Attempts = 0;
      }
      backoff = Options.FirstRetryMs;
      ok = Session(m, ev);
      if (!ok) error = FailureText(MOSQ_ERR_CONN_LOST, 0, ev, Settings);
    }
    if (m) mosquitto_destroy(m);
    {
      // Whatever was not confirmed goes out again on the next connection.
      std::lock_guard<std::mutex> g(Lock);
      SendPos = Head;
    }
    if (Stop.load()) break;
    {
      std::lock_guard<std::mutex> g(Lock);
      Status.State = TPublishState::psWaiting;
      Status.Error = error;
      Status.RetryInMs = backoff;
    }
    WaitMs(backoff);
    backoff = std::min(backoff * 2, Options.MaxRetryMs);
  }
  std::lock_guard<std::mutex> g(Lock);
  Status.State = TPublishState::psOff;
}

bool TPublisher::TCore::Session(mosquitto* m, TClientEvents& ev) {
  const TPublishSettings& s = Settings;
  const int qos = s.QoS;
  const std::string base = StationTopic(s);
  // Publishing only queues the packets; a batch is written at once, corked
  // (Flush), instead of one write per message as it is published.
  mosquitto_threaded_set(m, true);
  // With a log callback set the library formats a line for every message
  // sent and confirmed. Only TLS complaints are kept, and a plain connection
  // has none once it stands.
  if (!s.TLS) mosquitto_log_callback_set(m, nullptr);
  int mid = 0;
  // Message ids of readings in flight, to the reading; other messages have
  // ids too, which must not confirm a reading that once had the same id.
  std::vector<uint64_t> readingOfMid(65536, kNotAReading);
  size_t inflight = 0;
  int queued = 0;  // messages published since the last flush
  auto sendOther = [&](const std::string& topic, const std::string& payload) {
    ++queued;
    if (!Send(m, topic, payload, qos, true, &mid)) return false;
    readingOfMid[size_t(mid) & 0xffff] = kNotAReading;
    return true;
  };
  if (!sendOther(base + "/status", "online")) return false;
  {
    std::lock_guard<std::mutex> g(Lock);
    DevicesChanged = !Devices.empty();
  }
  uint64_t droppedSent = 0;
  int64_t droppedAt = 0;
  int64_t lastAt = 0;
  std::vector<TSlot> batch;
  batch.reserve(size_t(Options.Window));
  std::vector<uint64_t> acked;
  std::string payload;
  const size_t cap = Ring.size();
  const size_t window = size_t(Options.Window);

  while (true) {
    // Acknowledgements first: they free the window.
    if (!ev.Acked.empty()) {
      acked.clear();
      for (int id : ev.Acked) {
        uint64_t& reading = readingOfMid[size_t(id) & 0xffff];
        if (reading == kNotAReading) continue;
        acked.push_back(reading);
        reading = kNotAReading;
        --inflight;
      }
      ev.Acked.clear();
      std::lock_guard<std::mutex> g(Lock);
      for (uint64_t seq : acked) {
        TSlot& slot = Ring[seq % cap];
        if (seq >= Head && slot.Seq == seq) slot.Acked = true;
      }
      while (Head < SendPos && Ring[Head % cap].Seq == Head && Ring[Head % cap].Acked) {
        ++Head;
        ++Status.Delivered;
      }
    }
    if (Stop.load()) break;

    // Then what waits, in order, as far as the window allows.
    std::vector<TPublishedDevice> devices;
    bool devicesChanged = false, caughtUp = false;
    uint64_t dropped = 0;
    batch.clear();
    {
      std::lock_guard<std::mutex> g(Lock);
      const size_t room = inflight < window ? window - inflight : 0;
      const uint64_t waiting = Tail - SendPos;
      uint64_t n = std::min<uint64_t>(room, waiting);
      // With a backlog, a nearly full window waits for more confirmations
      // rather than going out a few readings at a time, each pass costing
      // its own calls.
      if (n < waiting && room < window / 4 && inflight > 0) n = 0;
      for (uint64_t k = 0; k < n; ++k) batch.push_back(Ring[(SendPos + k) % cap]);
      SendPos += n;
      caughtUp = SendPos == Tail;
      if (DevicesChanged) {
        devices = Devices;
        devicesChanged = true;
        DevicesChanged = false;
      }
      dropped = Dropped;
    }
    if (devicesChanged) {
      if (!sendOther(base + "/devices", DevicesPayload(devices))) return false;
      if (s.HomeAssistant) {
        for (const auto& d : devices)
          for (int ch = 1; ch <= d.Channels; ++ch)
            if (!sendOther(DiscoveryTopic(s, d.Address, ch), DiscoveryPayload(s, d, ch)))
              return false;
      }
    }
    if (dropped != droppedSent && SteadyMs() - droppedAt >= 1000) {
      if (!sendOther(base + "/dropped", std::to_string(dropped))) return false;
      droppedSent = dropped;
      droppedAt = SteadyMs();
    }
    for (const TSlot& r : batch) {
      TChannelOut& out = ChannelOut(r.Address, r.Channel);
      payload.clear();
      AppendReadingPayload(payload, r.When, r.Value);
      ++queued;
      if (mosquitto_publish(m, &mid, out.Topic.c_str(), int(payload.size()), payload.data(), qos,
                            false) != MOSQ_ERR_SUCCESS)
        return false;
      if (qos > 0) {
        readingOfMid[size_t(mid) & 0xffff] = r.Seq;
        ++inflight;
      }
      out.Last = payload;
      if (!out.LastPending) {
        out.LastPending = true;
        LastPending.push_back(&out);
      }
    }
    // The retained last value of each channel: at once when all is sent, at
    // intervals while a backlog goes out, never once per reading.
    if (!LastPending.empty() && (caughtUp || SteadyMs() - lastAt >= kLastEveryMs)) {
      for (TChannelOut* out : LastPending) {
        if (!sendOther(out->LastTopic, out->Last)) return false;
        out->LastPending = false;
      }
      LastPending.clear();
      lastAt = SteadyMs();
    }
    if (!Flush(m, queued + 8)) return false;
    queued = 0;
    if (qos == 0 && !batch.empty()) {
      // Nothing will be acknowledged: a reading is done once it is handed on.
      std::lock_guard<std::mutex> g(Lock);
      for (const TSlot& r : batch)
        if (Head == r.Seq) {
          ++Head;
          ++Status.Delivered;
        }
    }

    int wait = 0;
    if (batch.empty()) {
      // Asleep until a reading wakes the thread, or until the broker's
      // confirmations make room in the window.
      std::lock_guard<std::mutex> g(Lock);
      Sleeping = SendPos == Tail && !DevicesChanged;
      wait = 1000;
    }
    const int rc = Service(m, wait, WakeFd);
    {
      std::lock_guard<std::mutex> g(Lock);
      Sleeping = false;
    }
    if (rc != MOSQ_ERR_SUCCESS || ev.Lost) return false;
  }

  // The last values still held back go out before "offline".
  for (TChannelOut* out : LastPending) {
    if (!sendOther(out->LastTopic, out->Last)) break;
    out->LastPending = false;
  }
  LastPending.clear();
  // A clean stop: "offline" replaces the retained "online", confirmed by the
  // broker when it can be within the time given.
  int offMid = -1;
  if (Send(m, base + "/status", "offline", qos, true, &offMid)) {
    const int64_t end = SteadyMs() + StopTimeoutMs;
    bool confirmed = false;
    while (!confirmed && SteadyMs() < end) {
      if (Service(m, 50, -1) != MOSQ_ERR_SUCCESS || ev.Lost) break;
      for (int id : ev.Acked) confirmed = confirmed || id == offMid;
      ev.Acked.clear();
      if (qos == 0 && !mosquitto_want_write(m)) confirmed = true;
    }
  }
  mosquitto_disconnect(m);
  for (int i = 0; i < 10 && mosquitto_want_write(m); ++i)
    if (Service(m, 20, -1) != MOSQ_ERR_SUCCESS) break;
  return true;
}

TPublisher::TPublisher(const TPublisherOptions& o) : options_(o) {}

TPublisher::~TPublisher() {
  Stop();
}

bool TPublisher::Start(const TPublishSettings& s, std::string* error) {
  Stop();
  const std::string why = ValidatePublishSettings(s);
  if (!why.empty()) {
    if (error) *error = why;
    return false;
  }
  auto core = std::make_shared<TCore>();
  core->Settings = s;
  core->Options = options_;
  if (core->Options.Capacity < 1) core->Options.Capacity = 1;
  if (core->Options.Window < 1) core->Options.Window = 1;
  core->Ring.assign(core->Options.Capacity, TSlot());
  core->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (core->WakeFd < 0) {
    if (error) *error = std::string("No event descriptor: ") + std::strerror(errno);
    return false;
  }
  core->Status.State = TPublishState::psConnecting;
  std::thread([core] {
    // Woken by a reading, this thread must not take the processor from the
    // measurement loop that woke it; it runs as soon as the loop pauses.
    sched_param batch{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    core->Run();
    std::lock_guard<std::mutex> g(core->DoneLock);
    core->Done = true;
    core->DoneCv.notify_all();
  }).detach();
  core_ = core;
  return true;
}

void TPublisher::Stop(int timeoutMs) {
  if (!core_) return;
  std::shared_ptr<TCore> core = std::move(core_);
  core->StopTimeoutMs = timeoutMs;
  core->Stop = true;
  core->Wake();
  // A connection attempt to a silent host can block inside the library for
  // long; the thread owns a reference and finishes on its own then.
  std::unique_lock<std::mutex> g(core->DoneLock);
  core->DoneCv.wait_for(g, std::chrono::milliseconds(timeoutMs + 2000), [&] { return core->Done; });
}

bool TPublisher::Running() const {
  return core_ != nullptr;
}

void TPublisher::Reading(int address, int channel, double when, double value) {
  TCore* c = core_.get();
  if (!c) return;
  bool wake;
  {
    std::lock_guard<std::mutex> g(c->Lock);
    const size_t cap = c->Ring.size();
    if (c->Tail - c->Head == cap) {
      ++c->Head;
      ++c->Dropped;
      if (c->SendPos < c->Head) c->SendPos = c->Head;
    }
    TSlot& slot = c->Ring[c->Tail % cap];
    slot.Seq = c->Tail;
    slot.When = when;
    slot.Value = value;
    slot.Address = int16_t(address);
    slot.Channel = int16_t(channel);
    slot.Acked = false;
    ++c->Tail;
    ++c->Status.Accepted;
    wake = c->Sleeping;
    c->Sleeping = false;
  }
  if (wake) c->Wake();
}

void TPublisher::SetDevices(const std::vector<TPublishedDevice>& devices) {
  TCore* c = core_.get();
  if (!c) return;
  bool wake;
  {
    std::lock_guard<std::mutex> g(c->Lock);
    c->Devices = devices;
    c->DevicesChanged = true;
    wake = c->Sleeping;
  }
  if (wake) c->Wake();
}

TPublishStatus TPublisher::Status() const {
  if (!core_) return TPublishStatus();
  std::lock_guard<std::mutex> g(core_->Lock);
  TPublishStatus s = core_->Status;
  s.Queued = core_->Tail - core_->Head;
  s.Dropped = core_->Dropped;
  return s;
}

TPublishSettings TPublisher::Settings() const {
  return core_ ? core_->Settings : TPublishSettings();
}

TConnectResult TestConnection(const TPublishSettings& s, int timeoutMs) {
  TConnectResult r;
  const std::string why = ValidatePublishSettings(s);
  if (!why.empty()) {
    r.Text = why;
    return r;
  }
  TClientEvents ev;
  std::string error;
  mosquitto* m = NewClient(s, &ev, &error);
  if (!m) {
    r.Text = error;
    return r;
  }
  r.Ok = ConnectClient(m, ev, s, 30, timeoutMs, nullptr, -1, &error);
  if (r.Ok) {
    r.Text = "Connected to the broker at " + Where(s) +
             (s.TLS ? " over TLS, certificate trusted." : ".");
    mosquitto_disconnect(m);
    for (int i = 0; i < 5 && mosquitto_want_write(m); ++i)
      if (Service(m, 20, -1) != MOSQ_ERR_SUCCESS) break;
  } else {
    r.Text = error;
  }
  mosquitto_destroy(m);
  return r;
}
