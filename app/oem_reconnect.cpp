// The main window's side of unattended runs: the line watched while the loop
// polls, the wait for a lost line with N/A lines in the interval log, and the
// rescan that carries on with the same bus or stops saying what differs.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <exception>

#include "app/MeasureStep.h"
#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "serial/CPortLed.h"

namespace {

// Thrown out of the rescan when the operator ends the wait during it.
struct TWaitEnded {};

// Longest single wait: settings changed meanwhile (interval, logging
// stopped) are seen within this time.
constexpr int kLongestWaitMs = 1000;

}  // namespace

bool TMain::ReconnectOn() const {
  return Options && Options->ReconnectAutomatically;
}

bool TMain::Stale(int channel, double now) const {
  const TLogTrigger log = LogTrigger();
  return freshness_.Stale(channel, now, log.EveryValue, log.IntervalSeconds);
}

void TMain::StartWatchingLine() {
  freshness_.Reset(OEMData->ChannelTotal, Clock().Now());
  lineWatch_.Reset();
  identityKnown_ = false;
  busIdentity_.clear();
}

void TMain::BeforePass() {
  // The identity costs two exchanges per device, so it is asked only while
  // the option is on; switched on during a run, it is asked at the next pass.
  if (!ReconnectOn() || identityKnown_) return;
  busIdentity_ = ReadBusIdentity(*OEMData);
  identityKnown_ = true;
}

void TMain::ChannelPolled(int channel, bool valid, TTempPanel* panel) {
  const double now = Clock().Now();
  freshness_.Polled(channel, valid, now);
  lineWatch_.ChannelPolled(valid);
  if (panel) panel->ShowStale(Stale(channel, now));
}

void TMain::EndReconnect() {
  if (!reconnecting_) return;
  reconnectEnded_ = true;
  if (waitLoop_) waitLoop_->quit();
}

void TMain::DefaultReconnectWait(int ms) {
  // An event loop that sleeps until the timer or the operator wakes it: no
  // polling, so the wait costs no processor time.
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  waitLoop_ = &loop;
  if (!reconnectEnded_) loop.exec();
  waitLoop_ = nullptr;
  // Woken neither by the timer nor by the operator: the application is
  // quitting, and so is the wait.
  if (timer.isActive() && !reconnectEnded_) EndReconnect();
}

void TMain::ShowReconnectStatus() {
  if (!StatusWindow) return;
  StatusWindow->ShowReconnecting(
      QString::fromStdString(ReconnectProgressText(schedule_.LostAt(), schedule_.Tries())));
  if (!StatusWindow->isVisible()) StatusWindow->show();
}

void TMain::WriteOutageLineIfDue() {
  const TLogTrigger log = LogTrigger();
  if (!log.Logging || log.EveryValue) return;
  if (MsUntilLogLineDue(log.LastLogTime, log.IntervalSeconds, Clock().Now()) > 0) return;
  WriteLogLine();
  LastLogTime = Clock().Now();
}

bool TMain::WaitForLine() {
  reconnecting_ = true;
  reconnectEnded_ = false;
  freshness_.LineLost();
  for (TTempPanel* p : Panels)
    if (p) p->ShowStale(true);
  schedule_.Start(Clock().TickMs(), Clock().Now());
  // The line is gone; what is left of the port is closed quietly. The
  // button keeps reading "Close", which ends the wait.
  try {
    port_->Close();
  } catch (const std::exception&) {
  }
  if (ComLed1) {
    ComLed1->SetKind(lkYellowLight);
    ComLed1->SetState(lsOn);
  }
  ShowReconnectStatus();

  TTryResult result = TTryResult::trEnded;
  while (!reconnectEnded_) {
    WriteOutageLineIfDue();
    if (schedule_.Due(Clock().TickMs())) {
      result = TryReconnect();
      if (result != TTryResult::trFailed) break;
      ShowReconnectStatus();
      continue;
    }
    int64_t wait = std::min<int64_t>(schedule_.MsUntilDue(Clock().TickMs()), kLongestWaitMs);
    const TLogTrigger log = LogTrigger();
    if (log.Logging && !log.EveryValue)
      wait = std::min(wait, MsUntilLogLineDue(log.LastLogTime, log.IntervalSeconds, Clock().Now()));
    if (wait > 0) ReconnectWait(int(wait));
  }
  if (reconnectEnded_) result = TTryResult::trEnded;

  schedule_.Stop();
  reconnecting_ = false;
  if (StatusWindow) {
    StatusWindow->hide();
    StatusWindow->EndReconnecting();
  }
  if (ComLed1) ComLed1->SetKind(lkGreenLight);
  if (result == TTryResult::trResumed) {
    SetLed(true);
    lineWatch_.Reset();
    return true;
  }
  // Ended by the operator, or a different bus: the run ends as a
  // disconnect or a failed connect does. The lamp goes out and logging
  // stops; panels and diagram keep what they show.
  try {
    port_->Close();
  } catch (const std::exception&) {
  }
  ConnectButton->setText(port_->Connected() ? "Close" : "Connect");
  PortOpen = port_->Connected();
  ConnectionEnded();
  return false;
}

TMain::TTryResult TMain::TryReconnect() {
  schedule_.TryBegins();
  ShowReconnectStatus();
  try {
    // A close that failed when the line went leaves the old handle; opening
    // over it would scan the dead line.
    if (port_->Connected()) port_->Close();
    port_->Open();
  } catch (const std::exception&) {
    schedule_.TryFailed(Clock().TickMs());
    return TTryResult::trFailed;
  }
  TBusIdentity now;
  try {
    if (StatusWindow) StatusWindow->ShowProgress(0);
    struct TProgressHook {
      TOEMData* bus;
      ~TProgressHook() { bus->OnScanProgress = nullptr; }
    } hook{OEMData};
    // A scan of a quiet bus takes seconds: the window and the interval log
    // go on between two addresses, and the operator may end the wait there.
    OEMData->OnScanProgress = [this](int done) {
      if (StatusWindow) StatusWindow->ShowProgress(done);
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      if (reconnectEnded_) throw TWaitEnded{};
      WriteOutageLineIfDue();
    };
    OEMData->ScanBus();
    OEMData->OnScanProgress = nullptr;
    ReadChannelLayout(*OEMData);
    if (!OEMData->Devices.empty()) now = ReadBusIdentity(*OEMData);
  } catch (const TWaitEnded&) {
    return TTryResult::trEnded;
  } catch (const std::exception&) {
    // A reply that cannot be read is no bus yet.
    now.clear();
    OEMData->Devices.clear();
  }
  if (now.empty()) {
    // The adapter is back but no device answers (yet): close it and try
    // again later, as if it had not opened.
    try {
      port_->Close();
    } catch (const std::exception&) {
    }
    schedule_.TryFailed(Clock().TickMs());
    return TTryResult::trFailed;
  }
  const std::string difference = DescribeBusDifference(busIdentity_, now);
  if (difference.empty()) return TTryResult::trResumed;

  if (StatusWindow) StatusWindow->hide();
  const QPoint at(frameGeometry().left() + 30, frameGeometry().top() + 20);
  ShowMessageBox(TMsgKind::mkError,
                 "Connection Failed\nThe bus that answered after the line came back is not "
                 "the one measured before:\n" +
                     QString::fromStdString(difference),
                 &at);
  return TTryResult::trDiffers;
}
