// The termios device over pseudo-terminals: our own peer, and the bus
// simulator program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "tests/serial/program_line_settings.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

int CodeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EComPort& e) {
    return e.ErrorCode();
  }
  return 0;
}

template <class P>
bool PumpUntil(P pred, int ms = 2000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred() && Clock::now() < end) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

struct Pty : ::testing::Test {
  int master = -1;
  std::string slave;
  TComPort port;
  void SetUp() override {
    int s = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &s, name, nullptr, nullptr), 0);
    slave = name;
    // Only the port keeps the slave open, as with a real device.
    close(s);
    port.SetPort(slave);
    ApplyProgramLineSettings(port);
  }
  void TearDown() override {
    port.Close();
    if (master >= 0) close(master);
  }
  std::string MasterRead(size_t want, int ms = 1000) {
    std::string r;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (r.size() < want && Clock::now() < end) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        char b[256];
        ssize_t n = read(master, b, sizeof b);
        if (n > 0) r.append(b, static_cast<size_t>(n));
      }
    }
    return r;
  }
  void MasterWrite(const std::string& s) {
    ASSERT_EQ(write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
};

TEST_F(Pty, OpensWithTheProgramSettingsAndExchangesBytes) {
  port.Open();
  ASSERT_TRUE(port.Connected());
  struct termios t;
  int probe = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (probe >= 0) {
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    close(probe);
  }

  EXPECT_EQ(port.WriteText("A03 ?40\r"), 8);
  EXPECT_EQ(MasterRead(8), "A03 ?40\r");

  std::string text;
  auto t0 = Clock::now();
  EXPECT_EQ(port.ReadText(text, 100), 0);  // nothing queued: at once
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(30));
  MasterWrite("A03 =40 #51\r\n");
  std::string got;
  auto end = Clock::now() + std::chrono::seconds(1);
  while (got.size() < 13 && Clock::now() < end) {
    port.ReadText(text, 5);
    EXPECT_LE(text.size(), 5u);
    got += text;
  }
  EXPECT_EQ(got, "A03 =40 #51\r\n");
  // A pseudo-terminal has no modem lines: they read as off.
  EXPECT_TRUE(port.ModemSignals().Empty());
  EXPECT_TRUE(port.LineErrors().Empty());
}

TEST_F(Pty, CloseRestoresTheTerminalSettingsFoundAtOpen) {
  // A console's view of the line: canonical input with echo at 9600 baud.
  const int view = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(view, 0);
  struct termios before;
  ASSERT_EQ(tcgetattr(view, &before), 0);
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_oflag |= OPOST;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(view, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(view, &before), 0);

  for (int round = 0; round < 2; ++round) {
    port.Open();
    // Changed while open, too: the close still puts back the first state.
    if (round == 1) port.SetBaudRate(br115200);
    struct termios open;
    ASSERT_EQ(tcgetattr(view, &open), 0);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_NE(cfgetospeed(&open), cfgetospeed(&before));
    port.Close();
    struct termios after;
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << round;
    EXPECT_EQ(after.c_iflag, before.c_iflag) << round;
    EXPECT_EQ(after.c_oflag, before.c_oflag) << round;
    EXPECT_EQ(after.c_cflag, before.c_cflag) << round;
    EXPECT_EQ(cfgetospeed(&after), B9600) << round;
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]) << round;
  }
  close(view);
}

TEST_F(Pty, LineSettingsReachTheDevice) {
  port.Open();
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(31250);
  port.Parity().SetBits(prSpace);
  port.SetStopBits(sbTwoStopBits);
  port.SetDataBits(dbSeven);
  port.FlowControl().SetFlowControl(fcSoftware);
  int probe = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (probe < 0) GTEST_SKIP() << "slave locked against a second open";
  struct termios t;
  ASSERT_EQ(tcgetattr(probe, &t), 0);
  close(probe);
  // A pseudo-terminal always keeps eight bits without parity; stop bits
  // and software flow control do reach it.
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 17);
}

TEST_F(Pty, RxFlagReachesTheWindowThreadAndCloseStopsTheThread) {
  const auto window = std::this_thread::get_id();
  int flags = 0;
  bool elsewhere = false;
  std::string atFlag;
  port.SetOnRxFlag([&] {
    ++flags;
    elsewhere |= std::this_thread::get_id() != window;
    std::string t;
    while (port.ReadText(t, 100) > 0) atFlag += t;
  });
  port.Open();
  ASSERT_TRUE(port.ThreadCreated());
  MasterWrite("1 2345\r\n");
  ASSERT_TRUE(PumpUntil([&] { return flags >= 1; }));
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(atFlag, "1 2345\r\n");

  // A line arrives while the window thread is busy; Close must still end
  // the thread promptly and discard what is queued.
  MasterWrite("*00\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto t0 = Clock::now();
  port.Close();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_FALSE(port.ThreadCreated());
  port.OnRxFlag = nullptr;
  port.Open();
  std::string t;
  EXPECT_EQ(port.ReadText(t, 100), 0);
}

TEST_F(Pty, VanishedDeviceFailsAtOnceAndEndsTheThread) {
  port.Open();
  ASSERT_TRUE(port.EventThreadRunning());
  close(master);
  master = -1;
  auto end = Clock::now() + std::chrono::seconds(2);
  while (port.EventThreadRunning() && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(port.EventThreadRunning());
  std::string t;
  auto t0 = Clock::now();
  EXPECT_EQ(CodeOf([&] { port.ReadText(t, 100); }), CError_ReadFailed);
  EXPECT_EQ(CodeOf([&] { port.WriteText("A03 ?40\r"); }), CError_WriteFailed);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST_F(Pty, BusyMissingAndNonTerminalPortsFailWithCodeOne) {
  port.Open();
  TComPort second;
  second.SetPort(slave);
  try {
    second.Open();
    FAIL() << "a port in use opened twice";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), CError_OpenFailed);
    EXPECT_NE(std::string(e.what()).find(slave), std::string::npos) << e.what();
  }
  EXPECT_FALSE(second.Connected());
  second.SetPort("/dev/quilex-no-such-port");
  EXPECT_EQ(CodeOf([&] { second.Open(); }), CError_OpenFailed);
  second.SetPort("/dev/null");
  try {
    second.Open();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), CError_OpenFailed);
    EXPECT_EQ(e.SystemErrorCode(), ENOTTY);
  }
}

// The bus simulator program on its pseudo-terminal.
struct Simulator : ::testing::Test {
  TSimProcess sim;
  std::string slave;
  void SetUp() override {
    if (TSimProcess::Exe().empty()) GTEST_SKIP() << "quilex-sim is not built";
    const std::string link =
        ::testing::TempDir() + "qxserial-sim" + std::to_string(getpid()) + ".link";
    ASSERT_TRUE(sim.Start(link, {}));
    slave = sim.Slave();
    ASSERT_FALSE(slave.empty());
  }
};

TEST_F(Simulator, ScanBusFindsTheDevicesAndReadsSamples) {
  TComPort port;
  port.SetPort(slave);
  ApplyProgramLineSettings(port);
  TOEMData bus;
  bus.AttachPort(&port);
  EXPECT_EQ(port.EventChar(), '\n');
  EXPECT_EQ(port.Events, TComEvents{evRxFlag});
  port.Open();
  bus.ScanBus();
  ASSERT_EQ(bus.Devices.size(), 2u);
  EXPECT_EQ(bus.Devices[0]->Address, 3);
  EXPECT_EQ(bus.Devices[1]->Address, 7);
  EXPECT_EQ(bus.ChannelTotal, 3);
  for (int ch = 0; ch < bus.ChannelTotal; ++ch) {
    TDeviceParam* d = bus.ChannelDevice(ch);
    ASSERT_NE(d, nullptr);
    int32_t raw = 0;
    EXPECT_TRUE(d->ReadSample(raw)) << "channel " << ch;
    EXPECT_NE(raw, 9999);
    QCoreApplication::processEvents();  // the line-end events of the replies
  }
  port.Close();
}

}  // namespace
