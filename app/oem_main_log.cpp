// The main window's data log: the save dialog with its overwrite check, the
// logging button, and one whole line per trigger with its flush to the disk.
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QPalette>
#include <cmath>

#include "app/LogFlusher.h"
#include "app/LogWriter.h"
#include "app/MeasureStep.h"
#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "protocol/OEMLib.h"

namespace {

QByteArray FilePath(const QString& name) {
  return QFile::encodeName(name);
}

bool FileExists(const QString& name) {
  struct stat st;
  return !name.isEmpty() && ::stat(FilePath(name).constData(), &st) == 0;
}

// The options object may not exist in tests that build only the main window.
bool AppendLogFileSetting() {
  return Options ? Options->AppendLogFile : false;
}

}  // namespace

TLogTrigger TMain::LogTrigger() const {
  TLogTrigger t;
  t.Logging = Logging;
  if (Options) {
    t.EveryValue = Options->LogEveryValue;
    t.IntervalSeconds = Options->LogInterval;
  }
  t.LastLogTime = LastLogTime;
  return t;
}

std::string TMain::FormatLogLine(double now) {
  // While the line is away the bus object may be half rescanned; the run's
  // channels are all not available then.
  const int channels = reconnecting_ ? freshness_.Channels() : OEMData->ChannelTotal;
  std::vector<double> temperatures;
  temperatures.reserve(size_t(std::max(channels, 0)));
  for (int i = 0; i < channels; ++i) {
    // A value the device has not confirmed for a while is not a reading.
    if (reconnecting_ || Stale(i, now)) {
      temperatures.push_back(std::nan(""));
      continue;
    }
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) break;
    temperatures.push_back(double(dev->LastValue()) / dev->GetScale());
  }
  return ::FormatLogLine(now, temperatures);
}

bool TMain::WriteLogLine() {
  // The line is built whole before the file is touched, so a failure can
  // never leave part of it behind. A failed disk flush of an earlier line
  // fails this one: the disk has lost lines, and the user must know.
  const std::string line = FormatLogLine(Clock().Now());
  if (logPath_.empty() || LogFileName != logPathName_) {
    logPathName_ = LogFileName;
    logPath_ = FilePath(LogFileName).toStdString();
  }
  int err = 0;
  if (!logFlusher_->TakeFailure(err) && logFile_.Append(logPath_, line)) {
    logFlusher_->Request(logPath_);
    return true;
  }
  // The flush of the line before may still be under way and fail as well:
  // its failure is this same one, so it is taken here and shown once.
  logFlusher_->Drain();
  logFlusher_->TakeFailure(err);
  if (Logging) Button5Click();
  ShowMessageBox(TMsgKind::mkError, "Could not access File : " + LogFileName);
  return false;
}

void TMain::FinishLogFlush() {
  logFile_.Close();
  logFlusher_->Drain();
  int err = 0;
  if (logFlusher_->TakeFailure(err))
    ShowMessageBox(TMsgKind::mkError, "Could not access File : " + LogFileName);
}

void TMain::SetLogSync(std::function<int(int fd)> sync) {
  logFlusher_ = std::make_unique<TLogFlusher>(std::move(sync));
}

void TMain::SaveDialog1CanClose(bool& canClose) {
  LogFileName = SaveDialog1FileName;
  canClose = true;
  if (AppendLogFileSetting() || !FileExists(LogFileName)) return;
  if (ShowMessageBox(TMsgKind::mkWarningYesNo, "File already exists. Overwrite?") ==
      TMsgResult::mrNo) {
    canClose = false;
    return;
  }
  if (::unlink(FilePath(LogFileName).constData()) != 0) {
    Logging = false;
    ShowMessageBox(TMsgKind::mkError, "Could not access File : " + LogFileName);
  }
}

bool TMain::ExecuteSaveDialog1() {
  for (;;) {
    QString name;
    if (!SaveDialogPrompt || !SaveDialogPrompt(name)) return false;
    SaveDialog1FileName = name;
    bool canClose = true;
    SaveDialog1CanClose(canClose);
    if (canClose) return true;
  }
}

void TMain::Button5Click() {
  if (Logging) {
    Logging = false;
    Button5->setText("Start Logging");
    QPalette pal = Button5->palette();
    pal.setColor(QPalette::ButtonText, Qt::black);
    Button5->setPalette(pal);
    // A stopped log is on the disk.
    FinishLogFlush();
    return;
  }
  if (!PortOpen) return;
  Logging = true;
  if (!ExecuteSaveDialog1()) {
    Logging = false;
    return;
  }
  if (!Logging) return;
  Button5->setText("Stop Logging");
  QPalette pal = Button5->palette();
  pal.setColor(QPalette::ButtonText, Qt::red);
  Button5->setPalette(pal);
  if (!AppendLogFileSetting() && FileExists(LogFileName)) {
    ::unlink(FilePath(LogFileName).constData());  // a failure shows at the first line
  }
  LastLogTime = Clock().Now();
}
