// quilex-station as a process against quilex-sim over a pseudo-terminal:
// frames, pauses, log bytes beside the desktop program's writer, --once,
// signals, a line that goes and comes back, bad options and settings files.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/oem_main.h"
#include "common/QxClock.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"
#include "tests/support/frames.h"
#include "tests/support/sim_main_port.h"
#include "tests/support/sim_process.h"
#include "tests/support/station_process.h"

namespace {

using qxtest::ReadFile;
using qxtest::SimLogFrames;
using qxtest::SteadyMs;
using qxtest::WaitUntil;

std::vector<std::string> Lines(const std::string& text, const std::string& sep = "\n") {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find(sep, pos);
    if (e == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, e - pos));
    pos = e + sep.size();
  }
  return out;
}

class StationPty : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string link, conf;
  TSimProcess sim;
  std::vector<std::string> simArgs;

  void SetUp() override {
    if (TSimProcess::Exe().empty() || TStationProcess::Exe().empty())
      GTEST_SKIP() << "quilex-sim or quilex-station not built";
    link = Path("bus");
    conf = Path("conf");
    ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
  }
  std::string Path(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
  }
  void StartSim(const std::vector<std::string>& args) {
    simArgs = args;
    ASSERT_TRUE(sim.Start(link, args)) << "simulator link did not appear";
  }
  std::vector<std::string> Base() const { return {"--config", conf, "--port", link}; }
  void WriteConf(const std::string& name, const std::string& text) {
    std::ofstream(conf + "/" + name, std::ios::binary) << text;
  }
  static std::vector<std::string> Plus(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

// Log lines, each checked to end with CR LF; what follows the last CR LF
// (a line cut short) is returned as the last element when not empty.
std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines = Lines(text, "\r\n");
  return lines;
}

bool WholeLines(const std::string& text) {
  return text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
}

}  // namespace

TEST_F(StationPty, OncePrintsTheBusAsATable) {
  StartSim({"--device", "3:2:10:Oven", "--device", "7:1:100", "--curve", "3:1:constant:21.5",
            "--curve", "3:2:constant:-3.3", "--curve", "7:1:constant:123.45", "--invalid", "7:1"});
  TStationProcess st;
  ASSERT_EQ(st.Run(Plus(Base(), {"--once"}), Path("once"), 20000), 0) << st.Err();
  const std::vector<std::string> rows = Lines(st.Out());
  ASSERT_EQ(rows.size(), 4u) << st.Out();
  auto fields = [](const std::string& row) {
    std::vector<std::string> f;
    std::string cur;
    for (char c : row + " ") {
      if (c == ' ') {
        if (!cur.empty()) f.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    return f;
  };
  EXPECT_EQ(fields(rows[0]),
            (std::vector<std::string>{"address", "channel", "device", "serial", "value"}));
  const std::vector<std::string> r1 = fields(rows[1]), r2 = fields(rows[2]), r3 = fields(rows[3]);
  ASSERT_EQ(r1.size(), 5u);
  ASSERT_EQ(r3.size(), 5u);
  EXPECT_EQ(r1[0], "3");
  EXPECT_EQ(r1[1], "1");
  EXPECT_EQ(r1[2], "Oven");
  EXPECT_FALSE(r1[3].empty());
  EXPECT_EQ(r1[4], "21.50");
  EXPECT_EQ(r2[1], "2");
  EXPECT_EQ(r2[4], "-3.30");
  EXPECT_EQ(r3[0], "7");
  EXPECT_EQ(r3[2], "QTM-1");
  EXPECT_NE(r3[3], r1[3]);
  EXPECT_EQ(r3[4], "N/A");  // reported as not valid
  // The columns line up: every row as long as the header.
  for (const auto& r : rows) {
    EXPECT_EQ(r.size(), rows[0].size()) << r;
  }

  TStationProcess none;
  EXPECT_EQ(
      none.Run({"--config", conf, "--port", Path("nothing-here"), "--once"}, Path("none"), 20000),
      1);
  EXPECT_NE(none.Err().find("connect failed"), std::string::npos) << none.Err();
  EXPECT_EQ(none.Out(), "");
}

TEST_F(StationPty, PortFromQuilexIniAndGarbageThere) {
  StartSim({"--device", "2:1:10"});
  WriteConf("quilex.ini", "[ComPort1]\nPort=" + link + "\n");
  TStationProcess st;
  ASSERT_EQ(st.Run({"--config", conf, "--once"}, Path("ini"), 20000), 0) << st.Err();
  EXPECT_EQ(Lines(st.Out()).size(), 2u) << st.Out();
  // A quilex.ini the port cannot read leaves the built-in settings, as in the
  // desktop program; the command line's port still works.
  WriteConf("quilex.ini", std::string("\x01\x02garbage\0[[[", 14));
  TStationProcess g;
  EXPECT_EQ(g.Run(Plus(Base(), {"--once"}), Path("garbage"), 20000), 0) << g.Err();
}

TEST_F(StationPty, FramesAndPausesAreTheDesktopLoops) {
  const std::string simLog = Path("sim.log");
  StartSim({"--device", "3:2:10", "--device", "7:1:100", "--log", simLog});
  TStationProcess st;
  ASSERT_TRUE(st.Start(Plus(Base(), {"--log", Path("f.log"), "--every-value"}), Path("frames")));
  ASSERT_TRUE(st.WaitForErr("devices found", 20000)) << st.Err();
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(Path("f.log"))).size() > 40; }, 20000));
  st.Signal(SIGTERM);
  ASSERT_EQ(st.Wait(5000), 0);

  std::vector<qxtest::TSimLogFrame> rx;
  for (const auto& f : SimLogFrames(ReadFile(simLog)))
    if (f.Rx) rx.push_back(f);
  // The connect: names of all 21 addresses, the channel count of each device
  // found right after its name, then every device's scale.
  std::vector<std::string> want;
  for (int a = 0; a <= 20; ++a) {
    char prefix[8] = "";
    if (a) std::snprintf(prefix, sizeof prefix, "A%02X ", a);
    want.push_back(std::string(prefix) + "?40\\r");
    if (a == 3 || a == 7) want.push_back(std::string(prefix) + "?0F\\r");
  }
  want.push_back("A03 ?45\\r");
  want.push_back("A07 ?45\\r");
  ASSERT_GT(rx.size(), want.size() + 6 + 30);
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(rx[i].Text, want[i]) << i;
  }
  // The station's identity queries, for its events and the broker.
  const std::vector<std::string> ident = {"A03 ?40\\r", "A03 ?41\\r", "A03 ?42\\r",
                                          "A07 ?40\\r", "A07 ?41\\r", "A07 ?42\\r"};
  for (size_t i = 0; i < ident.size(); ++i) {
    EXPECT_EQ(rx[want.size() + i].Text, ident[i]);
  }
  // Then nothing but the poll, channel by channel, each query at least the
  // 52 ms pause plus the reply after the one before.
  const std::vector<std::string> cycle = {"A03 ?01 1\\r", "A03 ?01 2\\r", "A07 ?01 1\\r"};
  std::vector<int64_t> gaps;
  const size_t first = want.size() + ident.size();
  for (size_t i = first; i < rx.size(); ++i) {
    EXPECT_EQ(rx[i].Text, cycle[(i - first) % 3]) << i;
    if (i > first) gaps.push_back(rx[i].Ms - rx[i - 1].Ms);
  }
  // The simulator stamps a frame when it gets to read it, so one gap may
  // look shorter on a busy machine; no pause missing shows as a gap of a
  // few milliseconds, and the mean cannot be below the pause.
  const double mean = double(rx.back().Ms - rx[first].Ms) / double(gaps.size());
  EXPECT_GE(mean, 52.0);
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GE(gaps.front(), 35);
  EXPECT_GE(gaps[gaps.size() / 2], 52);
  EXPECT_LT(gaps[gaps.size() / 2], 52 + 5 + 25) << "median poll interval";
}

TEST_F(StationPty, LogBytesAreTheDesktopWritersForTheSameReadings) {
  StartSim({"--device", "3:2:10", "--device", "7:1:100", "--curve", "3:1:constant:21.5", "--curve",
            "3:2:constant:-1000.5", "--curve", "7:1:constant:950"});
  const std::string log = Path("de.log");
  TStationProcess st;
  ASSERT_TRUE(st.Start(Plus(Base(), {"--log", log, "--every-value"}), Path("bytes"),
                       {"LC_ALL=de_DE.UTF-8"}));
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() > 12; }, 20000)) << st.Err();
  st.Signal(SIGTERM);
  ASSERT_EQ(st.Wait(5000), 0);
  const std::string text = ReadFile(log);
  ASSERT_TRUE(WholeLines(text));

  // The desktop program's writer, given the readings the simulator sent.
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "locale de_DE.UTF-8 missing";
  std::setlocale(LC_ALL, "C");
  const char* oldAll = std::getenv("LC_ALL");
  const std::string saved = oldAll ? oldAll : "";
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  LoadFormatSettingsFromLocale();
  if (oldAll)
    ::setenv("LC_ALL", saved.c_str(), 1);
  else
    ::unsetenv("LC_ALL");
  TVirtualClock clock;
  TScopedClock scoped(&clock);
  auto port = std::make_unique<TSimMainPort>();
  TSimMainPort* p = port.get();
  p->Bus.AddDevice(3, 2, 10);
  p->Bus.AddDevice(7, 1, 100);
  TMain main(nullptr, std::move(port));
  OEMData->ScanBus();
  ReadChannelLayout(*OEMData);
  const std::vector<int32_t> raw = {215, -10005, 95000};

  const std::vector<std::string> lines = LogLines(text);
  for (size_t k = 0; k < lines.size(); ++k) {
    int d, mo, y, h, mi, s, ms;
    ASSERT_EQ(std::sscanf(lines[k].c_str(), "%d.%d.%d %d:%d:%d,%d", &d, &mo, &y, &h, &mi, &s, &ms),
              7)
        << lines[k];
    // Every value: one line after each channel's reading, so the first pass's
    // lines still hold 0 for the channels not read yet.
    for (size_t c = 0; c < 3; ++c) {
      TDeviceParam* dev = OEMData->ChannelDevice(int(c));
      dev->LastValues[dev->SubChannel - 1] = c <= k ? raw[c] : 0;
    }
    EXPECT_EQ(lines[k] + "\r\n", main.FormatLogLine(EncodeDateTime(y, mo, d, h, mi, s, ms)))
        << "line " << k;
  }
  EXPECT_NE(text.find(","), std::string::npos);
  SetFormatSettings(TFormatSettings());
}

TEST_F(StationPty, SigtermOrSigintMidLineEndsWithin1sWithWholeLines) {
  StartSim({"--device", "1:32:10"});
  const int delays[] = {0, 17, 33};
  int run = 0;
  for (int delay : delays) {
    const std::string log = Path("term" + std::to_string(run) + ".log");
    TStationProcess st;
    ASSERT_TRUE(st.Start(Plus(Base(), {"--log", log, "--every-value"}),
                         Path("term" + std::to_string(run))));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() > 20; }, 20000)) << st.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const int sig = run == 1 ? SIGINT : SIGTERM;
    const int64_t t0 = SteadyMs();
    st.Signal(sig);
    EXPECT_EQ(st.Wait(5000), 0) << st.Err();
    EXPECT_LT(SteadyMs() - t0, 1000) << "exit after the signal";
    const std::string text = ReadFile(log);
    EXPECT_TRUE(WholeLines(text));
    const std::vector<std::string> lines = LogLines(text);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i].size(), lines[0].size()) << "line " << i;
    }
    EXPECT_NE(st.Err().find(sig == SIGINT ? "stopped on SIGINT" : "stopped on SIGTERM"),
              std::string::npos)
        << st.Err();
    ++run;
  }
  // A stop during the scan of a quiet bus does not wait for the scan.
  TStationProcess early;
  ASSERT_TRUE(early.Start({"--config", conf, "--port", link}, Path("early")));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const int64_t t0 = SteadyMs();
  early.Signal(SIGTERM);
  EXPECT_EQ(early.Wait(5000), 0);
  EXPECT_LT(SteadyMs() - t0, 1000);
}

TEST_F(StationPty, SighupAfterTheLogWasMovedAwayStartsANewFileWithoutALostLine) {
  StartSim({"--device", "3:2:10"});
  const std::string log = Path("rot.log");
  TStationProcess st;
  ASSERT_TRUE(st.Start(Plus(Base(), {"--log", log, "--every-value"}), Path("hup")));
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() > 10; }, 20000)) << st.Err();
  ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
  st.Signal(SIGHUP);
  ASSERT_TRUE(st.WaitForErr("log file reopened", 5000)) << st.Err();
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() > 10; }, 10000));
  st.Signal(SIGTERM);
  ASSERT_EQ(st.Wait(5000), 0);
  const std::string oldText = ReadFile(log + ".1"), newText = ReadFile(log);
  EXPECT_TRUE(WholeLines(oldText));
  EXPECT_TRUE(WholeLines(newText));
  // The last line of the old file and the first of the new one are one poll
  // (about 55 ms) apart: nothing fell between them.
  auto ms = [](const std::string& line) {
    int h, m, s, ms;
    std::sscanf(line.c_str() + 9, "%d:%d:%d.%d", &h, &m, &s, &ms);
    return ((h * 60 + m) * 60 + s) * 1000LL + ms;
  };
  const auto o = LogLines(oldText), n = LogLines(newText);
  const int64_t gap = ms(n.front()) - ms(o.back());
  EXPECT_GT(gap, 0);
  EXPECT_LT(gap, 150);
}

TEST_F(StationPty, SimulatorKilledAndRestartedLogsTheOutageAndGoesOn) {
  const std::vector<std::string> args = {"--device",          "3:2:10",  "--curve",
                                         "3:1:constant:21.5", "--curve", "3:2:constant:22.5"};
  StartSim(args);
  const std::string log = Path("out.log");
  TStationProcess st;
  ASSERT_TRUE(st.Start(Plus(Base(), {"--log", log, "--interval", "0.3"}), Path("outage")));
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() >= 3; }, 20000)) << st.Err();
  sim.Kill();
  ASSERT_TRUE(st.WaitForErr("line lost", 5000)) << st.Err();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(sim.Start(link, args));
  ASSERT_TRUE(st.WaitForErr("reconnected to", 20000)) << st.Err();
  const size_t before = LogLines(ReadFile(log)).size();
  ASSERT_TRUE(WaitUntil([&] { return LogLines(ReadFile(log)).size() >= before + 3; }, 10000));
  st.Signal(SIGTERM);
  ASSERT_EQ(st.Wait(5000), 0);

  const std::string text = ReadFile(log);
  EXPECT_TRUE(WholeLines(text));
  const std::vector<std::string> lines = LogLines(text);
  // Values, then lines with no value at all while the line was gone, then
  // values again; never the old value repeated as if it had been read. At
  // either edge one line may hold the one channel read (or missed) already.
  enum { kValues, kOutage, kBack } phase = kValues;
  int outageLines = 0, edgeLines = 0;
  for (const std::string& l : lines) {
    const bool none = l.find("  N/A    N/A  ") != std::string::npos;
    const bool values = l.find("21.50   22.50") != std::string::npos;
    const bool edge = l.find("21.50  N/A  ") != std::string::npos;
    ASSERT_TRUE(none || values || edge) << l;
    if (edge) ++edgeLines;
    if (phase == kValues && none) phase = kOutage;
    if (phase == kOutage && values) phase = kBack;
    if (phase == kOutage && none) ++outageLines;
    if (phase == kBack) {
      EXPECT_TRUE(values) << l;
    }
  }
  EXPECT_LE(edgeLines, 2);
  EXPECT_EQ(phase, kBack);
  EXPECT_GE(outageLines, 3) << text;
  const std::string err = st.Err();
  EXPECT_LT(err.find("line lost"), err.find("reconnect try"));
  EXPECT_LT(err.find("reconnect try"), err.find("reconnected to"));
}

TEST_F(StationPty, ADifferentBusAfterTheOutageStopsWithWhatDiffers) {
  StartSim({"--device", "3:2:10"});
  TStationProcess st;
  ASSERT_TRUE(st.Start(Base(), Path("diff")));
  ASSERT_TRUE(st.WaitForErr("devices found", 20000)) << st.Err();
  sim.Kill();
  ASSERT_TRUE(st.WaitForErr("line lost", 5000)) << st.Err();
  ASSERT_TRUE(sim.Start(link, {"--device", "3:1:10"}));
  EXPECT_EQ(st.Wait(30000), 1) << st.Err();
  EXPECT_NE(st.Err().find("different bus: Device 3"), std::string::npos) << st.Err();
}

TEST_F(StationPty, BadOptionsAndSettingsFilesExitWith2AndOneLine) {
  auto oneLine = [](const std::string& s) { return !s.empty() && s.find('\n') == s.size() - 1; };
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                               {"--interval", "x"},
                                               {"--interval=1", "--every-value"},
                                               {"--config"}}) {
    TStationProcess st;
    EXPECT_EQ(st.Run(args, Path("bad"), 5000), 2) << args[0];
    EXPECT_TRUE(oneLine(st.Err())) << st.Err();
    EXPECT_EQ(st.Out(), "");
  }
  WriteConf("quilex-station.ini", "[Station]\nInterval=ten\n");
  TStationProcess st;
  EXPECT_EQ(st.Run(Base(), Path("badini"), 5000), 2);
  EXPECT_TRUE(oneLine(st.Err())) << st.Err();
  EXPECT_NE(st.Err().find("quilex-station.ini: [Station] Interval=ten"), std::string::npos)
      << st.Err();
  WriteConf("quilex-station.ini", std::string("\x7f"
                                              "ELF\0\0\x01garbage",
                                              13));
  TStationProcess g;
  EXPECT_EQ(g.Run(Base(), Path("garbageini"), 5000), 2);
  EXPECT_NE(g.Err().find("quilex-station.ini"), std::string::npos) << g.Err();

  TStationProcess help;
  EXPECT_EQ(help.Run({"--help"}, Path("help"), 5000), 0);
  for (const char* opt : {"--config DIR", "--port PATH", "--log FILE", "--append",
                          "--interval SECONDS", "--every-value", "--buffer-hours H", "--once"}) {
    EXPECT_NE(help.Out().find(opt), std::string::npos) << opt;
  }
}
