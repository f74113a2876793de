// A large backlog sent to a real broker at full speed: more readings than
// there are MQTT message ids, so the ids wrap around within one connection;
// every reading must still arrive once and in order, and the retained last
// value of each channel must end as its newest reading without a retained
// copy going out for every reading.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "publish/Publisher.h"
#include "tests/publish/broker_process.h"

using namespace qxtest;

namespace {

constexpr double kBase = 46365.0;  // midnight; reading i is i ms later
double Stamp(int i) {
  return kBase + i / 86400000.0;
}
int IndexOf(const std::string& payload) {
  const size_t t = payload.find("T0");
  if (t == std::string::npos) return -1;
  const int h = std::atoi(payload.c_str() + t + 1);
  const int m = std::atoi(payload.c_str() + t + 4);
  const int s = std::atoi(payload.c_str() + t + 7);
  const int ms = std::atoi(payload.c_str() + t + 10);
  return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

}  // namespace

TEST(PublishBacklog, MoreReadingsThanMessageIdsArriveOnceInOrderWithFewRetainedCopies) {
  if (BrokerProgram().empty()) GTEST_SKIP() << "mosquitto is not installed";
  char tmpl[] = "/tmp/qx-backlog-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  TBroker broker;
  ASSERT_TRUE(broker.Start(dir));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(broker.Port(), "quilex/lab/#"));

  constexpr int n = 70000, channels = 32;
  TPublisherOptions o;
  o.Capacity = n + 10;
  TPublisher pub(o);
  TPublishSettings s;
  s.Enabled = true;
  s.Host = "127.0.0.1";
  s.Port = broker.Port();
  s.Station = "lab";
  ASSERT_TRUE(pub.Start(s));
  ASSERT_TRUE(WaitFor([&] { return pub.Status().State == TPublishState::psConnected; }, 10000));
  // Address 1..4, channel 1..8: 32 channels, reading i on channel i % 32.
  for (int i = 0; i < n; ++i) pub.Reading(1 + (i / 8) % 4, 1 + i % 8, Stamp(i), 20.0 + i % 7);
  ASSERT_TRUE(WaitFor([&] { return pub.Status().Delivered == uint64_t(n); }, 120000))
      << pub.Status().Delivered << " of " << n << ": " << pub.Status().Error;
  EXPECT_EQ(pub.Status().Dropped, 0u);
  EXPECT_EQ(pub.Status().Queued, 0u);

  // All readings, then the retained copies that follow the last batch.
  auto counts = [&](int* readings, int* lasts) {
    *readings = *lasts = 0;
    for (const auto& m : sub.Messages()) {
      if (m.Topic.size() > 5 && m.Topic.compare(m.Topic.size() - 5, 5, "/last") == 0)
        ++*lasts;
      else if (IndexOf(m.Payload) >= 0)
        ++*readings;
    }
  };
  int readings = 0, lasts = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        counts(&readings, &lasts);
        return readings >= n;
      },
      60000))
      << readings << " of " << n;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::map<std::string, int> newest;  // per channel topic, from the readings
  std::map<std::string, int> lastSeen;
  int next = 0;
  bool ordered = true;
  for (const auto& m : sub.Messages()) {
    const int i = IndexOf(m.Payload);
    if (m.Topic.size() > 5 && m.Topic.compare(m.Topic.size() - 5, 5, "/last") == 0) {
      lastSeen[m.Topic.substr(0, m.Topic.size() - 5)] = i;
      continue;
    }
    if (i < 0) continue;
    if (i != next) ordered = false;
    next = i + 1;
    newest[m.Topic] = i;
  }
  EXPECT_TRUE(ordered) << "a reading missing, repeated or out of order near " << next;
  EXPECT_EQ(next, n);
  ASSERT_EQ(newest.size(), size_t(channels));
  EXPECT_EQ(lastSeen, newest) << "the retained copy is not the newest reading of its channel";
  counts(&readings, &lasts);
  EXPECT_EQ(readings, n);
  // A copy per channel and batch at worst; one per reading would double the
  // broker's work.
  EXPECT_LT(lasts, n / 10) << lasts << " retained copies";
  std::printf("backlog: %d readings, %d retained copies\n", n, lasts);

  pub.Stop();
  sub.Stop();
  broker.Stop();
  std::system(("rm -rf '" + dir + "'").c_str());
}
