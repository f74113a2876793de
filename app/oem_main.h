#pragma once
// The operator's main window: connect/disconnect, the polling loop that is the
// program's only scheduler, one temperature panel per channel, and the data log,
// with the program-wide objects every window reaches through.
#include <QGroupBox>
#include <QMenu>
#include <QPoint>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/LogWriter.h"
#include "app/MessageBox.h"
#include "app/TempPanel.h"
#include "app/oem_constatus.h"
#include "reconnect/BusIdentity.h"
#include "reconnect/ChannelFreshness.h"
#include "reconnect/LineWatch.h"
#include "reconnect/ReconnectSchedule.h"

class QAction;
class QEventLoop;
class TOEMPort;
class TOEMData;
class TDeviceParam;
class TComPort;
class TComLed;
class TDiagramm;
class TOptions;
class TComment;
class TCalibration;
class TAnalog;
class TCalibNr;
class TSetAveraging;
class TDevList;
class TMain;
class TLogFlusher;
struct TLogTrigger;

// Program-wide objects, created once at start-up in this order and alive until
// the program ends (null until created; tests create only what they need).
extern TMain* Main;
extern TOEMData* OEMData;
extern TStatusWindow* StatusWindow;
extern TDevList* DevList;
extern TDiagramm* Diagramm;
extern TOptions* Options;
extern TCalibration* Calibration;
extern TAnalog* Analog;
extern TCalibNr* CalibNr;
extern TComment* Comment;
extern TSetAveraging* SetAveraging;

// What the main window needs of its serial port besides the byte exchange the
// bus object uses. The shipped program adapts ComPort1; tests inject a port
// backed by the in-process bus simulator. Implementations call
// OnAfterOpen/OnAfterClose when the port actually opened or closed.
class TMainPort {
 public:
  virtual ~TMainPort() = default;
  virtual TOEMPort& Io() = 0;
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool Connected() = 0;
  virtual void ClearBuffers(bool input, bool output) = 0;
  // True when the device behind an open port has gone away (a hung-up line,
  // an unplugged adapter): every further exchange would fail.
  virtual bool LineLost() { return false; }
  std::function<void()> OnAfterOpen;
  std::function<void()> OnAfterClose;
};

class TMain : public QWidget {
  Q_OBJECT
 public:
  // port: null for the shipped program (uses ComPort1); tests pass their own.
  explicit TMain(QWidget* parent = nullptr, std::unique_ptr<TMainPort> port = nullptr);
  ~TMain() override;

  // Controls (design positions in the constructor).
  QWidget* Panel6;
  QPushButton* Button3;  // "Device List"
  QPushButton* Button6;  // "Diagram"
  QPushButton* Button4;  // "Options"
  QPushButton* Button5;  // "Start Logging" / "Stop Logging"
  QGroupBox* GroupBox1;  // "Connection"
  TComLed* ComLed1;
  QPushButton* ConnectButton;
  QPushButton* Button2;  // "PortSettings"

  // Device command menu on every panel, items in menu order; PopupComponent is
  // the panel it was last opened on.
  QMenu* PopupMenu1;
  QAction* OnePointCalibration1;
  QAction* ResetCalibration1;
  QAction* SetAnalogOutput1;
  QAction* SelectCalibration1;
  QAction* SetAveraging1;
  QWidget* PopupComponent = nullptr;

  std::vector<TTempPanel*> Panels;
  TComPort* ComPort1 = nullptr;  // null when a test port was injected

  // State.
  bool PortOpen = false;
  bool Logging = false;
  QString LogFileName;
  double LastLogTime = 0.0;
  bool NewValueInPass = false;
  // Observer called after each channel's turn in the loop (reading shown, log
  // checked), before pending messages are processed; for tests and timing.
  std::function<void(int channel)> OnChannelDone;
  // Observers for publishing: the loop starting after a scan, and every valid
  // reading (temperature t, 900 or more meaning no value) with its device and
  // local date-time. They must return at once; the loop does not wait.
  std::function<void()> OnLoopStart;
  std::function<void(const TDeviceParam& device, double when, double t)> OnReading;

  // Handlers.
  void FormCreate();
  void FormClose();
  void ConnectButtonClick();
  void ComPort1AfterOpen();
  void ComPort1AfterClose();
  void Button2Click();
  void Button3Click();  // defined with the device command menu
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void SaveDialog1CanClose(bool& canClose);
  void OnePointCalibration1Click();
  void ResetCalibration1Click();
  void SetAnalogOutput1Click();
  void SelectCalibration1Click();
  void SetAveraging1Click();

  void BuildPanels();
  void DoMainLoop();
  // Appends one complete line to LogFileName; on failure stops logging and
  // reports the file. Returns whether the line was written.
  bool WriteLogLine();
  // Waits until the lines written so far are on the disk; a failed flush is
  // reported as any log file error.
  void FinishLogFlush();
  // Tests replace the disk flush of the log (fdatasync) to make it fail.
  void SetLogSync(std::function<int(int fd)> sync);
  // The text of one log line at date-time `now`, CR LF included.
  std::string FormatLogLine(double now);

  // The file chosen in the save dialog; SaveDialogPrompt asks for it (returns
  // false on Cancel). Tests replace the prompt.
  QString SaveDialog1FileName;
  std::function<bool(QString& fileName)> SaveDialogPrompt;
  // Runs the save dialog with its can-close check; true when it ended with OK.
  bool ExecuteSaveDialog1();

  TMainPort& Port() { return *port_; }
  // Upper bound of close attempts when the port refuses to close.
  static constexpr int MaxCloseAttempts = 10;

  // Unattended runs: with the option on, a lost line is tried again until it
  // comes back or the operator ends the wait (oem_reconnect.cpp).
  bool ReconnectOn() const;
  bool Reconnecting() const { return reconnecting_; }
  // Ends the wait for a lost line as a disconnect would.
  void EndReconnect();
  // Lets the window system run for up to ms milliseconds while the line is
  // away; tests replace it to wait in virtual time.
  std::function<void(int ms)> ReconnectWait;
  const TReconnectSchedule& Schedule() const { return schedule_; }
  const TChannelFreshness& Freshness() const { return freshness_; }

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  // The constructor's steps, in this order.
  void BuildControls();
  void FitButtonCaptions();
  void BuildPopupMenu();
  void ConnectHandlers();
  void InstallDefaultPrompts();
  // The shipped program's port unless a test injected one, with its open and
  // close notifications routed to the window.
  void CreatePort();

  // Connect: the scan with its progress shown, then panels and diagram for
  // the bus found.
  void ScanWithProgress();
  void ShowScannedBus();
  // One channel's turn: the poll, then carrying out what the measurement
  // step decided for it.
  void PollChannel(int channel, TDeviceParam& dev);
  // The log's settings and state as the loop decides on a line.
  TLogTrigger LogTrigger() const;

  // Closes the port, retrying a bounded number of times; shows the last error
  // and returns false when it stays open.
  bool ClosePortBounded();
  void ConnectionEnded();
  void SetClientSize(int width, int height);
  void OpenPopup(TTempPanel* panel, const QPoint& globalPos);
  void SetLed(bool on);

  // Reconnecting (oem_reconnect.cpp).
  enum class TTryResult { trFailed, trResumed, trDiffers, trEnded };
  void StartWatchingLine();
  void BeforePass();
  void ChannelPolled(int channel, bool valid, TTempPanel* panel);
  bool Stale(int channel, double now) const;
  // The line is lost: waits, reopens and rescans. True when measuring goes
  // on with the same bus; false when the run has ended.
  bool WaitForLine();
  TTryResult TryReconnect();
  void WriteOutageLineIfDue();
  void ShowReconnectStatus();
  void DefaultReconnectWait(int ms);

  TChannelFreshness freshness_;
  TLineWatch lineWatch_;
  TReconnectSchedule schedule_;
  TBusIdentity busIdentity_;
  bool identityKnown_ = false;
  bool reconnecting_ = false;
  bool reconnectEnded_ = false;
  QEventLoop* waitLoop_ = nullptr;

  // Destroyed in reverse order: the bus object before the port it uses.
  std::unique_ptr<TComPort> ownedComPort_;
  std::unique_ptr<TMainPort> port_;
  std::unique_ptr<TLogFlusher> logFlusher_;
  TLogAppender logFile_;
  // The log file's name as the system takes it, encoded once per name.
  QString logPathName_;
  std::string logPath_;
  std::unique_ptr<TOEMData> ownedBus_;
};
