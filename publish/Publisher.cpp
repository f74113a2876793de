// The publisher's queue and its network thread: readings in from the loop,
// connections made and retried, and one connection's sending as named steps.
#include "publish/Publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "publish/BrokerClient.h"

using namespace qxbroker;

namespace {

constexpr uint64_t kNotAReading = UINT64_MAX;
// How often, at most, the retained last values follow a backlog being sent.
constexpr int kLastEveryMs = 250;

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

namespace {

// One connection's sending, from "online" to the clean stop. What it keeps
// lives as long as the connection; the queue and the per-channel topics stay
// with the core, so that a reconnect picks them up.
class TSession {
 public:
  TSession(TPublisher::TCore& core, mosquitto* m, TClientEvents& ev)
      : core_(core),
        m_(m),
        ev_(ev),
        s_(core.Settings),
        qos_(core.Settings.QoS),
        base_(StationTopic(core.Settings)),
        readingOfMid_(65536, kNotAReading),
        cap_(core.Ring.size()),
        window_(size_t(core.Options.Window)) {
    batch_.reserve(size_t(core.Options.Window));
  }

  // False when the connection failed; true after a clean stop.
  bool Run();

 private:
  // What one pass takes from the shared state under the lock.
  struct TTaken {
    std::vector<TPublishedDevice> Devices;
    bool DevicesChanged = false;
    bool CaughtUp = false;
    uint64_t Dropped = 0;
  };

  bool SendOther(const std::string& topic, const std::string& payload);
  void TakeAcknowledgements();
  TTaken TakeBatch();
  bool SendDevices(const std::vector<TPublishedDevice>& devices);
  bool SendReadings();
  bool SendLastValues();
  void HandOnUnconfirmed();
  int ServiceOnce();
  void CloseCleanly();

  TPublisher::TCore& core_;
  mosquitto* m_;
  TClientEvents& ev_;
  const TPublishSettings& s_;
  const int qos_;
  const std::string base_;
  int mid_ = 0;
  // Message ids of readings in flight, to the reading; other messages have
  // ids too, which must not confirm a reading that once had the same id.
  std::vector<uint64_t> readingOfMid_;
  size_t inflight_ = 0;
  int queued_ = 0;  // messages published since the last flush
  uint64_t droppedSent_ = 0;
  int64_t droppedAt_ = 0;
  int64_t lastAt_ = 0;
  std::vector<TSlot> batch_;
  std::vector<uint64_t> acked_;
  std::string payload_;
  const size_t cap_;
  const size_t window_;
};

bool TSession::SendOther(const std::string& topic, const std::string& payload) {
  ++queued_;
  if (!TPublisher::TCore::Send(m_, topic, payload, qos_, true, &mid_)) return false;
  readingOfMid_[size_t(mid_) & 0xffff] = kNotAReading;
  return true;
}

// Acknowledgements free the window; the queue's head moves over every
// reading confirmed in order.
void TSession::TakeAcknowledgements() {
  if (ev_.Acked.empty()) return;
  acked_.clear();
  for (int id : ev_.Acked) {
    uint64_t& reading = readingOfMid_[size_t(id) & 0xffff];
    if (reading == kNotAReading) continue;
    acked_.push_back(reading);
    reading = kNotAReading;
    --inflight_;
  }
  ev_.Acked.clear();
  std::lock_guard<std::mutex> g(core_.Lock);
  for (uint64_t seq : acked_) {
    TSlot& slot = core_.Ring[seq % cap_];
    if (seq >= core_.Head && slot.Seq == seq) slot.Acked = true;
  }
  while (core_.Head < core_.SendPos && core_.Ring[core_.Head % cap_].Seq == core_.Head &&
         core_.Ring[core_.Head % cap_].Acked) {
    ++core_.Head;
    ++core_.Status.Delivered;
  }
}

// What waits, in order, as far as the window allows; and the devices and the
// drop count, when they changed.
TSession::TTaken TSession::TakeBatch() {
  TTaken t;
  batch_.clear();
  std::lock_guard<std::mutex> g(core_.Lock);
  const size_t room = inflight_ < window_ ? window_ - inflight_ : 0;
  const uint64_t waiting = core_.Tail - core_.SendPos;
  uint64_t n = std::min<uint64_t>(room, waiting);
  // With a backlog, a nearly full window waits for more confirmations
  // rather than going out a few readings at a time, each pass costing
  // its own calls.
  if (n < waiting && room < window_ / 4 && inflight_ > 0) n = 0;
  for (uint64_t k = 0; k < n; ++k) batch_.push_back(core_.Ring[(core_.SendPos + k) % cap_]);
  core_.SendPos += n;
  t.CaughtUp = core_.SendPos == core_.Tail;
  if (core_.DevicesChanged) {
    t.Devices = core_.Devices;
    t.DevicesChanged = true;
    core_.DevicesChanged = false;
  }
  t.Dropped = core_.Dropped;
  return t;
}

bool TSession::SendDevices(const std::vector<TPublishedDevice>& devices) {
  if (!SendOther(base_ + "/devices", DevicesPayload(devices))) return false;
  if (s_.HomeAssistant) {
    for (const auto& d : devices)
      for (int ch = 1; ch <= d.Channels; ++ch)
        if (!SendOther(DiscoveryTopic(s_, d.Address, ch), DiscoveryPayload(s_, d, ch)))
          return false;
  }
  return true;
}

bool TSession::SendReadings() {
  for (const TSlot& r : batch_) {
    auto& out = core_.ChannelOut(r.Address, r.Channel);
    payload_.clear();
    AppendReadingPayload(payload_, r.When, r.Value);
    ++queued_;
    if (mosquitto_publish(m_, &mid_, out.Topic.c_str(), int(payload_.size()), payload_.data(), qos_,
                          false) != MOSQ_ERR_SUCCESS)
      return false;
    if (qos_ > 0) {
      readingOfMid_[size_t(mid_) & 0xffff] = r.Seq;
      ++inflight_;
    }
    out.Last = payload_;
    if (!out.LastPending) {
      out.LastPending = true;
      core_.LastPending.push_back(&out);
    }
  }
  return true;
}

// The retained last value of each channel that has one still to go out.
bool TSession::SendLastValues() {
  for (auto* out : core_.LastPending) {
    if (!SendOther(out->LastTopic, out->Last)) return false;
    out->LastPending = false;
  }
  core_.LastPending.clear();
  return true;
}

// With QoS 0 nothing will be acknowledged: a reading is done once it is
// handed on.
void TSession::HandOnUnconfirmed() {
  if (qos_ != 0 || batch_.empty()) return;
  std::lock_guard<std::mutex> g(core_.Lock);
  for (const TSlot& r : batch_)
    if (core_.Head == r.Seq) {
      ++core_.Head;
      ++core_.Status.Delivered;
    }
}

int TSession::ServiceOnce() {
  int wait = 0;
  if (batch_.empty()) {
    // Asleep until a reading wakes the thread, or until the broker's
    // confirmations make room in the window.
    std::lock_guard<std::mutex> g(core_.Lock);
    core_.Sleeping = core_.SendPos == core_.Tail && !core_.DevicesChanged;
    wait = 1000;
  }
  const int rc = Service(m_, wait, core_.WakeFd);
  {
    std::lock_guard<std::mutex> g(core_.Lock);
    core_.Sleeping = false;
  }
  return rc;
}

// A clean stop: the last values still held back go out, then "offline"
// replaces the retained "online", confirmed by the broker when it can be
// within the time given.
void TSession::CloseCleanly() {
  for (auto* out : core_.LastPending) {
    if (!SendOther(out->LastTopic, out->Last)) break;
    out->LastPending = false;
  }
  core_.LastPending.clear();
  int offMid = -1;
  if (TPublisher::TCore::Send(m_, base_ + "/status", "offline", qos_, true, &offMid)) {
    const int64_t end = SteadyMs() + core_.StopTimeoutMs;
    bool confirmed = false;
    while (!confirmed && SteadyMs() < end) {
      if (Service(m_, 50, -1) != MOSQ_ERR_SUCCESS || ev_.Lost) break;
      for (int id : ev_.Acked) confirmed = confirmed || id == offMid;
      ev_.Acked.clear();
      if (qos_ == 0 && !mosquitto_want_write(m_)) confirmed = true;
    }
  }
  mosquitto_disconnect(m_);
  for (int i = 0; i < 10 && mosquitto_want_write(m_); ++i)
    if (Service(m_, 20, -1) != MOSQ_ERR_SUCCESS) break;
}

bool TSession::Run() {
  // Publishing only queues the packets; a batch is written at once, corked
  // (Flush), instead of one write per message as it is published.
  mosquitto_threaded_set(m_, true);
  // With a log callback set the library formats a line for every message
  // sent and confirmed. Only TLS complaints are kept, and a plain connection
  // has none once it stands.
  if (!s_.TLS) mosquitto_log_callback_set(m_, nullptr);
  if (!SendOther(base_ + "/status", "online")) return false;
  {
    std::lock_guard<std::mutex> g(core_.Lock);
    core_.DevicesChanged = !core_.Devices.empty();
  }
  while (true) {
    TakeAcknowledgements();
    if (core_.Stop.load()) break;
    const TTaken t = TakeBatch();
    if (t.DevicesChanged && !SendDevices(t.Devices)) return false;
    if (t.Dropped != droppedSent_ && SteadyMs() - droppedAt_ >= 1000) {
      if (!SendOther(base_ + "/dropped", std::to_string(t.Dropped))) return false;
      droppedSent_ = t.Dropped;
      droppedAt_ = SteadyMs();
    }
    if (!SendReadings()) return false;
    // The last values: at once when all is sent, at intervals while a
    // backlog goes out, never once per reading.
    if (!core_.LastPending.empty() && (t.CaughtUp || SteadyMs() - lastAt_ >= kLastEveryMs)) {
      if (!SendLastValues()) return false;
      lastAt_ = SteadyMs();
    }
    if (!Flush(m_, queued_ + 8)) return false;
    queued_ = 0;
    HandOnUnconfirmed();
    const int rc = ServiceOnce();
    if (rc != MOSQ_ERR_SUCCESS || ev_.Lost) return false;
  }
  CloseCleanly();
  return true;
}

}  // namespace

bool TPublisher::TCore::Session(mosquitto* m, TClientEvents& ev) {
  return TSession(*this, m, ev).Run();
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
