#pragma once
// Shared pieces of the dialog, menu and device list tests: a main window
// whose port is the in-process bus simulator, virtual time, recorded message
// boxes and a way to answer modal dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/oem_analog.h"
#include "app/oem_averaging.h"
#include "app/oem_calib.h"
#include "app/oem_calibnr.h"
#include "app/oem_devlist.h"
#include "app/oem_main.h"
#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"
#include "tests/support/frames.h"
#include "tests/support/sim_main_port.h"

// Runs fn on the modal dialog once it is up (polled, so it works whatever
// happens before exec() is entered). Gives up after about two seconds.
inline void WhenModal(std::function<void(QWidget*)> fn, int triesLeft = 200) {
  QTimer::singleShot(10, [fn, triesLeft] {
    QWidget* w = QApplication::activeModalWidget();
    if (w && w->isVisible()) {
      fn(w);
    } else if (triesLeft > 0) {
      WhenModal(fn, triesLeft - 1);
    }
  });
}

// The frame helpers over what the fixture's bus was sent.
inline std::vector<std::string> Frames(const TSimBus& bus) {
  return qxtest::Frames(bus.Written);
}
inline int CountFrame(const TSimBus& bus, const std::string& frame) {
  return qxtest::CountFrame(bus.Written, frame);
}
inline std::vector<std::string> SettingFrames(const TSimBus& bus) {
  return qxtest::SettingFrames(bus.Written);
}

class TAppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFormat_ = FormatSettings();
    SetFormatSettings(TFormatSettings::GermanLike());
    MessageBoxHook = [this](TMsgKind, const QString& text, const QPoint*) {
      Messages.push_back(text.toStdString());
      return TMsgResult::mrOk;
    };
    auto port = std::make_unique<TSimMainPort>();
    Port = port.get();
    MainWin = std::make_unique<TMain>(nullptr, std::move(port));
    CalibDlg = std::make_unique<TCalibration>();
    AnalogDlg = std::make_unique<TAnalog>();
    CalibNrDlg = std::make_unique<TCalibNr>();
    AveragingDlg = std::make_unique<TSetAveraging>();
    DevListWin = std::make_unique<TDevList>();
    Calibration = CalibDlg.get();
    Analog = AnalogDlg.get();
    CalibNr = CalibNrDlg.get();
    SetAveraging = AveragingDlg.get();
    DevList = DevListWin.get();
  }

  void TearDown() override {
    Calibration = nullptr;
    Analog = nullptr;
    CalibNr = nullptr;
    SetAveraging = nullptr;
    DevList = nullptr;
    DevListWin.reset();
    CalibDlg.reset();
    AnalogDlg.reset();
    CalibNrDlg.reset();
    AveragingDlg.reset();
    MainWin.reset();
    MessageBoxHook = nullptr;
    SetFormatSettings(savedFormat_);
  }

  // Scans the simulated bus and builds the panels, as a connect would
  // (without entering the measurement loop).
  void Connect() {
    Port->Open();
    OEMData->ScanBus();
    ReadChannelLayout(*OEMData);
    if (OEMData->ChannelTotal > 0) MainWin->BuildPanels();
    Port->Bus.Written.clear();
  }

  TVirtualClock Clock_;
  TScopedClock ScopedClock_{&Clock_};
  TSimMainPort* Port = nullptr;
  std::unique_ptr<TMain> MainWin;
  std::unique_ptr<TCalibration> CalibDlg;
  std::unique_ptr<TAnalog> AnalogDlg;
  std::unique_ptr<TCalibNr> CalibNrDlg;
  std::unique_ptr<TSetAveraging> AveragingDlg;
  std::unique_ptr<TDevList> DevListWin;
  std::vector<std::string> Messages;

 private:
  TFormatSettings savedFormat_;
};
