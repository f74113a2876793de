#pragma once
// A main window wired to the in-process bus simulator in virtual time, with
// message boxes and the save dialog answered by the test.
#include <gtest/gtest.h>

#include <QPoint>
#include <QString>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"
#include "tests/support/frames.h"
#include "tests/support/sim_main_port.h"

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
    ReadChannelLayout(*OEMData);
  }

  int CountFrames(const std::string& what) const {
    return qxtest::CountText(port->Bus.Written, what);
  }
};
