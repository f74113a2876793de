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
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"

class TSimMainPort : public TMainPort {
 public:
  TSimBus Bus;
  bool IsOpen = false;
  TOEMPort& Io() override { return Bus; }
  void Open() override {
    IsOpen = true;
    if (OnAfterOpen) OnAfterOpen();
  }
  void Close() override {
    IsOpen = false;
    if (OnAfterClose) OnAfterClose();
  }
  bool Connected() override { return IsOpen; }
  void ClearBuffers(bool, bool) override {}
};

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

// Every frame written to the bus, CR removed.
inline std::vector<std::string> Frames(const TSimBus& bus) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : bus.Written) {
    if (c == '\r') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

inline int CountFrame(const TSimBus& bus, const std::string& frame) {
  int n = 0;
  for (const auto& f : Frames(bus)) n += (f == frame);
  return n;
}

// Frames that set something (":" after the address prefix).
inline std::vector<std::string> SettingFrames(const TSimBus& bus) {
  std::vector<std::string> out;
  for (const auto& f : Frames(bus))
    if (f.find(':') != std::string::npos) out.push_back(f);
  return out;
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
    for (auto& d : OEMData->Devices) {
      d->GetChannelCount();
      d->GetScale();
    }
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
