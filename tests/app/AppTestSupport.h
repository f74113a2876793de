#pragma once
// A main window wired to the in-process bus simulator in virtual time, with
// message boxes and the save dialog answered by the test.
#include <gtest/gtest.h>

#include <QPoint>
#include <QString>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"

// The port of the main window, backed by a simulated bus.
class TSimMainPort : public TMainPort {
 public:
  TSimBus Bus;
  bool IsOpen = false;
  bool OpenFails = false;
  int CloseFailures = 0;  // close attempts that fail; -1: every one
  int CloseCalls = 0;

  TOEMPort& Io() override { return Bus; }
  void Open() override {
    if (IsOpen) return;
    if (OpenFails) throw std::runtime_error("Unable to open com port");
    IsOpen = true;
    if (OnAfterOpen) OnAfterOpen();
  }
  void Close() override {
    ++CloseCalls;
    if (!IsOpen) return;
    if (CloseFailures != 0) {
      if (CloseFailures > 0) --CloseFailures;
      throw std::runtime_error("PurgeComm function failed");
    }
    IsOpen = false;
    if (OnAfterClose) OnAfterClose();
  }
  bool Connected() override { return IsOpen; }
  void ClearBuffers(bool, bool) override {}
};

struct TShownMessage {
  TMsgKind Kind;
  QString Text;
  bool HasPos;
  QPoint Pos;
};

class AppTest : public ::testing::Test {
 protected:
  TVirtualClock clock;
  TScopedClock scopedClock{&clock};
  TSimMainPort* port = nullptr;
  std::unique_ptr<TMain> main;
  std::vector<TShownMessage> messages;
  std::deque<TMsgResult> answers;  // for Yes/No questions; default No
  std::deque<QString> saveNames;   // save dialog answers; empty = Cancel
  int savePrompts = 0;

  void SetUp() override {
    SetFormatSettings(TFormatSettings::GermanLike());
    MessageBoxHook = [this](TMsgKind kind, const QString& text, const QPoint* at) {
      messages.push_back({kind, text, at != nullptr, at ? *at : QPoint()});
      if (kind != TMsgKind::mkWarningYesNo) return TMsgResult::mrOk;
      if (answers.empty()) return TMsgResult::mrNo;
      const TMsgResult r = answers.front();
      answers.pop_front();
      return r;
    };
    Options = new TOptions();
    auto p = std::make_unique<TSimMainPort>();
    port = p.get();
    main = std::make_unique<TMain>(nullptr, std::move(p));
    main->SaveDialogPrompt = [this](QString& name) {
      ++savePrompts;
      if (saveNames.empty()) return false;
      name = saveNames.front();
      saveNames.pop_front();
      return true;
    };
  }

  void TearDown() override {
    main.reset();
    delete Options;
    Options = nullptr;
    MessageBoxHook = nullptr;
    SetFormatSettings(TFormatSettings());
  }

  // Connects and measures; after `channelTurns` channel turns the Close
  // button is clicked. `each` runs after every turn (turn number from 1).
  void RunTurns(int channelTurns, std::function<void(int turn)> each = nullptr) {
    int turns = 0;
    main->OnChannelDone = [&](int) {
      ++turns;
      if (each) each(turns);
      if (turns == channelTurns) main->ConnectButton->click();
    };
    main->ConnectButton->click();
    main->OnChannelDone = nullptr;
  }

  // Opens the port and scans without entering the loop.
  void ScanOnly() {
    port->Open();
    OEMData->ScanBus();
    for (auto& d : OEMData->Devices) {
      d->GetChannelCount();
      d->GetScale();
    }
  }

  int CountFrames(const std::string& what) const {
    int n = 0;
    for (size_t pos = port->Bus.Written.find(what); pos != std::string::npos;
         pos = port->Bus.Written.find(what, pos + 1))
      ++n;
    return n;
  }
};
