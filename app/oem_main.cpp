// The operator's main window: its controls, connect and disconnect, the bus
// scan, and the polling loop that is the program's only scheduler. The log,
// the device menu and unattended reconnects have files of their own.
#include "app/oem_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <stdexcept>

#include "app/LogFlusher.h"
#include "app/MeasureStep.h"
#include "app/PortSetup.h"
#include "app/oem_comment.h"
#include "app/oem_options.h"
#include "common/ChannelColors.h"
#include "common/QxClock.h"
#include "diagram/oem_diagramm.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "serial/CPortLed.h"

TMain* Main = nullptr;
TOEMData* OEMData = nullptr;
TStatusWindow* StatusWindow = nullptr;
TDevList* DevList = nullptr;
TDiagramm* Diagramm = nullptr;
TOptions* Options = nullptr;
TCalibration* Calibration = nullptr;
TAnalog* Analog = nullptr;
TCalibNr* CalibNr = nullptr;
TComment* Comment = nullptr;
TSetAveraging* SetAveraging = nullptr;

namespace {

// The serial port component behind the main window in the shipped program.
class TComPortAdapter : public TMainPort {
 public:
  explicit TComPortAdapter(TComPort* port) : port_(port) {}
  TOEMPort& Io() override { return *port_; }
  void Open() override { port_->Open(); }
  void Close() override { port_->Close(); }
  bool Connected() override { return port_->Connected(); }
  void ClearBuffers(bool input, bool output) override { port_->ClearBuffers(input, output); }
  // The event thread ends by itself only when the device vanished.
  bool LineLost() override {
    return port_->Connected() && port_->ThreadCreated() && !port_->EventThreadRunning();
  }

 private:
  TComPort* port_;
};

constexpr int kSpacing = 4;
constexpr int kPanelW = 110;
constexpr int kPanelH = 50;
// The layout sizes are outer window sizes; a frame takes this much of them.
constexpr int kFrameW = 8;
constexpr int kFrameH = 30;
constexpr int kMinClientW = 258 - kFrameW;
constexpr int kMinClientH = 141 - kFrameH;
}  // namespace

TMain::TMain(QWidget* parent, std::unique_ptr<TMainPort> port)
    : QWidget(parent), port_(std::move(port)), logFlusher_(std::make_unique<TLogFlusher>()) {
  setWindowTitle("Quilex Assistant");
  setMinimumSize(kMinClientW, kMinClientH);
  resize(kMinClientW, kMinClientH);
  BuildControls();
  FitButtonCaptions();
  BuildPopupMenu();
  ConnectHandlers();
  InstallDefaultPrompts();
  CreatePort();
  FormCreate();
}

void TMain::BuildControls() {
  Panel6 = new QWidget(this);
  Panel6->setGeometry(0, 0, 2000, 113);
  Button3 = new QPushButton("Device List", Panel6);
  Button3->setGeometry(106, 16, 59, 25);
  Button6 = new QPushButton("Diagram", Panel6);
  Button6->setGeometry(106, 44, 59, 25);
  Button4 = new QPushButton("Options", Panel6);
  Button4->setGeometry(106, 72, 59, 25);
  Button5 = new QPushButton("Start Logging", Panel6);
  Button5->setGeometry(170, 16, 75, 81);
  GroupBox1 = new QGroupBox("Connection", Panel6);
  GroupBox1->setGeometry(4, 8, 97, 97);
  ComLed1 = new TComLed(GroupBox1);
  ComLed1->setGeometry(6, 24, 25, 25);
  ComLed1->SetKind(lkGreenLight);
  ConnectButton = new QPushButton("Connect", GroupBox1);
  ConnectButton->setGeometry(36, 16, 53, 41);
  Button2 = new QPushButton("PortSettings", GroupBox1);
  Button2->setGeometry(8, 64, 81, 25);
}

void TMain::FitButtonCaptions() {
  // The design sizes are small for today's fonts: use the largest font at
  // which every caption fits its button rather than cutting captions.
  const std::vector<std::pair<QPushButton*, QString>> captions = {
      {Button3, "Device List"},   {Button6, "Diagram"},      {Button4, "Options"},
      {Button5, "Start Logging"}, {Button2, "PortSettings"}, {ConnectButton, "Connect"}};
  QFont buttonFont = Button3->font();
  auto allFit = [&] {
    for (const auto& c : captions)
      if (QFontMetrics(buttonFont).horizontalAdvance(c.second) > c.first->width() - 8) return false;
    return true;
  };
  while (buttonFont.pointSizeF() > 6.0 && !allFit())
    buttonFont.setPointSizeF(buttonFont.pointSizeF() - 0.5);
  for (const auto& c : captions) c.first->setFont(buttonFont);
}

void TMain::BuildPopupMenu() {
  PopupMenu1 = new QMenu(this);
  OnePointCalibration1 = PopupMenu1->addAction("One Point Calibration");
  ResetCalibration1 = PopupMenu1->addAction("Reset OP Calibration");
  PopupMenu1->addSeparator();
  SetAnalogOutput1 = PopupMenu1->addAction("Set Analog Output");
  PopupMenu1->addSeparator();
  SelectCalibration1 = PopupMenu1->addAction("Select Calibration");
  PopupMenu1->addSeparator();
  SetAveraging1 = PopupMenu1->addAction("Set Averaging");
}

void TMain::ConnectHandlers() {
  auto onClick = [this](QAbstractButton* b, void (TMain::*handler)()) {
    connect(b, &QAbstractButton::clicked, this,
            [this, handler] { GuardedCall([this, handler] { (this->*handler)(); }); });
  };
  onClick(ConnectButton, &TMain::ConnectButtonClick);
  onClick(Button2, &TMain::Button2Click);
  onClick(Button3, &TMain::Button3Click);
  onClick(Button4, &TMain::Button4Click);
  onClick(Button5, &TMain::Button5Click);
  onClick(Button6, &TMain::Button6Click);
  auto onAction = [this](QAction* a, void (TMain::*handler)()) {
    connect(a, &QAction::triggered, this,
            [this, handler] { GuardedCall([this, handler] { (this->*handler)(); }); });
  };
  onAction(OnePointCalibration1, &TMain::OnePointCalibration1Click);
  onAction(ResetCalibration1, &TMain::ResetCalibration1Click);
  onAction(SetAnalogOutput1, &TMain::SetAnalogOutput1Click);
  onAction(SelectCalibration1, &TMain::SelectCalibration1Click);
  onAction(SetAveraging1, &TMain::SetAveraging1Click);
}

void TMain::InstallDefaultPrompts() {
  ReconnectWait = [this](int ms) { DefaultReconnectWait(ms); };

  SaveDialogPrompt = [this](QString& fileName) {
    QFileDialog dlg(this);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setOption(QFileDialog::DontConfirmOverwrite);
    dlg.setDirectory(".");
    if (!SaveDialog1FileName.isEmpty()) dlg.selectFile(SaveDialog1FileName);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
    fileName = dlg.selectedFiles().first();
    return true;
  };
}

void TMain::CreatePort() {
  if (!port_) {
    ComPort1 = new TComPort(this);
    ApplyBuiltInPortSettings(*ComPort1);
    port_ = std::make_unique<TComPortAdapter>(ComPort1);
    ownedComPort_.reset(ComPort1);
  }
  port_->OnAfterOpen = [this] { ComPort1AfterOpen(); };
  port_->OnAfterClose = [this] { ComPort1AfterClose(); };
  if (ComPort1) {
    ComPort1->OnAfterOpen = [this](TCustomComPort*) { port_->OnAfterOpen(); };
    ComPort1->OnAfterClose = [this](TCustomComPort*) { port_->OnAfterClose(); };
  }
}

TMain::~TMain() {
  // Close while the bus object still exists, and without notifications into
  // a half-destroyed window.
  if (ComPort1) {
    ComPort1->OnAfterOpen = nullptr;
    ComPort1->OnAfterClose = nullptr;
    try {
      ComPort1->Close();
    } catch (const std::exception&) {
    }
  }
  if (OEMData == ownedBus_.get()) OEMData = nullptr;
  if (Main == this) Main = nullptr;
}

void TMain::FormCreate() {
  try {
    if (ComPort1) {
      ComPort1->SetBaudRate(br57600);
      // A missing or unreadable configuration leaves the built-in settings.
      LoadPortSettings(*ComPort1, "quilex.ini");
    }
    PortOpen = false;
    Logging = false;
    ownedBus_ = std::make_unique<TOEMData>();
    OEMData = ownedBus_.get();
    OEMData->AttachPort(&port_->Io());
    SetClientSize(width(), 0);
    SetClientSize(width(), Panel6->height() + 1);
  } catch (const std::exception&) {
    ShowMessageBox(TMsgKind::mkError, "An Error ocurred during execution");
  }
}

void TMain::SetClientSize(int w, int h) {
  resize(std::max(w, kMinClientW), std::max(h, kMinClientH));
}

void TMain::SetLed(bool on) {
  if (ComLed1) ComLed1->SetState(on ? lsOn : lsOff);
}

bool TMain::ClosePortBounded() {
  QString lastError;
  for (int attempt = 0; attempt < MaxCloseAttempts; ++attempt) {
    try {
      port_->Close();
    } catch (const std::exception& e) {
      lastError = QString::fromLocal8Bit(e.what());
    }
    if (!port_->Connected()) return true;
  }
  ShowMessageBox(TMsgKind::mkError,
                 "The port could not be closed" + (lastError.isEmpty() ? "" : ": " + lastError));
  return false;
}

void TMain::ConnectButtonClick() {
  // While a lost line is awaited the button reads "Close" with the port shut.
  if (reconnecting_) {
    EndReconnect();
    return;
  }
  if (port_->Connected()) {
    // Queued bytes are dropped either way; a failing purge must not keep the
    // port from closing.
    try {
      port_->ClearBuffers(false, true);
      port_->ClearBuffers(true, false);
    } catch (const std::exception&) {
    }
    if (!ClosePortBounded()) return;
    if (Logging) Button5Click();
    SetLed(false);
    return;
  }

  try {
    if (StatusWindow) {
      StatusWindow->show();
      StatusWindow->Label1->setText("Connecting...");
      StatusWindow->ShowProgress(0);
    }
    QCoreApplication::processEvents();
    port_->Open();
    ScanWithProgress();
    ShowScannedBus();
    DoMainLoop();
    ConnectionEnded();
  } catch (const std::exception& e) {
    if (StatusWindow) StatusWindow->hide();
    const QPoint at(frameGeometry().left() + 30, frameGeometry().top() + 20);
    // The operator needs the cause (a lost line, a missing device) to act on.
    const QString why = QString::fromLocal8Bit(e.what());
    ShowMessageBox(TMsgKind::mkError, "Connection Failed" + (why.isEmpty() ? "" : "\n" + why), &at);
    try {
      port_->Close();
    } catch (const std::exception&) {
    }
    ConnectionEnded();
  }
}

void TMain::ScanWithProgress() {
  {
    // A quiet bus takes seconds to scan; the status window shows how far it
    // got. The hook is ours only for this scan.
    struct TProgressHook {
      TOEMData* bus;
      ~TProgressHook() { bus->OnScanProgress = nullptr; }
    } hook{OEMData};
    OEMData->OnScanProgress = [](int done) {
      if (StatusWindow) StatusWindow->ShowProgress(done);
    };
    OEMData->ScanBus();
  }
  if (!OEMData->Devices.empty()) SetLed(true);
  ReadChannelLayout(*OEMData);
}

void TMain::ShowScannedBus() {
  if (StatusWindow) StatusWindow->hide();
  show();
  BuildPanels();
  if (Diagramm) {
    Diagramm->SetChannelCount(int(OEMData->Devices.size()));
    QStringList captions;
    for (size_t i = 0; i < Panels.size() && i < size_t(MaxChannels); ++i)
      captions << (Panels[i] ? Panels[i]->title() : QString());
    Diagramm->SetLegendEntries(captions);
  }
}

void TMain::ConnectionEnded() {
  // However the connection ended (the button, a failure, a port that a
  // settings change could not reopen), neither the log nor the lamp may
  // carry on as if it were still there: the next Connect would write into
  // the old file without asking.
  if (Logging) Button5Click();
  if (!port_->Connected()) SetLed(false);
}

void TMain::ComPort1AfterOpen() {
  ConnectButton->setText("Close");
  PortOpen = true;
}

void TMain::ComPort1AfterClose() {
  ConnectButton->setText(reconnecting_ ? "Close" : "Connect");
  PortOpen = false;
}

void TMain::FormClose() {
  EndReconnect();
  Logging = false;
  FinishLogFlush();
  ClosePortBounded();
  if (ComPort1) {
    try {
      ComPort1->SaveSettings(ssIniFile, "quilex.ini");
    } catch (const std::exception&) {
      // The settings are a convenience; closing goes on without them.
    }
  }
}

void TMain::closeEvent(QCloseEvent* e) {
  FormClose();
  e->accept();
}

void TMain::Button2Click() {
  if (ComPort1) ComPort1->ShowSetupDialog();
}

void TMain::Button4Click() {
  if (!Options) return;
  Options->show();
  Options->raise();
  Options->activateWindow();
}

void TMain::Button6Click() {
  if (!Diagramm) return;
  if (Diagramm->isVisible()) {
    Diagramm->close();
  } else {
    Diagramm->showNormal();
    Diagramm->raise();
    Diagramm->activateWindow();
  }
}

void TMain::OpenPopup(TTempPanel* panel, const QPoint& globalPos) {
  // No device commands while the bus is away or being scanned again.
  if (reconnecting_) return;
  PopupComponent = panel;
  PopupMenu1->exec(globalPos);
}

void TMain::BuildPanels() {
  for (TTempPanel* p : Panels) delete p;
  Panels.clear();
  PopupComponent = nullptr;

  const int n = OEMData->ChannelTotal;
  Panels.assign(size_t(std::max(n, 0)), nullptr);
  const int s = kSpacing;
  const int top0 = Panel6->height();
  auto attach = [this](TTempPanel* p) {
    p->OnPopup = [this](TTempPanel* panel, const QPoint& pos) { OpenPopup(panel, pos); };
    p->setVisible(true);
    p->setEnabled(true);
  };

  if (n == 1) {
    auto* p = new TTempPanel(this, 0x000000, "Temperature");
    p->resize(200, 58);
    p->SetValuePointSize(24);
    SetClientSize(width(), top0 + p->height() + 2 * s);
    p->move(25, top0 + s);
    Panels[0] = p;
    attach(p);
    return;
  }
  if (n <= 0) throw std::runtime_error("No measuring channel found");

  const int columns = n > 10 ? 3 : 2;
  const int rows = (n - 1) / columns + 1;
  SetClientSize((kPanelW + s) * columns + s + 10 - kFrameW, top0 + rows * (kPanelH + s) + s);
  for (int i = 0; i < n; ++i) {
    try {
      TDeviceParam* dev = OEMData->ChannelDevice(i);
      if (!dev) continue;
      const QString caption = QString("Temp %1:%2").arg(dev->Address).arg(dev->SubChannel);
      // The colour table has one entry per plotted channel; further channels
      // are shown in black.
      const uint32_t color = i < MaxChannels ? ChannelColors[i] : 0x000000;
      auto* p = new TTempPanel(this, color, caption);
      Panels[size_t(i)] = p;
      p->move((i % columns) * (kPanelW + s) + s, top0 + s + (i / columns) * (kPanelH + s));
      attach(p);
    } catch (const std::exception&) {
      // A panel that cannot be built is left out; the others still show.
    }
  }
}

void TMain::DoMainLoop() {
  StartWatchingLine();
  if (OnLoopStart) OnLoopStart();
  while (port_->Connected()) {
    NewValueInPass = false;
    BeforePass();
    for (int i = 0; i < OEMData->ChannelTotal; ++i) {
      TDeviceParam* dev = OEMData->ChannelDevice(i);
      if (!dev) break;
      PollChannel(i, *dev);
      if (OnChannelDone) OnChannelDone(i);
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      if (!port_->Connected()) return;
      // Polling a line that is gone would spin here for ever without a
      // reading; the connect handler reports it and closes the port, unless
      // the line is to be tried again.
      if (port_->LineLost()) {
        if (!ReconnectOn() || !identityKnown_) throw std::runtime_error("The serial line was lost");
        lineWatch_.PortFailed();
        break;
      }
    }
    lineWatch_.PassDone();
    if (ReconnectOn() && identityKnown_ && lineWatch_.Lost()) {
      if (!WaitForLine()) return;
      continue;
    }
    // With no channel to poll there is nothing that would pause the loop.
    if (OEMData->ChannelTotal <= 0) return;
  }
}

void TMain::PollChannel(int channel, TDeviceParam& dev) {
  TChannelPoll poll;
  poll.Channel = channel;
  poll.Valid = dev.ReadSample(poll.Raw);
  TTempPanel* panel = size_t(channel) < Panels.size() ? Panels[size_t(channel)] : nullptr;
  ChannelPolled(channel, poll.Valid, panel);
  if (poll.Valid) {
    poll.Readable = dev.SampleReadable();
    poll.Scale = dev.GetScale();
    poll.Last = dev.LastValue();
  }
  const double now = Clock().Now();
  const TMeasureOutcome out = MeasureStep(poll, NewValueInPass, LogTrigger(), now);
  NewValueInPass = out.NewValueInPass;
  if (out.Shown && OnReading) OnReading(dev, now, out.Temperature);
  if (out.Plotted && Diagramm) Diagramm->AddPoint(channel, now, out.Temperature);
  if (out.Shown && panel) panel->ShowValue(out.PanelValue);
  if (out.LogDue) {
    WriteLogLine();
    // The interval counts from when the line was written.
    if (out.RestartInterval) LastLogTime = Clock().Now();
  }
}
