// quilex-station publishing to a real broker on loopback: every reading it
// logs reaches a subscriber, with the devices and the station's status.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <set>
#include <string>

#include "tests/publish/broker_process.h"
#include "tests/support/sim_process.h"
#include "tests/support/station_process.h"

using qxtest::BrokerProgram;
using qxtest::ReadFile;
using qxtest::TBroker;
using qxtest::TSubscriber;
using qxtest::WaitUntil;

TEST(StationBroker, EveryLoggedReadingIsPublishedAndTheStopSaysOffline) {
  if (TSimProcess::Exe().empty() || TStationProcess::Exe().empty() || BrokerProgram().empty())
    GTEST_SKIP() << "quilex-sim, quilex-station or mosquitto missing";
  QTemporaryDir dir;
  const std::string d = dir.path().toStdString();
  TBroker broker;
  ASSERT_TRUE(broker.Start(d));
  TSubscriber sub;
  ASSERT_TRUE(sub.Start(broker.Port(), "qx/#"));

  TSimProcess sim;
  ASSERT_TRUE(sim.Start(
      d + "/bus", {"--device", "3:2:10", "--device", "7:1:100", "--curve", "3:1:constant:21.5",
                   "--curve", "3:2:constant:950", "--curve", "7:1:constant:-3.25"}));
  std::ofstream(d + "/quilex-station.ini")
      << "[Station]\nLog=" << d << "/r.log\nEveryValue=1\n[Publish]\nEnabled=1\nHost=127.0.0.1\n"
      << "Port=" << broker.Port() << "\nStation=st1\nTopicPrefix=qx\n";
  TStationProcess st;
  ASSERT_TRUE(st.Start({"--config", d, "--port", d + "/bus"}, d + "/station"));
  ASSERT_TRUE(st.WaitForErr("broker connected: 127.0.0.1:", 20000)) << st.Err();
  auto lineCount = [&] {
    const std::string log = ReadFile(d + "/r.log");
    return size_t(std::count(log.begin(), log.end(), '\n'));
  };
  ASSERT_TRUE(WaitUntil([&] { return lineCount() > 30; }, 20000));
  st.Signal(SIGTERM);
  ASSERT_EQ(st.Wait(5000), 0) << st.Err();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto m = sub.Messages();
        return !m.empty() && m.back().Topic == "qx/st1/status" && m.back().Payload == "offline";
      },
      5000));

  std::set<std::string> readings;
  bool online = false, devices = false;
  for (const auto& m : sub.Messages()) {
    if (m.Topic == "qx/st1/status" && m.Payload == "online") online = true;
    if (m.Topic == "qx/st1/devices") {
      devices = true;
      EXPECT_NE(m.Payload.find("\"address\":3"), std::string::npos) << m.Payload;
      EXPECT_NE(m.Payload.find("\"channels\":2"), std::string::npos) << m.Payload;
      EXPECT_NE(m.Payload.find("QTM-1"), std::string::npos) << m.Payload;
    }
    const std::string want = m.Topic == "qx/st1/3/1"   ? "\"value\":21.5"
                             : m.Topic == "qx/st1/3/2" ? "\"value\":null"
                             : m.Topic == "qx/st1/7/1" ? "\"value\":-3.25"
                                                       : "";
    EXPECT_NE(m.Payload.find(want), std::string::npos) << m.Topic << " " << m.Payload;
    const size_t levels = size_t(std::count(m.Topic.begin(), m.Topic.end(), '/'));
    if (levels == 3 && m.Topic.find("/status") == std::string::npos &&
        m.Topic.find("/devices") == std::string::npos)
      readings.insert(m.Topic + " " + m.Payload);  // a repeat (QoS 1) counts once
  }
  EXPECT_TRUE(online);
  EXPECT_TRUE(devices);
  // Every value logged: one line per valid reading (all three channels give
  // one, 950 included), so the log counts the readings taken.
  const size_t lines = lineCount();
  EXPECT_GT(lines, 30u);
  EXPECT_EQ(readings.size(), lines);
}
