// Publishing to a mosquitto broker on loopback: what the measurement loop
// pays per reading, how many readings one publisher gets acknowledged per
// second, how long a reading takes to reach a subscriber, and the memory of a
// full queue.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

#include "bench/BenchSections.h"
#include "protocol/OEMLib.h"
#include "publish/Publisher.h"
#include "tests/publish/broker_process.h"

namespace bench {

int64_t ResidentBytes();

namespace {

double SinceUs(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

TPublishSettings Local(int port) {
  TPublishSettings s;
  s.Enabled = true;
  s.Host = "127.0.0.1";
  s.Port = port;
  s.Station = "bench";
  return s;
}

bool WaitConnected(TPublisher& p) {
  return qxtest::WaitFor([&] { return p.Status().State == TPublishState::psConnected; }, 10000);
}

void PutLength(std::string& out, size_t n) {
  do {
    const uint8_t b = uint8_t(n % 128);
    n /= 128;
    out += char(n > 0 ? b | 0x80 : b);
  } while (n > 0);
}

void PutString(std::string& out, const std::string& s) {
  out += char(s.size() >> 8);
  out += char(s.size() & 0xff);
  out += s;
}

// What the broker reaches from a bare client that writes many
// QoS 1 PUBLISH packets of the publisher's topics and payloads in one send
// and reads the acknowledgements in bulk, with no client library and no
// formatting while it is timed. Readings per second, 0 on any failure.
double BareClientRate(int port, int n, int window, double* brokerCpuMs,
                      const std::function<double()>& brokerCpu) {
  std::vector<std::string> packets;
  packets.reserve(size_t(n));
  TPublishSettings s = Local(port);
  for (int i = 0; i < n; ++i) {
    const std::string topic = ReadingTopic(s, 1 + (i / 8) % 4, 1 + i % 8);
    const std::string payload = ReadingPayload(46000.5 + i / 86400000.0, 20.0 + (i % 1000) / 100.0);
    const uint16_t mid = uint16_t(1 + i % 65535);
    std::string body;
    PutString(body, topic);
    body += char(mid >> 8);
    body += char(mid & 0xff);
    body += payload;
    std::string p(1, char(0x32));  // PUBLISH, QoS 1
    PutLength(p, body.size());
    packets.push_back(p + body);
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return 0;
  }
  std::string connect;
  connect += std::string("\0\4MQTT\4\2\0\x3c", 10);  // 3.1.1, clean session, 60 s
  PutString(connect, "qx-bench-raw");
  std::string c(1, char(0x10));
  PutLength(c, connect.size());
  c += connect;
  char ack[4];
  if (::send(fd, c.data(), c.size(), MSG_NOSIGNAL) != ssize_t(c.size()) ||
      ::recv(fd, ack, 4, MSG_WAITALL) != 4 || ack[0] != 0x20 || ack[3] != 0) {
    ::close(fd);
    return 0;
  }
  const double cpu0 = brokerCpu();
  const auto t0 = std::chrono::steady_clock::now();
  int sent = 0;
  int64_t ackBytes = 0;
  std::string out;
  size_t outPos = 0;
  char in[65536];
  bool failed = false;
  while (ackBytes / 4 < n && !failed && SinceUs(t0) < 60e6) {
    if (outPos == out.size()) {
      out.clear();
      outPos = 0;
      while (sent < n && sent - ackBytes / 4 < window) out += packets[size_t(sent++)];
    }
    pollfd p{fd, short(POLLIN | (outPos < out.size() ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 1000) < 0) break;
    if (p.revents & POLLOUT) {
      const ssize_t w =
          ::send(fd, out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0)
        outPos += size_t(w);
      else if (errno != EAGAIN)
        failed = true;
    }
    if (p.revents & POLLIN) {
      const ssize_t r = ::recv(fd, in, sizeof in, MSG_DONTWAIT);
      if (r > 0) {
        ackBytes += r;  // only PUBACKs come, four bytes each
        // A broker that holds small packets back until the last is
        // acknowledged (Nagle) must not wait for a delayed ACK of ours.
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      } else if (r == 0 || errno != EAGAIN)
        failed = true;
    }
  }
  const double secs = SinceUs(t0) / 1e6;
  *brokerCpuMs = brokerCpu() - cpu0;
  const char disconnect[2] = {char(0xe0), 0};
  ::send(fd, disconnect, 2, MSG_NOSIGNAL);
  ::close(fd);
  return ackBytes / 4 >= n ? n / secs : 0.0;
}

}  // namespace

void RunPublish(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  std::cout << "\nPublishing to a loopback mosquitto broker (QoS 1 unless noted)\n";
  if (qxtest::BrokerProgram().empty()) {
    std::cout << "mosquitto is not installed\n";
    targets.push_back({"publish: broker available", "no", "mosquitto", false});
    return;
  }
  char tmpl[] = "/tmp/qx-bench-broker-XXXXXX";
  if (!::mkdtemp(tmpl)) return;
  const std::string dir = tmpl;
  qxtest::TBroker broker;
  if (!broker.Start(dir)) {
    targets.push_back({"publish: broker started", "no", "yes", false});
    return;
  }

  // Memory of a full queue first, before other queues have grown the heap:
  // the broker out of reach, the queue filled.
  double queueMiB = 0;
  size_t capacity = 0;
  {
    TPublisherOptions o;
    capacity = o.Capacity;
    TPublisher pub(o);
    const int64_t before = ResidentBytes();
    pub.Start(Local(qxtest::FreeLoopbackPort()));
    for (size_t i = 0; i < o.Capacity + 1000; ++i) pub.Reading(1, 1, 46000.5, 20.0);
    const int64_t after = ResidentBytes();
    queueMiB = double(after - before) / (1024.0 * 1024.0);
    if (pub.Status().Queued != o.Capacity) std::cout << "queue not full\n";
  }
  // 1. The loop's hand-over, as the program makes it: through the main
  // window's observer into the queue. Spaced like real readings (the network
  // thread asleep, so each one wakes it) and back to back.
  TStats spaced, burst;
  {
    TPublisher pub;
    pub.Start(Local(broker.Port()));
    WaitConnected(pub);
    std::function<void(const TDeviceParam&, double, double)> hook = [&pub](const TDeviceParam& d,
                                                                           double when, double t) {
      pub.Reading(d.Address, d.SubChannel, when, t);
    };
    TDeviceParam dev;
    dev.Address = 5;
    const int n = opt.Quick ? 500 : 3000;
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
      dev.SubChannel = uint8_t(1 + i % 4);
      const auto t0 = std::chrono::steady_clock::now();
      hook(dev, 46000.5 + i / 86400000.0, 21.5);
      us.push_back(SinceUs(t0));
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    spaced = Summarize(us);
    us.clear();
    for (int i = 0; i < n * 10; ++i) {
      dev.SubChannel = uint8_t(1 + i % 4);
      const auto t0 = std::chrono::steady_clock::now();
      hook(dev, 46000.5 + i / 86400000.0, 21.5);
      us.push_back(SinceUs(t0));
    }
    burst = Summarize(us);
  }

  // 2. Readings per second: a backlog of 32 channels handed in at once, timed
  // until the broker has acknowledged the last one.
  struct TRate {
    double PerS = 0, OwnUs = 0, BrokerUs = 0;
    double BrokerShare = 0;  // of one core, while the readings were sent
  };
  auto throughput = [&](int qos, int n, int window = TPublisherOptions().Window) {
    TPublisherOptions o;
    o.Window = window;
    o.Capacity = size_t(n) + 16;
    TPublisher pub(o);
    TPublishSettings s = Local(broker.Port());
    s.QoS = qos;
    pub.Start(s);
    WaitConnected(pub);
    const double cpu0 = ProcessCpuMs(), broker0 = broker.CpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
      pub.Reading(1 + (i / 8) % 4, 1 + i % 8, 46000.5 + i / 86400000.0, 20.0 + (i % 1000) / 100.0);
    qxtest::WaitFor([&] { return pub.Status().Delivered >= uint64_t(n); }, 120000);
    const double s_ = SinceUs(t0) / 1e6;
    const bool all = pub.Status().Delivered >= uint64_t(n);
    // CPU per reading on each side, which the machine's other load does not
    // inflate as much as the elapsed time.
    TRate r;
    r.PerS = all ? n / s_ : 0.0;
    r.OwnUs = (ProcessCpuMs() - cpu0) * 1000.0 / n;
    r.BrokerUs = (broker.CpuMs() - broker0) * 1000.0 / n;
    r.BrokerShare = r.BrokerUs * n / (s_ * 1e6);
    return r;
  };
  const int nThroughput = opt.Quick ? 50000 : 200000;
  const TRate q1 = throughput(1, nThroughput);
  // The window against its cost: the client library walks its list of
  // unconfirmed messages for every confirmation.
  const int narrow = TPublisherOptions().Window / 4, wide = TPublisherOptions().Window * 4;
  const TRate q1Narrow = throughput(1, nThroughput / 2, narrow);
  const TRate q1Wide = throughput(1, nThroughput / 2, wide);
  const TRate q0 = throughput(0, nThroughput);
  const double perS1 = q1.PerS;
  TRate raw;
  {
    double brokerMs = 0;
    raw.PerS = BareClientRate(broker.Port(), nThroughput, TPublisherOptions().Window, &brokerMs,
                              [&broker] { return broker.CpuMs(); });
    raw.BrokerUs = brokerMs * 1000.0 / nThroughput;
    raw.BrokerShare = raw.PerS > 0 ? raw.BrokerUs * raw.PerS / 1e6 : 0;
  }

  // 3. Latency from the hand-over to a subscriber's callback, at 500
  // readings a second.
  TStats latency;
  {
    TPublisher pub;
    pub.Start(Local(broker.Port()));
    WaitConnected(pub);
    const int n = opt.Quick ? 300 : 2000;
    std::vector<int64_t> sentUs(size_t(n), 0), gotUs(size_t(n), 0);
    std::mutex m;
    qxtest::TSubscriber sub;
    sub.OnMessage = [&](const qxtest::TSubscriber::TMessage& msg) {
      const size_t t = msg.Payload.find("T12:00:");
      if (t == std::string::npos) return;
      const int idx =
          std::atoi(msg.Payload.c_str() + t + 7) * 1000 + std::atoi(msg.Payload.c_str() + t + 10);
      if (idx >= 0 && idx < n && gotUs[size_t(idx)] == 0) gotUs[size_t(idx)] = msg.AtUs;
    };
    sub.Start(broker.Port(), "quilex/bench/9/1");
    for (int i = 0; i < n; ++i) {
      sentUs[size_t(i)] = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
      pub.Reading(9, 1, 46000.5 + i / 86400000.0, 21.0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    qxtest::WaitFor([&] { return sub.Count() >= size_t(n); }, 10000);
    sub.Stop();
    std::vector<double> ms;
    for (int i = 0; i < n; ++i)
      if (gotUs[size_t(i)] > 0) ms.push_back(double(gotUs[size_t(i)] - sentUs[size_t(i)]) / 1000.0);
    latency = Summarize(ms);
    if (latency.Samples < n)
      std::cout << "latency: only " << latency.Samples << " of " << n << " arrived\n";
  }

  broker.Stop();
  std::system(("rm -rf '" + dir + "'").c_str());

  TTable t({{"measure", 46}, {"median", 12}, {"p95", 12}, {"max", 12}});
  t.Header();
  t.Row({"loop hand-over, spaced 0.5 ms (us)", Fmt(spaced.Median, 2), Fmt(spaced.P95, 2),
         Fmt(spaced.Max, 1)});
  t.Row({"loop hand-over, back to back (us)", Fmt(burst.Median, 2), Fmt(burst.P95, 2),
         Fmt(burst.Max, 1)});
  t.Row({"reading -> subscriber at 500/s (ms)", Fmt(latency.Median, 3), Fmt(latency.P95, 3),
         Fmt(latency.Max, 2)});
  std::cout << nThroughput << " readings of 32 channels handed in at once:\n";
  TTable r({{"QoS", 16},
            {"readings/s", 12},
            {"publisher CPU us/reading", 26},
            {"broker CPU us/reading", 24},
            {"broker CPU share", 18}});
  r.Header();
  auto pct = [](double share) { return Fmt(share * 100.0, 0) + " %"; };
  r.Row({"1", Fmt(q1.PerS, 0), Fmt(q1.OwnUs, 2), Fmt(q1.BrokerUs, 2), pct(q1.BrokerShare)});
  r.Row({"1, window " + std::to_string(narrow), Fmt(q1Narrow.PerS, 0), Fmt(q1Narrow.OwnUs, 2),
         Fmt(q1Narrow.BrokerUs, 2), pct(q1Narrow.BrokerShare)});
  r.Row({"1, window " + std::to_string(wide), Fmt(q1Wide.PerS, 0), Fmt(q1Wide.OwnUs, 2),
         Fmt(q1Wide.BrokerUs, 2), pct(q1Wide.BrokerShare)});
  r.Row({"0", Fmt(q0.PerS, 0), Fmt(q0.OwnUs, 2), Fmt(q0.BrokerUs, 2), pct(q0.BrokerShare)});
  // No library and no formatting on the sending side, the same window: what
  // the broker reaches with the least a client can do, for comparison.
  r.Row({"1, bare client", Fmt(raw.PerS, 0), "-", Fmt(raw.BrokerUs, 2), pct(raw.BrokerShare)});
  std::cout << "full queue of " << capacity << " readings: " << Fmt(queueMiB, 1)
            << " MiB resident (" << Fmt(queueMiB * 1024 * 1024 / double(capacity), 1)
            << " bytes per reading)\n";

  targets.push_back({"publish: loop cost per reading (median)", Fmt(spaced.Median, 2) + " us",
                     "<= 20 us", spaced.Median <= 20.0});
  targets.push_back(
      {"publish: readings/s to loopback, QoS 1", Fmt(perS1, 0), ">= 50000", perS1 >= 50000});
  targets.push_back({"publish: latency to subscriber (p95)", Fmt(latency.P95, 2) + " ms",
                     "<= 100 ms", latency.Samples > 0 && latency.P95 <= 100.0});
  targets.push_back(
      {"publish: full queue memory", Fmt(queueMiB, 1) + " MiB", "<= 16 MiB", queueMiB <= 16.0});
}

}  // namespace bench
