// The real quilex-sim program over its pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "protocol/OEMLib.h"
#include "tests/support/sim_process.h"

namespace {

// The port interface over a raw terminal file descriptor.
class TFdPort : public TOEMPort {
 public:
  explicit TFdPort(int fd) : fd_(fd) {}
  int WriteText(const std::string& text) override {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t w = write(fd_, text.data() + done, text.size() - done);
      if (w < 0 && errno != EAGAIN) throw std::runtime_error("write failed");
      if (w > 0) done += static_cast<size_t>(w);
    }
    return static_cast<int>(done);
  }
  int ReadText(std::string& text, int count) override {
    text.assign(static_cast<size_t>(count), '\0');
    ssize_t n = read(fd_, &text[0], static_cast<size_t>(count));
    if (n < 0 && errno != EAGAIN) throw std::runtime_error("read failed");
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return static_cast<int>(text.size());
  }
  void AbortPendingIo() override {}
  void SetEventChar(char) override {}
  void SetEventsToRxFlagOnly() override {}
  void SetOnRxFlag(std::function<void()>) override {}

 private:
  int fd_;
};

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Write a frame by hand and read until two line ends or a timeout.
std::string Exchange(int fd, const std::string& frame, int lineEnds = 2) {
  EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    int lf = 0;
    for (char c : got) lf += c == '\n';
    if (lf >= lineEnds) break;
  }
  return got;
}

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TSimProcess::Exe().empty()) << qxtest::BuildDir() << "/quilex-sim";
    const std::string tmp = ::testing::TempDir() + "/qxsim" + std::to_string(getpid());
    link = tmp + ".link";
    logFile = tmp + ".log";
    const std::string out = tmp + ".out";
    std::remove(logFile.c_str());
    // A stale link from an earlier run is replaced.
    unlink(link.c_str());
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    TSimProcess::TOptions options;
    options.StdoutPath = out;
    options.KeepOldLink = true;
    ASSERT_TRUE(sim.Start(link, {"--log", logFile}, options));
    // The first line the simulator prints names its terminal.
    ASSERT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::ReadFile(out).find('\n') != std::string::npos; }, 5000));
    const std::string printed = qxtest::ReadFile(out);
    slave = printed.substr(0, printed.find('\n'));
  }
  std::string link, logFile, slave;
  TSimProcess sim;
};

TEST_F(SimProgram, AnswersHandWrittenFramesAndSurvivesReopen) {
  ASSERT_EQ(slave.compare(0, 9, "/dev/pts/"), 0) << slave;
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(slave, target);

  int fd = OpenRaw(link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Exchange(fd, "A03 ?40\r"), "A03 =40 #51 54 4D 2D 32\r\nA03 *00\r\n");
  close(fd);
  for (int round = 0; round < 2; ++round) {
    fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "A07 ?45\r"), "A07 =45 100\r\nA07 *00\r\n");
    EXPECT_EQ(Exchange(fd, "A07 :52  4\r", 1), "A07 *00\r\n");
    close(fd);
  }

  std::ifstream log(logFile);
  std::stringstream all;
  all << log.rdbuf();
  EXPECT_NE(all.str().find("RX A03 ?40\\r"), std::string::npos) << all.str();
  EXPECT_NE(all.str().find("TX A07 *00\\r\\n"), std::string::npos);

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed on exit";
}

TEST_F(SimProgram, ScanOfTheDefaultBusInRealTime) {
  int fd = OpenRaw(link);
  ASSERT_GE(fd, 0);
  TFdPort port(fd);
  TOEMData oem;
  oem.AttachPort(&port);
  const auto t0 = std::chrono::steady_clock::now();
  oem.ScanBus();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  close(fd);
  ASSERT_EQ(oem.Devices.size(), 2u);
  EXPECT_EQ(oem.Devices[0]->Address, 3);
  EXPECT_EQ(oem.Devices[1]->Address, 7);
  EXPECT_EQ(oem.ChannelTotal, 3);
  EXPECT_GE(ms, 19 * (52 + 81));
  std::printf("[ measure ] scan of the default simulator bus over the pty: %lld ms (real)\n",
              static_cast<long long>(ms));
}

}  // namespace
