#pragma once
// The serial port component: line settings, buffer sizes and timeouts kept as
// properties, byte-string reads and writes, and line events delivered from a
// background thread to the window thread. All behaviour lives in
// TCustomComPort; TComPort adds the bus object's port interface.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/OEMPort.h"
#include "serial/CPortDevice.h"

class TCustomComPort;
class TComThread;
class TComSyncer;

// ---------------------------------------------------------------------------
// Enumerations. Names and order are also the settings vocabulary of the
// configuration file, so they never change.

enum TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TComEvent {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TComSignal { csCTS, csDSR, csRing, csRLSD };
enum TStoredProp { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
enum TSettingsStore { ssRegistry, ssIniFile };

// A small set over an enumeration, bit n = ordinal n.
template <class E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  static constexpr TEnumSet FromBits(uint32_t bits) {
    TEnumSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  void Include(E e) { bits_ |= Bit(e); }
  void Exclude(E e) { bits_ &= ~Bit(e); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TEnumSet& o) const { return bits_ == o.bits_; }
  constexpr bool operator!=(const TEnumSet& o) const { return bits_ != o.bits_; }

 private:
  static constexpr uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
  uint32_t bits_ = 0;
};

using TComEvents = TEnumSet<TComEvent>;
using TComErrors = TEnumSet<TComError>;
using TComSignals = TEnumSet<TComSignal>;
using TStoredProps = TEnumSet<TStoredProp>;

constexpr TComEvents AllComEvents() {
  return TComEvents::FromBits(0x3FF);
}

// The rate a TBaudRate stands for (0 for brCustom).
int BaudRateValue(TBaudRate br);
// The platform event mask bit of an event (evRxFlag -> 0x0002).
uint32_t EventToMask(TComEvent ev);

// ---------------------------------------------------------------------------
// EComPort: every failure of the component. The message is the text of the
// code, followed by the platform error number when there is one.

class EComPort : public std::runtime_error {
 public:
  explicit EComPort(int code, int systemError = -1, const std::string& detail = std::string());
  int ErrorCode() const { return errorCode_; }
  int SystemErrorCode() const { return systemErrorCode_; }
  static std::string CodeText(int code);

 private:
  int errorCode_;
  int systemErrorCode_;
};

// Error codes, by name.
enum {
  CError_OpenFailed = 1,
  CError_WriteFailed = 2,
  CError_ReadFailed = 3,
  CError_InvalidAsync = 4,
  CError_PurgeFailed = 5,
  CError_AsyncCheck = 6,
  CError_SetStateFailed = 7,
  CError_TimeoutsFailed = 8,
  CError_SetupComFailed = 9,
  CError_ClearComFailed = 10,
  CError_ModemStatFailed = 11,
  CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13,
  CError_SyncMeth = 14,
  CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16,
  CError_LoadFailed = 17,
  CError_RegFailed = 18,
  CError_LedStateFailed = 19,
  CError_ThreadCreated = 20,
  CError_WaitFailed = 21,
  CError_HasLink = 22
};

// The application's display of an error that no handler caught (an event
// handler that raised, an open on finished loading). Prints to stderr until
// the program installs its message box.
void SetApplicationErrorHandler(std::function<void(const std::exception&)> handler);
void ApplicationShowException(const std::exception& e);

// ---------------------------------------------------------------------------
// Handler types. The component passes itself as the sender.

using TComNotifyEvent = std::function<void(TCustomComPort* sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* sender, int count)>;
using TRxBufEvent = std::function<void(TCustomComPort* sender, const char* buffer, int count)>;
using TComSignalEvent = std::function<void(TCustomComPort* sender, bool on)>;
using TComErrorEvent = std::function<void(TCustomComPort* sender, TComErrors errors)>;

// A notification link: another component's handlers, called before the
// port's own. Not owned by the port.
class TComLink {
 public:
  TComSignalEvent OnConn;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxBuf;
  TComNotifyEvent OnTxEmpty;
  TComNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TComNotifyEvent OnRing;
  TComSignalEvent OnTx;
  TComSignalEvent OnRx;
};

// ---------------------------------------------------------------------------
// Settings records, owned by the port. A single field setter stores a
// changed value and applies its group; Assign copies all fields and applies.

class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port) : port_(port) {}
  int ReadInterval() const { return readInterval_; }
  int ReadTotalMultiplier() const { return readTotalM_; }
  int ReadTotalConstant() const { return readTotalC_; }
  int WriteTotalMultiplier() const { return writeTotalM_; }
  int WriteTotalConstant() const { return writeTotalC_; }
  void SetReadInterval(int v);
  void SetReadTotalMultiplier(int v);
  void SetReadTotalConstant(int v);
  void SetWriteTotalMultiplier(int v);
  void SetWriteTotalConstant(int v);
  void Assign(const TComTimeouts& src);
  TComTimeoutValues Values() const;

 private:
  void Set(int& field, int v);
  TCustomComPort* port_;
  int readInterval_ = -1;
  int readTotalM_ = 0;
  int readTotalC_ = 0;
  int writeTotalM_ = 100;
  int writeTotalC_ = 1000;
};

class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port) : port_(port) {}
  int InputSize() const { return inputSize_; }
  int OutputSize() const { return outputSize_; }
  // An odd positive size is stored as the next lower even number.
  void SetInputSize(int v);
  void SetOutputSize(int v);
  void Assign(const TComBuffer& src);

 private:
  void Set(int& field, int v);
  TCustomComPort* port_;
  int inputSize_ = 1024;
  int outputSize_ = 1024;
};

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port) : port_(port) {}
  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  char ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits v);
  void SetCheck(bool v);
  void SetReplace(bool v);
  void SetReplaceChar(char v);
  void Assign(const TComParity& src);

 private:
  TCustomComPort* port_;
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  char replaceChar_ = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port) : port_(port) {}
  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  char XonChar() const { return xonChar_; }
  char XoffChar() const { return xoffChar_; }
  void SetOutCTSFlow(bool v);
  void SetOutDSRFlow(bool v);
  void SetControlDTR(TDTRFlowControl v);
  void SetControlRTS(TRTSFlowControl v);
  void SetXonXoffOut(bool v);
  void SetXonXoffIn(bool v);
  void SetDSRSensitivity(bool v);
  void SetTxContinueOnXoff(bool v);
  void SetXonChar(char v);
  void SetXoffChar(char v);
  // The preset, computed from the fields; setting it rewrites them.
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl v);
  void Assign(const TComFlowControl& src);

 private:
  template <class T>
  void Set(T& field, T v);
  TCustomComPort* port_;
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = dtrDisable;
  TRTSFlowControl controlRTS_ = rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  char xonChar_ = 17;
  char xoffChar_ = 19;
};

// ---------------------------------------------------------------------------

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
  friend class TComSyncer;

  bool CanApply() const;
  TComDCB BuildDCB() const;
  void CallLinks(const std::function<void(TComLink&)>& fn);
  void AfterOpenNotifications();
  // Reads what the device holds into the input queue and notes the events it
  // raises. Caller holds ioLock_. Returns 0 or the errno of a failed read.
  int FillQueue(size_t want);
  void DispatchEvents(TComEvents events);
  void RunHandlerStep(TComEvent ev);
  void SendToWindowThread(const std::function<void()>& fn);
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
  std::atomic<bool> wroteSinceEmpty_{false};
  char liveEventChar_ = 0;  // EventChar as the device has it

  // Hand-over to the window thread.
  std::unique_ptr<TComSyncer> syncer_;
  std::mutex syncLock_;
  std::condition_variable syncCv_;
  const std::function<void()>* syncPending_ = nullptr;
  bool syncTaken_ = false;
  bool syncDone_ = false;
  bool syncStopping_ = false;
  void RunPendingSync();
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
// The program's quilex.ini.
std::string QuilexIniPath();
