#pragma once
// The serial port component: line settings, buffer sizes and timeouts kept as
// properties, byte-string reads and writes, and line events delivered from a
// background thread to the window thread. All behaviour lives in
// TCustomComPort; TComPort adds the bus object's port interface.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/OEMPort.h"
#include "serial/CPortDevice.h"
#include "serial/CPortSettings.h"
#include "serial/CPortTypes.h"

class TComThread;
class TComHandOver;

class TCustomComPort {
 public:
  // The platform device is injectable; by default the termios device.
  explicit TCustomComPort(void* owner = nullptr, std::unique_ptr<TComDevice> device = nullptr);
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // Component frame: owner, name, designing and loading state.
  void* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  bool Designing() const { return designing_; }
  void SetDesigning(bool v) { designing_ = v; }
  bool Loading() const { return loading_; }
  void BeginLoading() { loading_ = true; }
  // Finished loading: a stored Connected opens the port now.
  virtual void Loaded();
  // Tell a component when this port is destroyed (the combo box, the lamp).
  void AddFreeNotification(const void* key, std::function<void()> fn);
  void RemoveFreeNotification(const void* key);

  // Operations.
  void Open();
  void Close();
  bool Connected() const { return connected_; }
  void SetConnected(bool v);
  int WriteText(const std::string& text);
  int ReadText(std::string& text, int count);
  void ClearBuffers(bool input, bool output);
  void AbortPendingIo();
  int PendingInputCount();
  TComSignals ModemSignals();
  TComErrors LineErrors();
  void BeginUpdate();
  void EndUpdate();
  virtual void ApplySettings();
  void SaveSettings(TSettingsStore store, const std::string& location);
  void LoadSettings(TSettingsStore store, const std::string& location);
  // The port settings dialog; needs the widget library (CPortSetup).
  void ShowSetupDialog();
  void AttachLink(TComLink* link);
  void DetachLink(TComLink* link);

  // Properties.
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate v);
  int CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(int v);
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& v);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits v);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool v);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char v);
  TComBuffer& Buffer() { return buffer_; }
  const TComBuffer& Buffer() const { return buffer_; }
  void SetBuffer(const TComBuffer& v) { buffer_.Assign(v); }
  TComParity& Parity() { return parity_; }
  const TComParity& Parity() const { return parity_; }
  void SetParity(const TComParity& v) { parity_.Assign(v); }
  TComTimeouts& Timeouts() { return timeouts_; }
  const TComTimeouts& Timeouts() const { return timeouts_; }
  void SetTimeouts(const TComTimeouts& v) { timeouts_.Assign(v); }
  TComFlowControl& FlowControl() { return flowControl_; }
  const TComFlowControl& FlowControl() const { return flowControl_; }
  void SetFlowControl(const TComFlowControl& v) { flowControl_.Assign(v); }
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod v);
  TStoredProps StoredGroups() const { return storedGroups_; }
  void SetStoredGroups(TStoredProps v) { storedGroups_ = v; }

  // Read at Open; a change takes effect at the next Open.
  TComEvents Events = AllComEvents();

  // Event handlers; an unset one is skipped.
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TComNotifyEvent OnTxEmpty;
  TComNotifyEvent OnBreak;
  TComNotifyEvent OnRing;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TComErrorEvent OnError;
  TComNotifyEvent OnRxFlag;
  TComNotifyEvent OnAfterOpen;
  TComNotifyEvent OnAfterClose;
  TComNotifyEvent OnBeforeOpen;
  TComNotifyEvent OnBeforeClose;
  TComNotifyEvent OnRx80Full;

  // Whether the event thread exists (for tests and the lamp).
  bool ThreadCreated() const { return threadCreated_; }
  // Whether that thread is still running (it ends by itself when the device
  // vanishes).
  bool EventThreadRunning() const;
  // The platform device (tests reach their fake through it).
  TComDevice* Device() const { return device_.get(); }
  // Runs the step of the handler sequence for one event, as the window
  // thread's message for the mask bit would; other bits do nothing.
  void HandleEventMessage(uint32_t maskBit);

 protected:
  // Notifications, in this order.
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int count);
  virtual void DoRxBuf(const char* buffer, int count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool on);
  virtual void DoDSRChange(bool on);
  virtual void DoError(TComErrors errors);
  virtual void DoRLSDChange(bool on);
  virtual void DoRx80Full();

 public:
  virtual void ApplyLineSettings();
  virtual void ApplyTimeouts();
  virtual void ApplyBufferSizes();

 protected:
  virtual void StoreRegistry(const std::string& location);
  virtual void StoreIniFile(const std::string& location);
  virtual void LoadRegistry(const std::string& location);
  virtual void LoadIniFile(const std::string& location);
  virtual void OpenDevice();
  virtual void CloseDevice();

 private:
  friend class TComThread;

  // What the event thread may hold before it stops taking bytes.
  static constexpr size_t kQueueCap = 65536;

  bool CanApply() const;
  TComDCB BuildDCB() const;
  // Links first, in the order they were attached; a link may detach itself.
  template <class Handler, class... Args>
  void CallLinks(Handler TComLink::*handler, const Args&... args);
  template <class Handler>
  bool HasLink(Handler TComLink::*handler) const;
  // A notification both links and the port receive: links first, then the
  // port's own handler.
  template <class Handler, class... Args>
  void Announce(Handler TComLink::*link, void (TCustomComPort::*own)(Args...), Args... args);
  // A CTS, DSR or RLSD change, announced like that.
  void LineChanged(TComSignal signal, bool on);
  void AfterOpenNotifications();
  // Reads what the device holds into the input queue and notes the events it
  // raises. Caller holds ioLock_. Returns 0 or the errno of a failed read.
  int FillQueue(size_t want);
  // Moves up to want queued bytes (reading the device for more) into text;
  // returns 0 or the errno of a failed device read.
  int TakeInput(std::string& text, size_t want);
  void DispatchEvents(TComEvents events);
  void RunHandlerStep(TComEvent ev);
  void RxCharStep();
  void StopThread();
  void JoinRetired();

  void* owner_;
  std::string name_;
  bool designing_ = false;
  bool loading_ = false;
  std::vector<std::pair<const void*, std::function<void()>>> freeNotify_;

  std::unique_ptr<TComDevice> device_;
  std::unique_ptr<TComThread> thread_;
  // Threads stopped from inside their own handler, joined at the next Open.
  std::vector<std::unique_ptr<TComThread>> retired_;
  std::unique_ptr<TComHandOver> handOver_;
  bool threadCreated_ = false;
  int updateCount_ = 0;
  std::vector<TComLink*> links_;
  bool hasBlockLink_ = false;
  bool connected_ = false;
  bool storedConnected_ = false;

  TBaudRate baudRate_ = br9600;
  int customBaudRate_ = 9600;
  std::string port_ = "COM1";
  TStopBits stopBits_ = sbOneStopBit;
  TDataBits dataBits_ = dbEight;
  bool discardNull_ = false;
  char eventChar_ = 0;
  TComBuffer buffer_;
  TComParity parity_;
  TComTimeouts timeouts_;
  TComFlowControl flowControl_;
  TSyncMethod syncMethod_ = smThreadSync;
  TStoredProps storedGroups_{spBasic};

  // Bytes taken from the device but not yet read by ReadText; shared with
  // the event thread, which has to see every byte to spot the event
  // character.
  std::mutex ioLock_;
  std::deque<char> inQueue_;
  uint32_t pendingEvents_ = 0;  // TComEvents bits raised by FillQueue
  bool threadWaiting_ = false;  // the event thread waits on the device
  std::atomic<bool> wroteSinceEmpty_{false};
  char liveEventChar_ = 0;  // EventChar as the device has it
};

// The published component; also the port of the bus object.
class TComPort : public TCustomComPort, public TOEMPort {
 public:
  explicit TComPort(void* owner = nullptr, std::unique_ptr<TComDevice> device = nullptr)
      : TCustomComPort(owner, std::move(device)) {}
  int WriteText(const std::string& text) override { return TCustomComPort::WriteText(text); }
  int ReadText(std::string& text, int count) override {
    return TCustomComPort::ReadText(text, count);
  }
  void AbortPendingIo() override { TCustomComPort::AbortPendingIo(); }
  void SetEventChar(char c) override { TCustomComPort::SetEventChar(c); }
  void SetEventsToRxFlagOnly() override { Events = TComEvents{evRxFlag}; }
  void SetOnRxFlag(std::function<void()> handler) override;
};

// The setup dialog is in the widget library; it installs itself here so that
// the core can offer ShowSetupDialog without depending on widgets.
void SetSetupDialogHandler(std::function<void(TCustomComPort&)> handler);

// ---------------------------------------------------------------------------
// Text forms of the settings (configuration file and dialog).

std::string BaudRateToText(TBaudRate v);
TBaudRate TextToBaudRate(const std::string& s);
std::string StopBitsToText(TStopBits v);
TStopBits TextToStopBits(const std::string& s);
std::string DataBitsToText(TDataBits v);
TDataBits TextToDataBits(const std::string& s);
std::string ParityToText(TParityBits v);
TParityBits TextToParity(const std::string& s);
std::string FlowControlToText(TFlowControl v);
TFlowControl TextToFlowControl(const std::string& s);
std::string DTRToText(TDTRFlowControl v);
TDTRFlowControl TextToDTR(const std::string& s);
std::string RTSToText(TRTSFlowControl v);
TRTSFlowControl TextToRTS(const std::string& s);
std::string BoolToText(bool v);
bool TextToBool(const std::string& s);
std::string CharToText(char c);
char TextToChar(const std::string& s);
// Decimal, or hexadecimal after 0x; anything else gives def.
int TextToIntDef(const std::string& s, int def);

// The serial devices present, as the texts Port takes, sorted as text.
void EnumPorts(std::vector<std::string>& list);
// The same over another file-system root (tests build a fake /sys and /dev).
void EnumPortsIn(const std::string& root, std::vector<std::string>& list);

// Where a bare configuration-file name is kept: the user's configuration
// directory. A name with a directory is used as given.
std::string ProfileFilePath(const std::string& location);
