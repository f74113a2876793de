#pragma once
// The shipped main window with its real serial port and a diagram window,
// against quilex-sim over a pseudo-terminal; message boxes are recorded, the
// save dialog answers with a path chosen by the test, and a watchdog ends the
// process when the program hangs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "tests/support/sim_process.h"

// Ends the whole test process when a step does not finish in time: a hang
// must fail the test, not stall the suite.
class TWatchdog {
 public:
  explicit TWatchdog(int seconds, const char* what) : what_(what) {
    thread_ = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(m_);
      if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
        std::fprintf(stderr, "watchdog: '%s' hung for %d s\n", what_, seconds);
        std::_Exit(3);
      }
    });
  }
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  const char* what_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

inline int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CPU time (user + system) of this process in milliseconds.
inline int64_t CpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

// Lets the window system run for ms milliseconds, as an idle program would.
inline void IdleFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class FaultFixture : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  TSimProcess sim;
  std::string link;
  std::unique_ptr<TMain> main;
  std::unique_ptr<TDiagramm> diagram;
  std::vector<QString> messages;
  QString logPath;

  void SetUp() override {
    if (TSimProcess::Exe().empty()) GTEST_SKIP() << "quilex-sim is not built";
    ASSERT_TRUE(dir.isValid());
    link = dir.filePath("ttyQX").toStdString();
    logPath = dir.filePath("faults.log");
    setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    SetFormatSettings(TFormatSettings::EnglishUSLike());
    MessageBoxHook = [this](TMsgKind, const QString& text, const QPoint*) {
      messages.push_back(text);
      return TMsgResult::mrYes;
    };
    Options = new TOptions();
    diagram = std::make_unique<TDiagramm>();
    Diagramm = diagram.get();
  }

  void TearDown() override {
    main.reset();
    Diagramm = nullptr;
    diagram.reset();
    delete Options;
    Options = nullptr;
    MessageBoxHook = nullptr;
    sim.Stop(SIGTERM);
    SetFormatSettings(TFormatSettings());
  }

  void StartSim(std::vector<std::string> args) { ASSERT_TRUE(sim.Start(link, std::move(args))); }

  void MakeMain() {
    main = std::make_unique<TMain>();
    ASSERT_NE(main->ComPort1, nullptr);
    main->ComPort1->SetPort(link);
    main->SaveDialogPrompt = [this](QString& name) {
      name = logPath;
      return true;
    };
  }

  // Clicks Connect and measures; `each` runs after every channel turn with
  // the turn number (from 1) and returns false to click Close. The whole
  // run must end within `seconds`.
  int Run(const std::function<bool(int turn, int channel)>& each, int seconds = 60) {
    TWatchdog dog(seconds, "measurement run");
    int turns = 0;
    bool closing = false;
    main->OnChannelDone = [&](int channel) {
      ++turns;
      if (!closing && !each(turns, channel)) {
        closing = true;
        main->ConnectButton->click();
      }
    };
    main->ConnectButton->click();
    main->OnChannelDone = nullptr;
    return turns;
  }

  QString PanelText(size_t i) const {
    return i < main->Panels.size() && main->Panels[i] ? main->Panels[i]->ValueLabel->text()
                                                      : QString("<no panel>");
  }
  int DiagramPoints(int channel) const {
    Tsp_XYLine* l = diagram->Line(channel);
    return l ? l->Count() : -1;
  }
  int Count(const QString& text) const {
    int n = 0;
    for (const QString& m : messages) n += m == text;
    return n;
  }
};
