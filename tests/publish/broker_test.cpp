// The publisher against a real mosquitto broker on loopback: topics and
// payloads as a subscriber sees them, retained values and the last will, a
// broker stopped for ten seconds, a full queue, and the messages of failed
// connections (wrong password, unknown host, untrusted certificate).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "publish/Publisher.h"
#include "tests/publish/broker_process.h"

using namespace qxtest;

namespace {

// Midnight of 9 December 2026; reading i is stamped i milliseconds later so
// that the subscriber can tell which reading it got.
constexpr double kBase = 46365.0;
double Stamp(int i) {
  return kBase + i / 86400000.0;
}
// The i of a reading payload; -1 when the payload is not one.
int IndexOf(const std::string& payload) {
  const size_t t = payload.find("T00:");
  if (t == std::string::npos) return -1;
  const int m = std::atoi(payload.c_str() + t + 4);
  const int s = std::atoi(payload.c_str() + t + 7);
  const int ms = std::atoi(payload.c_str() + t + 10);
  return m * 60000 + s * 1000 + ms;
}

class BrokerTest : public ::testing::Test {
 protected:
  std::string dir;
  TBroker broker;
  void SetUp() override {
    if (BrokerProgram().empty()) GTEST_SKIP() << "mosquitto is not installed";
    char tmpl[] = "/tmp/qx-broker-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    broker.Stop();
    // QX_KEEP_BROKER_DIR=1 keeps the broker's configuration and log.
    if (!dir.empty() && !std::getenv("QX_KEEP_BROKER_DIR"))
      std::system(("rm -rf '" + dir + "'").c_str());
  }
  TPublishSettings Settings(const std::string& station = "lab") {
    TPublishSettings s;
    s.Enabled = true;
    s.Host = "127.0.0.1";
    s.Port = broker.Port();
    s.Station = station;
    return s;
  }
  static TPublisherOptions Fast() {
    TPublisherOptions o;
    o.FirstRetryMs = 200;
    o.MaxRetryMs = 1000;
    return o;
  }
  static bool WaitState(TPublisher& p, TPublishState st, int ms = 10000) {
    return WaitFor([&] { return p.Status().State == st; }, ms);
  }
};

TEST_F(BrokerTest, TopicsPayloadsRetainedValuesAndStatus) {
  ASSERT_TRUE(broker.Start(dir));
  TSubscriber live;
  ASSERT_TRUE(live.Start(broker.Port(), "#"));
  setenv("TZ", "UTC", 1);
  tzset();
  TPublisher pub;
  TPublishSettings s = Settings();
  s.HomeAssistant = true;
  ASSERT_TRUE(pub.Start(s));
  ASSERT_TRUE(WaitState(pub, TPublishState::psConnected));
  pub.SetDevices({{3, "TM4", "S-17", "2.1", 2}});
  pub.Reading(3, 1, Stamp(5), 23.456);
  pub.Reading(3, 2, Stamp(6), 950.0);
  pub.Reading(3, 1, Stamp(7), -3.25);
  ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == 3; }, 10000));
  std::map<std::string, std::vector<std::string>> got;
  auto collect = [&] {
    got.clear();
    for (const auto& m : live.Messages()) got[m.Topic].push_back(m.Payload);
    return got["quilex/lab/3/1"].size() == 2 && got.count("quilex/lab/devices") &&
           got.count("homeassistant/sensor/quilex_lab_3_2/config") &&
           got.count("quilex/lab/3/1/last");
  };
  ASSERT_TRUE(WaitFor(collect, 10000));
  const size_t before = live.Count();
  EXPECT_EQ(got["quilex/lab/status"], std::vector<std::string>{"online"});
  EXPECT_EQ(got["quilex/lab/3/1"],
            (std::vector<std::string>{
                "{\"time\":\"2026-12-09T00:00:00.005+00:00\",\"value\":23.46,\"unit\":\"\xc2\xb0"
                "C\"}",
                "{\"time\":\"2026-12-09T00:00:00.007+00:00\",\"value\":-3.25,\"unit\":\"\xc2\xb0"
                "C\"}"}));
  EXPECT_EQ(got["quilex/lab/3/2"],
            std::vector<std::string>{
                "{\"time\":\"2026-12-09T00:00:00.006+00:00\",\"value\":null,\"unit\":\"\xc2\xb0"
                "C\"}"});
  EXPECT_EQ(got["quilex/lab/devices"],
            std::vector<std::string>{"[{\"address\":3,\"name\":\"TM4\",\"serial\":\"S-17\","
                                     "\"firmware\":\"2.1\",\"channels\":2}]"});
  EXPECT_EQ(got.count("homeassistant/sensor/quilex_lab_3_1/config"), 1u);
  EXPECT_EQ(got.count("homeassistant/sensor/quilex_lab_3_2/config"), 1u);
  EXPECT_EQ(got.count("quilex/lab/dropped"), 0u);

  pub.Stop();
  EXPECT_EQ(pub.Status().State, TPublishState::psOff);
  ASSERT_TRUE(WaitFor([&] { return live.Count() > before; }, 5000));
  EXPECT_EQ(live.Messages().back().Topic, "quilex/lab/status");
  EXPECT_EQ(live.Messages().back().Payload, "offline");

  // A subscriber that comes later gets the retained values: the last of each
  // channel, the devices, the discovery and the status; no single readings.
  TSubscriber late;
  ASSERT_TRUE(late.Start(broker.Port(), "#"));
  ASSERT_TRUE(WaitFor([&] { return late.Count() >= 6; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::map<std::string, std::string> retained;
  for (const auto& m : late.Messages()) {
    EXPECT_TRUE(m.Retained) << m.Topic;
    retained[m.Topic] = m.Payload;
  }
  EXPECT_EQ(retained.size(), 6u);
  EXPECT_EQ(retained["quilex/lab/status"], "offline");
  EXPECT_EQ(IndexOf(retained["quilex/lab/3/1/last"]), 7);
  EXPECT_NE(retained["quilex/lab/3/2/last"].find("null"), std::string::npos);
  EXPECT_EQ(retained.count("quilex/lab/devices"), 1u);
  unsetenv("TZ");
  tzset();
}

TEST_F(BrokerTest, LastWillSaysOfflineWhenTheStationDies) {
  ASSERT_TRUE(broker.Start(dir));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(broker.Port(), "quilex/+/status"));
  const TPublishSettings s = Settings("dies");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No clean stop: the process ends with the connection open.
    TPublisher* p = new TPublisher();
    p->Start(s);
    WaitFor([&] { return p->Status().State == TPublishState::psConnected; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::_exit(0);
  }
  EXPECT_EQ(WaitOrKill(child, 20000), 0);
  ASSERT_TRUE(WaitFor([&] { return sub.Count() >= 2; }, 10000));
  const auto m = sub.Messages();
  EXPECT_EQ(m[0].Payload, "online");
  EXPECT_EQ(m[1].Payload, "offline");
}

TEST_F(BrokerTest, BrokerStoppedTenSecondsLosesNoReadingAndKeepsTheOrder) {
  TBroker::TConfig cfg;
  cfg.Persistent = true;  // the subscriber's session survives the restart
  ASSERT_TRUE(broker.Start(dir, cfg));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(broker.Port(), "quilex/lab/1/1", "", "", "qx-test-sub"));
  TPublisher pub;  // the program's own pauses between attempts
  ASSERT_TRUE(pub.Start(Settings()));
  ASSERT_TRUE(WaitState(pub, TPublishState::psConnected));

  // Measuring at 200 readings a second, never waiting for the broker.
  std::atomic<bool> stop{false};
  std::atomic<int> produced{0};
  std::atomic<int64_t> slowestUs{0};
  std::thread loop([&] {
    for (int i = 0; !stop.load(); ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      pub.Reading(1, 1, Stamp(i), 20.0 + (i % 100) / 10.0);
      const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - t0)
                             .count();
      if (us > slowestUs.load()) slowestUs = us;
      produced = i + 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  broker.Stop();
  ASSERT_TRUE(WaitState(pub, TPublishState::psWaiting, 5000));
  EXPECT_NE(pub.Status().Error.find("127.0.0.1"), std::string::npos) << pub.Status().Error;
  std::this_thread::sleep_for(std::chrono::seconds(10));
  // Ten seconds of readings wait (fewer where a loaded machine oversleeps).
  EXPECT_GT(pub.Status().Queued, 100u);
  ASSERT_TRUE(broker.Restart(cfg));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_TRUE(WaitState(pub, TPublishState::psConnected, 40000)) << pub.Status().Error;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stop = true;
  loop.join();
  const int n = produced.load();
  ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == uint64_t(n); }, 20000))
      << pub.Status().Delivered << " of " << n;
  EXPECT_EQ(pub.Status().Dropped, 0u);
  EXPECT_LT(slowestUs.load(), 20000) << "the loop waited on the network";

  ASSERT_TRUE(WaitFor(
      [&] {
        std::set<int> seen;
        for (const auto& m : sub.Messages()) seen.insert(IndexOf(m.Payload));
        return int(seen.size()) >= n;
      },
      20000));
  // In order: each message is the next new reading or a repeat of one
  // already seen (re-sent after the connection broke); none missing.
  int next = 0, repeats = 0;
  bool ordered = true;
  for (const auto& m : sub.Messages()) {
    const int i = IndexOf(m.Payload);
    if (i == next)
      ++next;
    else if (i < next)
      ++repeats;
    else
      ordered = false;
  }
  EXPECT_TRUE(ordered);
  EXPECT_EQ(next, n);
  EXPECT_LE(repeats, TPublisherOptions().Window) << "more repeats than readings in flight";
  std::printf("broker restart: %d readings, %d repeated, loop's slowest hand-over %lld us\n", n,
              repeats, static_cast<long long>(slowestUs.load()));
}

TEST_F(BrokerTest, FullQueueDropsTheOldestAndPublishesTheCount) {
  const int port = FreeLoopbackPort();
  TPublisherOptions o = Fast();
  o.Capacity = 100;
  TPublisher pub(o);
  TPublishSettings s = Settings();
  s.Port = port;
  ASSERT_TRUE(pub.Start(s));
  for (int i = 0; i < 250; ++i) pub.Reading(2, 1, Stamp(i), 21.0);
  EXPECT_EQ(pub.Status().Queued, 100u);
  EXPECT_EQ(pub.Status().Dropped, 150u);
  ASSERT_TRUE(WaitState(pub, TPublishState::psWaiting));
  EXPECT_NE(pub.Status().Error.find("refused the connection"), std::string::npos)
      << pub.Status().Error;
  EXPECT_NE(PublishStatusText(pub.Status(), s).find("150 dropped"), std::string::npos);

  ASSERT_TRUE(broker.Start(dir, TBroker::TConfig(), port));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(port, "quilex/lab/#"));
  ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == 100; }, 15000));
  // The broker's acknowledgement does not mean the subscriber has the copy
  // yet: wait for all hundred readings and the count there.
  ASSERT_TRUE(WaitFor(
      [&] {
        int readings = 0;
        bool count = false;
        for (const auto& m : sub.Messages()) {
          readings += m.Topic == "quilex/lab/2/1";
          count = count || m.Topic == "quilex/lab/dropped";
        }
        return count && readings >= 100;
      },
      5000));
  std::vector<int> values;
  std::string dropped;
  for (const auto& m : sub.Messages()) {
    if (m.Topic == "quilex/lab/2/1") values.push_back(IndexOf(m.Payload));
    if (m.Topic == "quilex/lab/dropped") dropped = m.Payload;
  }
  ASSERT_EQ(values.size(), 100u);
  EXPECT_EQ(values.front(), 150);  // the newest hundred
  EXPECT_EQ(values.back(), 249);
  EXPECT_EQ(dropped, "150");
}

TEST_F(BrokerTest, OddAndLongStationNamesReachTheirOwnTopic) {
  ASSERT_TRUE(broker.Start(dir));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(broker.Port(), "quilex/+/4/1"));
  for (const std::string& name : {std::string("Halle S\xc3\xbc"
                                              "d \"7\""),
                                  std::string(kMaxStationName, 'L')}) {
    TPublisher pub;
    ASSERT_TRUE(pub.Start(Settings(name)));
    pub.Reading(4, 1, Stamp(1), 1.0);
    ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == 1; }, 10000));
  }
  ASSERT_TRUE(WaitFor([&] { return sub.Count() >= 2; }, 5000));
  EXPECT_EQ(sub.Messages()[0].Topic,
            "quilex/Halle S\xc3\xbc"
            "d \"7\"/4/1");
  EXPECT_EQ(sub.Messages()[1].Topic, "quilex/" + std::string(kMaxStationName, 'L') + "/4/1");
  // A name with a wildcard or a level never starts.
  TPublisher bad;
  std::string why;
  EXPECT_FALSE(bad.Start(Settings("lab/#"), &why));
  EXPECT_NE(why.find("station name"), std::string::npos);
  EXPECT_FALSE(bad.Running());
}

TEST_F(BrokerTest, FailedConnectionsSayWhatHappenedWithoutThePassword) {
  TBroker::TConfig cfg;
  cfg.User = "station";
  cfg.Password = "right-one";
  ASSERT_TRUE(broker.Start(dir, cfg));
  TPublishSettings s = Settings();
  s.Username = "station";
  s.Password = "right-one";
  TConnectResult r = TestConnection(s);
  EXPECT_TRUE(r.Ok) << r.Text;
  EXPECT_NE(r.Text.find("Connected"), std::string::npos);

  s.Password = "Wrong-Pa55";
  r = TestConnection(s);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Text.find("user name or password"), std::string::npos) << r.Text;
  EXPECT_EQ(r.Text.find("Wrong-Pa55"), std::string::npos);
  // The running publisher shows the same once and keeps trying.
  TPublisher pub(Fast());
  ASSERT_TRUE(pub.Start(s));
  ASSERT_TRUE(WaitState(pub, TPublishState::psWaiting));
  EXPECT_NE(pub.Status().Error.find("user name or password"), std::string::npos);
  EXPECT_EQ(PublishStatusText(pub.Status(), s).find("Wrong-Pa55"), std::string::npos);
  pub.Stop();

  s.Host = "no-such-host.invalid";
  r = TestConnection(s);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Text.find("No such host"), std::string::npos) << r.Text;

  s.Host = "127.0.0.1";
  s.Port = FreeLoopbackPort();
  r = TestConnection(s);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Text.find("refused the connection"), std::string::npos) << r.Text;
}

TEST_F(BrokerTest, TlsWithTheRightCaConnectsAndAnUntrustedCertificateIsNamed) {
  TTlsFiles tls;
  if (!Executable("/usr/bin/openssl")) GTEST_SKIP() << "openssl is not installed";
  ASSERT_TRUE(tls.Make(dir));
  TBroker::TConfig cfg;
  cfg.Tls = &tls;
  ASSERT_TRUE(broker.Start(dir, cfg));
  TPublishSettings s = Settings();
  s.TLS = true;
  s.CAFile = tls.Ca;
  TConnectResult r = TestConnection(s);
  EXPECT_TRUE(r.Ok) << r.Text;
  s.Host = "localhost";  // the other name the certificate was made for
  r = TestConnection(s);
  EXPECT_TRUE(r.Ok) << r.Text;

  s.CAFile = tls.OtherCa;
  r = TestConnection(s);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Text.find("certificate is not trusted"), std::string::npos) << r.Text;
  s.CAFile.clear();  // the system store does not know our test CA either
  r = TestConnection(s);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Text.find("certificate is not trusted"), std::string::npos) << r.Text;

  // Readings over TLS arrive like any others.
  s.CAFile = tls.Ca;
  TPublisher pub;
  ASSERT_TRUE(pub.Start(s));
  pub.Reading(1, 1, Stamp(1), 5.0);
  ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == 1; }, 10000)) << pub.Status().Error;

  // A plain client on the TLS port does not hang: it gets an answer in time.
  s.TLS = false;
  s.CAFile.clear();
  const int64_t t0 = MonoMs();
  r = TestConnection(s, 3000);
  EXPECT_FALSE(r.Ok);
  EXPECT_LT(MonoMs() - t0, 6000);
}

}  // namespace
