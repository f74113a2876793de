#include "app/oem_main.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPainter>
#include <QResizeEvent>
#include <QStyleOptionGroupBox>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "app/LogFlusher.h"
#include "app/Reading.h"
#include "app/oem_comment.h"
#include "app/oem_options.h"
#include "common/ChannelColors.h"
#include "common/QxClock.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
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

// ---------------------------------------------------------------------------
// Message boxes and the application's error display

namespace {

TMsgResult DefaultMessageBox(TMsgKind kind, const QString& text, const QPoint* at) {
  QMessageBox box;
  box.setText(text);
  switch (kind) {
    case TMsgKind::mkInformation:
      box.setWindowTitle("Information");
      box.setIcon(QMessageBox::Information);
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TMsgKind::mkWarningYesNo:
      box.setWindowTitle("Warning");
      box.setIcon(QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case TMsgKind::mkError:
      box.setWindowTitle("Error");
      box.setIcon(QMessageBox::Critical);
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  if (at) box.move(*at);
  const int r = box.exec();
  if (r == QMessageBox::Yes) return TMsgResult::mrYes;
  if (r == QMessageBox::No) return TMsgResult::mrNo;
  return TMsgResult::mrOk;
}

// The options object may not exist in tests that build only the main window.
bool LogEveryValueSetting() {
  return Options ? Options->LogEveryValue : false;
}
double LogIntervalSetting() {
  return Options ? Options->LogInterval : 10.0;
}
bool AppendLogFileSetting() {
  return Options ? Options->AppendLogFile : false;
}

QByteArray FilePath(const QString& name) {
  return QFile::encodeName(name);
}

bool FileExists(const QString& name) {
  struct stat st;
  return !name.isEmpty() && ::stat(FilePath(name).constData(), &st) == 0;
}

// Appends the whole of data to path or nothing: a failed or short write is
// undone by truncating back to the size the file had before. The disk flush
// follows on the log flusher's thread.
bool AppendWhole(const QByteArray& path, const std::string& data) {
  const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  const off_t oldSize = st.st_size;
  size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += size_t(n);
  }
  if (!ok) {
    if (done > 0 && ::ftruncate(fd, oldSize) != 0) {
      // Nothing more can be done; the caller reports the file.
    }
    ::close(fd);
    return false;
  }
  return ::close(fd) == 0;
}

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

}  // namespace

TMessageBoxHook MessageBoxHook;

TMsgResult ShowMessageBox(TMsgKind kind, const QString& text, const QPoint* at) {
  if (MessageBoxHook) return MessageBoxHook(kind, text, at);
  return DefaultMessageBox(kind, text, at);
}

void ShowApplicationError(const std::exception& e) {
  ShowMessageBox(TMsgKind::mkError, QString::fromLocal8Bit(e.what()));
}

void GuardedCall(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowApplicationError(e);
  }
}

// ---------------------------------------------------------------------------
// Panels

TTempPanel::TTempPanel(QWidget* owner, uint32_t captionColor, const QString& caption)
    : QGroupBox(caption, owner), CaptionColor(captionColor) {
  resize(110, 50);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, QColor::fromRgb(captionColor));
  setPalette(pal);

  ValueLabel = new QLabel(this);
  ValueLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  QPalette lp = ValueLabel->palette();
  lp.setColor(QPalette::WindowText, Qt::red);
  ValueLabel->setPalette(lp);
  // Right clicks on the value text belong to the panel.
  ValueLabel->setContextMenuPolicy(Qt::NoContextMenu);
  ValueLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
  ValueLabel->setGeometry(contentsRect());
  FitValueFont();
  UpdateOpaque();
}

void TTempPanel::ShowStale(bool stale) {
  if (stale == stale_) return;
  stale_ = stale;
  QPalette lp = ValueLabel->palette();
  lp.setColor(QPalette::WindowText, stale ? QColor(0x80, 0x80, 0x80) : QColor(Qt::red));
  ValueLabel->setPalette(lp);
}

void TTempPanel::SetValuePointSize(qreal points) {
  valuePoints_ = points;
  FitValueFont();
}

void TTempPanel::FitValueFont() {
  // The widest text the panel can show: four places before the separator
  // (a sign and three digits) in the font's widest digit, either separator,
  // and the placeholder. One size for all readings, so the value does not
  // change size as it changes.
  QStringList widest;
  for (QChar sep : {QChar('.'), QChar(',')}) {
    widest << QString("---") + sep + QString("--\u00B0C");
    for (char d = '0'; d <= '9'; ++d)
      widest << QString("-") + QString(3, QChar(d)) + sep + QString(2, QChar(d)) + "\u00B0C";
  }
  const int room = ValueLabel->contentsRect().width();
  QFont f = ValueLabel->font();
  f.setPointSizeF(valuePoints_);
  auto fits = [&] {
    const QFontMetrics fm(f);
    for (const QString& t : widest)
      if (fm.horizontalAdvance(t) > room) return false;
    return true;
  };
  while (f.pointSizeF() > 6.0 && !fits()) f.setPointSizeF(f.pointSizeF() - 0.5);
  if (f != ValueLabel->font()) ValueLabel->setFont(f);
}

void TTempPanel::UpdateOpaque() {
  // Over a plain background the box paints that background itself (see
  // paintEvent), so what lies under it need not be painted first.
  setAttribute(Qt::WA_OpaquePaintEvent,
               palette().brush(backgroundRole()).style() == Qt::SolidPattern);
}

void TTempPanel::changeEvent(QEvent* e) {
  QGroupBox::changeEvent(e);
  if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange) UpdateOpaque();
  if (e->type() == QEvent::StyleChange || e->type() == QEvent::FontChange) {
    // The caption's room, and with it the value's, follows style and font.
    ValueLabel->setGeometry(contentsRect());
    FitValueFont();
  }
}

void TTempPanel::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  // The value text fills the area under the caption.
  ValueLabel->setGeometry(contentsRect());
  FitValueFont();
}

void TTempPanel::paintEvent(QPaintEvent* e) {
  QStyleOptionGroupBox opt;
  initStyleOption(&opt);
  const QBrush back = palette().brush(backgroundRole());
  const qreal dpr = devicePixelRatioF();
  if (!testAttribute(Qt::WA_OpaquePaintEvent)) {
    QGroupBox::paintEvent(e);
    return;
  }
  // What the box's look depends on, compared without formatting anything:
  // this runs with every new value.
  const TBoxKey key{size(), dpr,    static_cast<int>(opt.state), opt.text, palette().cacheKey(),
                    font(), style()};
  if (boxCache_.isNull() || key != boxKey_) {
    // Drawn the way the window's own buffer is drawn, so that the blending
    // of the style's soft edges rounds the same.
    QImage img(size() * dpr, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(back.color());
    QPainter p(&img);
    style()->drawComplexControl(QStyle::CC_GroupBox, &opt, &p, this);
    p.end();
    boxCache_ = img;
    boxKey_ = key;
  }
  QPainter p(this);
  p.drawImage(0, 0, boxCache_);
}

void TTempPanel::contextMenuEvent(QContextMenuEvent* e) {
  if (OnPopup) {
    OnPopup(this, e->globalPos());
    e->accept();
  } else {
    QGroupBox::contextMenuEvent(e);
  }
}

void TTempPanel::ShowValue(double x) {
  const std::string sep(1, FormatSettings().DecimalSeparator);
  const QString placeholder = QString::fromStdString("---" + sep + "--") + QString::fromUtf8("°C");
  if (!std::isfinite(x) || x > 1000000.0) {
    ValueLabel->setText(placeholder);
    return;
  }
  try {
    ValueLabel->setText(QString::fromStdString(FloatToStrFixed(x, 6, 2)) + QString::fromUtf8("°C"));
  } catch (const std::exception&) {
    ValueLabel->setText(placeholder);
  }
}

// ---------------------------------------------------------------------------
// Main window

namespace {
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

  PopupMenu1 = new QMenu(this);
  OnePointCalibration1 = PopupMenu1->addAction("One Point Calibration");
  ResetCalibration1 = PopupMenu1->addAction("Reset OP Calibration");
  PopupMenu1->addSeparator();
  SetAnalogOutput1 = PopupMenu1->addAction("Set Analog Output");
  PopupMenu1->addSeparator();
  SelectCalibration1 = PopupMenu1->addAction("Select Calibration");
  PopupMenu1->addSeparator();
  SetAveraging1 = PopupMenu1->addAction("Set Averaging");

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

  if (!port_) {
    ComPort1 = new TComPort(this);
    ComPort1->SetName("ComPort1");
    // Design settings, before the configuration file is read.
    ComPort1->SetBaudRate(br57600);
    ComPort1->SetPort("COM1");
    ComPort1->Buffer().SetInputSize(2048);
    ComPort1->Buffer().SetOutputSize(2048);
    ComPort1->FlowControl().SetFlowControl(fcNone);
    ComPort1->FlowControl().SetControlDTR(dtrDisable);
    ComPort1->FlowControl().SetControlRTS(rtsDisable);
    ComPort1->Timeouts().SetWriteTotalMultiplier(-1);
    ComPort1->Timeouts().SetWriteTotalConstant(-1);
    ComPort1->SetEventChar('\n');
    ComPort1->Events = TComEvents{};
    ComPort1->SetSyncMethod(smWindowSync);
    port_ = std::make_unique<TComPortAdapter>(ComPort1);
    ownedComPort_.reset(ComPort1);
  }
  port_->OnAfterOpen = [this] { ComPort1AfterOpen(); };
  port_->OnAfterClose = [this] { ComPort1AfterClose(); };
  if (ComPort1) {
    ComPort1->OnAfterOpen = [this](TCustomComPort*) { port_->OnAfterOpen(); };
    ComPort1->OnAfterClose = [this](TCustomComPort*) { port_->OnAfterClose(); };
  }
  FormCreate();
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
    if (ComPort1) ComPort1->SetBaudRate(br57600);
    if (ComPort1) {
      try {
        ComPort1->LoadSettings(ssIniFile, "quilex.ini");
      } catch (const std::exception&) {
        // A missing or unreadable configuration leaves the built-in settings.
      }
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
    for (auto& dev : OEMData->Devices) {
      dev->GetChannelCount();
      dev->GetScale();
    }
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
      int32_t raw = 0;
      const bool valid = dev->ReadSample(raw);
      TTempPanel* panel = size_t(i) < Panels.size() ? Panels[size_t(i)] : nullptr;
      ChannelPolled(i, valid, panel);
      if (valid) {
        const double scale = dev->GetScale();
        const double t = double(raw) / scale;
        if (OnReading) OnReading(*dev, Clock().Now(), t);
        if (t >= NoValueThreshold) {
          if (panel) panel->ShowValue(PlaceholderValue);
        } else {
          // The diagram has one line per colour; further channels are not plotted.
          if (Diagramm && i < MaxChannels) Diagramm->AddPoint(i, Clock().Now(), t);
          if (panel) panel->ShowValue(double(dev->LastValue()) / scale);
          NewValueInPass = true;
        }
      }
      if (Logging) {
        if (LogEveryValueSetting()) {
          if (NewValueInPass) WriteLogLine();
        } else {
          const double elapsed = (Clock().Now() - LastLogTime) * 24 * 3600;
          if (elapsed > LogIntervalSetting()) {
            WriteLogLine();
            LastLogTime = Clock().Now();
          }
        }
      }
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

// ---------------------------------------------------------------------------
// Logging

std::string TMain::FormatLogLine(double now) {
  const TFormatSettings& fs = FormatSettings();
  const TDateTimeParts parts = DecodeDateTime(now);
  char ms[8];
  std::snprintf(ms, sizeof ms, "%03d", parts.MSec);
  std::string line = FormatDateTime(fs.ShortDateFormat, now, fs) + " " +
                     FormatDateTime(fs.LongTimeFormat, now, fs) + fs.DecimalSeparator + ms + " ";
  // While the line is away the bus object may be half rescanned; the run's
  // channels are all not available then.
  const int channels = reconnecting_ ? freshness_.Channels() : OEMData->ChannelTotal;
  for (int i = 0; i < channels; ++i) {
    // A value the device has not confirmed for a while is not a reading.
    if (reconnecting_ || Stale(i, now)) {
      line += "  N/A  ";
      continue;
    }
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) break;
    const double t = double(dev->LastValue()) / dev->GetScale();
    if (t >= NoValueThreshold)
      line += "  N/A  ";
    else
      line += " " + FormatFixedWidth(t, 7, 2, fs);
  }
  line += "\r\n";
  return line;
}

bool TMain::WriteLogLine() {
  // The line is built whole before the file is touched, so a failure can
  // never leave part of it behind. A failed disk flush of an earlier line
  // fails this one: the disk has lost lines, and the user must know.
  const std::string line = FormatLogLine(Clock().Now());
  const QByteArray path = FilePath(LogFileName);
  int err = 0;
  if (!logFlusher_->TakeFailure(err) && AppendWhole(path, line)) {
    logFlusher_->Request(path.toStdString());
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
