// A broken quilex.ini: the program starts with its built-in port settings,
// never crashes, and never truncates or empties the file it found.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "common/QxPaths.h"
#include "tests/faults/fault_fixture.h"
#include "tests/faults/self_copy.h"
#include "tests/support/child_process.h"

namespace {

using qxtest::ReadFile;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

class IniFaults : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string ini;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    ini = QuilexIniPath();
    ASSERT_EQ(ini, dir.path().toStdString() + "/quilex.ini");
    MessageBoxHook = [](TMsgKind, const QString& text, const QPoint*) {
      ADD_FAILURE() << "message: " << text.toStdString();
      return TMsgResult::mrOk;
    };
  }
  void TearDown() override { MessageBoxHook = nullptr; }

  // Starts and closes the program; checks it came up with the built-in
  // settings.
  void StartAndClose() {
    TWatchdog dog(60, "start and close");
    auto main = std::make_unique<TMain>();
    ASSERT_NE(main->ComPort1, nullptr);
    EXPECT_EQ(main->ComPort1->Port(), "COM1");
    EXPECT_EQ(main->ComPort1->BaudRate(), br57600);
    EXPECT_EQ(main->ComPort1->DataBits(), dbEight);
    EXPECT_EQ(main->ComPort1->Parity().Bits(), prNone);
    EXPECT_EQ(main->ComPort1->StopBits(), sbOneStopBit);
    main->close();
  }
};

TEST_F(IniFaults, GarbageBinaryAndHugeFilesAreKept) {
  std::mt19937 rng(8);
  std::string binary(64 * 1024, '\0');
  for (char& c : binary) c = char(rng());
  std::string huge;
  huge.reserve(24u << 20);
  while (huge.size() < (24u << 20)) huge += "garbage line without meaning =;[x\n";
  const std::pair<const char*, std::string> cases[] = {
      {"garbage", "this is not\n[a profile\n=== at all\n\n;;;\n"},
      {"binary", binary},
      {"huge", huge},
      {"section without keys", "[ComPort1]\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    WriteFile(ini, c.second);
    StartAndClose();
    // What was there is still there; the settings were added, not put in
    // place of it.
    const std::string after = ReadFile(ini);
    EXPECT_GE(after.size(), c.second.size() / 2);
    EXPECT_NE(after.find("BaudRate=57600"), std::string::npos);
    const std::string firstLine = c.second.substr(0, c.second.find('\n'));
    if (firstLine.find('\r') == std::string::npos) {
      EXPECT_EQ(after.compare(0, firstLine.size(), firstLine), 0);
    }
  }
}

// Permissions do not bind the superuser: the unreadable and read-only cases
// run as an unprivileged user (in a child when the tests run as root).
TEST_F(IniFaults, UnreadableFileAndReadOnlyDirectory) {
  const std::string content = "[ComPort1]\nPort=ttyUSB7\nBaudRate=9600\n[Other]\nkeep=me\n";
  const std::string d = dir.path().toStdString();
  const std::string child = CopySelfTo(d);
  ASSERT_FALSE(child.empty());
  auto runAsUser = [&](const char* what) {
    SCOPED_TRACE(what);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Only plain system calls here: drop to nobody when we are root, then
      // start the program in a fresh process image.
      const char* self = child.c_str();
      ::setenv("QX_INI_CONTENT", content.c_str(), 1);
      const char* filter = "--gtest_filter=IniFaultsChild.DISABLED_StartAsUser";
      if (::geteuid() == 0)
        ::execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                self, "--gtest_also_run_disabled_tests", filter, static_cast<char*>(nullptr));
      else
        ::execl(self, self, "--gtest_also_run_disabled_tests", filter, static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    // Bounded: a child that hangs is killed and counts as failed (-1).
    EXPECT_EQ(qxtest::WaitOrKill(pid, 120000), 0)
        << "the unprivileged run failed (see its output above)";
  };

  // An unreadable file in a writable directory.
  WriteFile(ini, content);
  ASSERT_EQ(::chmod(ini.c_str(), 0200), 0);
  ASSERT_EQ(::chmod(d.c_str(), 0777), 0);
  runAsUser("unreadable file");
  ::chmod(ini.c_str(), 0644);
  EXPECT_EQ(ReadFile(ini), content);

  // A readable file in a directory where nothing can be created or replaced.
  ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(d.c_str(), 0555), 0);
  runAsUser("read-only directory");
  ::chmod(d.c_str(), 0700);
  EXPECT_EQ(ReadFile(ini), content);
}

}  // namespace

// Started by UnreadableFileAndReadOnlyDirectory in its unprivileged child.
TEST(IniFaultsChild, DISABLED_StartAsUser) {
  const char* content = std::getenv("QX_INI_CONTENT");
  ASSERT_NE(content, nullptr);
  MessageBoxHook = [](TMsgKind, const QString& text, const QPoint*) {
    ADD_FAILURE() << "message: " << text.toStdString();
    return TMsgResult::mrOk;
  };
  {
    TWatchdog dog(60, "start and close as user");
    auto main = std::make_unique<TMain>();
    ASSERT_NE(main->ComPort1, nullptr);
    // Readable: its settings apply; unreadable: the built-in ones.
    const bool readable = ::access(QuilexIniPath().c_str(), R_OK) == 0;
    EXPECT_EQ(main->ComPort1->Port(), readable ? "ttyUSB7" : "COM1");
    EXPECT_EQ(main->ComPort1->BaudRate(), readable ? br9600 : br57600);
    main->close();
  }
  MessageBoxHook = nullptr;
}
