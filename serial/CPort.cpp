#include "serial/CPort.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "serial/CPortIni.h"

// ---------------------------------------------------------------------------
// Basics

int BaudRateValue(TBaudRate br) {
  static const int rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                              14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return (br >= brCustom && br <= br256000) ? rates[br] : 0;
}

uint32_t EventToMask(TComEvent ev) {
  static const uint32_t masks[] = {0x0001, 0x0004, 0x0002, 0x0100, 0x0040,
                                   0x0008, 0x0010, 0x0080, 0x0020, 0x0400};
  return (ev >= evRxChar && ev <= evRx80Full) ? masks[ev] : 0;
}

std::string EComPort::CodeText(int code) {
  static const char* const texts[] = {"Unable to open com port",
                                      "WriteFile function failed",
                                      "ReadFile function failed",
                                      "Invalid Async parameter",
                                      "PurgeComm function failed",
                                      "Unable to get async status",
                                      "SetCommState function failed",
                                      "SetCommTimeouts failed",
                                      "SetupComm function failed",
                                      "ClearCommError function failed",
                                      "GetCommModemStatus function failed",
                                      "EscapeCommFunction function failed",
                                      "TransmitCommChar function failed",
                                      "Cannot set SyncMethod while connected",
                                      "EnumPorts function failed",
                                      "Failed to store settings",
                                      "Failed to load settings",
                                      "Link (un)registration failed",
                                      "Cannot change led state if ComPort is selected",
                                      "Cannot wait for event if event thread is created",
                                      "WaitForEvent method failed",
                                      "A component is linked to OnRxBuf event"};
  return (code >= 1 && code <= 22) ? texts[code - 1] : "";
}

namespace {
std::string ComPortMessage(int code, int systemError, const std::string& detail) {
  std::string m = EComPort::CodeText(code);
  if (!detail.empty()) m += " " + detail;
  if (systemError != -1) m += " (win error code: " + std::to_string(systemError) + ")";
  return m;
}

std::function<void(const std::exception&)>& ErrorHandler() {
  static std::function<void(const std::exception&)> h;
  return h;
}

std::function<void(TCustomComPort&)>& SetupHandler() {
  static std::function<void(TCustomComPort&)> h;
  return h;
}

constexpr size_t kQueueCap = 65536;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

const TComEvent kSequence[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                               evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
}  // namespace

EComPort::EComPort(int code, int systemError, const std::string& detail)
    : std::runtime_error(ComPortMessage(code, systemError, detail)),
      errorCode_(code),
      systemErrorCode_(systemError) {}

void SetApplicationErrorHandler(std::function<void(const std::exception&)> handler) {
  ErrorHandler() = std::move(handler);
}

void ApplicationShowException(const std::exception& e) {
  if (ErrorHandler())
    ErrorHandler()(e);
  else
    std::fprintf(stderr, "%s\n", e.what());
}

void SetSetupDialogHandler(std::function<void(TCustomComPort&)> handler) {
  SetupHandler() = std::move(handler);
}

// ---------------------------------------------------------------------------
// Settings records

void TComTimeouts::Set(int& field, int v) {
  if (field == v) return;
  field = v;
  port_->ApplyTimeouts();
}
void TComTimeouts::SetReadInterval(int v) {
  Set(readInterval_, v);
}
void TComTimeouts::SetReadTotalMultiplier(int v) {
  Set(readTotalM_, v);
}
void TComTimeouts::SetReadTotalConstant(int v) {
  Set(readTotalC_, v);
}
void TComTimeouts::SetWriteTotalMultiplier(int v) {
  Set(writeTotalM_, v);
}
void TComTimeouts::SetWriteTotalConstant(int v) {
  Set(writeTotalC_, v);
}
void TComTimeouts::Assign(const TComTimeouts& src) {
  readInterval_ = src.readInterval_;
  readTotalM_ = src.readTotalM_;
  readTotalC_ = src.readTotalC_;
  writeTotalM_ = src.writeTotalM_;
  writeTotalC_ = src.writeTotalC_;
  port_->ApplyTimeouts();
}
TComTimeoutValues TComTimeouts::Values() const {
  TComTimeoutValues t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(readInterval_);
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(readTotalM_);
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(readTotalC_);
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(writeTotalM_);
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(writeTotalC_);
  return t;
}

void TComBuffer::Set(int& field, int v) {
  if (v > 0 && (v % 2) != 0) --v;
  if (field == v) return;
  field = v;
  port_->ApplyBufferSizes();
}
void TComBuffer::SetInputSize(int v) {
  Set(inputSize_, v);
}
void TComBuffer::SetOutputSize(int v) {
  Set(outputSize_, v);
}
void TComBuffer::Assign(const TComBuffer& src) {
  inputSize_ = src.inputSize_;
  outputSize_ = src.outputSize_;
  port_->ApplyBufferSizes();
}

void TComParity::SetBits(TParityBits v) {
  if (bits_ == v) return;
  bits_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetCheck(bool v) {
  if (check_ == v) return;
  check_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetReplace(bool v) {
  if (replace_ == v) return;
  replace_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetReplaceChar(char v) {
  if (replaceChar_ == v) return;
  replaceChar_ = v;
  port_->ApplyLineSettings();
}
void TComParity::Assign(const TComParity& src) {
  bits_ = src.bits_;
  check_ = src.check_;
  replace_ = src.replace_;
  replaceChar_ = src.replaceChar_;
  port_->ApplyLineSettings();
}

template <class T>
void TComFlowControl::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  port_->ApplyLineSettings();
}
void TComFlowControl::SetOutCTSFlow(bool v) {
  Set(outCTSFlow_, v);
}
void TComFlowControl::SetOutDSRFlow(bool v) {
  Set(outDSRFlow_, v);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
  Set(controlDTR_, v);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
  Set(controlRTS_, v);
}
void TComFlowControl::SetXonXoffOut(bool v) {
  Set(xonXoffOut_, v);
}
void TComFlowControl::SetXonXoffIn(bool v) {
  Set(xonXoffIn_, v);
}
void TComFlowControl::SetDSRSensitivity(bool v) {
  Set(dsrSensitivity_, v);
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
  Set(txContinueOnXoff_, v);
}
void TComFlowControl::SetXonChar(char v) {
  Set(xonChar_, v);
}
void TComFlowControl::SetXoffChar(char v) {
  Set(xoffChar_, v);
}

TFlowControl TComFlowControl::FlowControl() const {
  if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
  if (v != fcCustom) {
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (v == fcHardware) {
      controlRTS_ = rtsHandshake;
      outCTSFlow_ = true;
    } else if (v == fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  port_->ApplyLineSettings();
}

void TComFlowControl::Assign(const TComFlowControl& src) {
  outCTSFlow_ = src.outCTSFlow_;
  outDSRFlow_ = src.outDSRFlow_;
  controlDTR_ = src.controlDTR_;
  controlRTS_ = src.controlRTS_;
  xonXoffOut_ = src.xonXoffOut_;
  xonXoffIn_ = src.xonXoffIn_;
  dsrSensitivity_ = src.dsrSensitivity_;
  txContinueOnXoff_ = src.txContinueOnXoff_;
  xonChar_ = src.xonChar_;
  xoffChar_ = src.xoffChar_;
  port_->ApplyLineSettings();
}

// ---------------------------------------------------------------------------
// Hand-over to the window thread: the event thread parks one call and posts
// an event to this object, which lives on the thread that opened the port.

class TComSyncer : public QObject {
 public:
  static QEvent::Type Type() {
    static const int t = QEvent::registerEventType();
    return static_cast<QEvent::Type>(t);
  }
  explicit TComSyncer(TCustomComPort* port) : port_(port) {}
  bool event(QEvent* e) override {
    if (e->type() != Type()) return QObject::event(e);
    port_->RunPendingSync();
    return true;
  }

 private:
  TCustomComPort* port_;
};

// ---------------------------------------------------------------------------
// The event thread

class TComThread {
 public:
  TComThread(TCustomComPort* port, TComEvents mask) : port_(port), mask_(mask) {}
  ~TComThread() {
    if (th_.joinable()) th_.join();
  }
  void Start() {
    th_ = std::thread([this] { Run(); });
  }
  void RequestStop() {
    stop_ = true;
    port_->device_->Interrupt();
  }
  bool Finished() const { return finished_; }
  bool IsCurrent() const { return th_.get_id() == std::this_thread::get_id(); }
  void Join() {
    if (th_.joinable()) th_.join();
  }

 private:
  void Run();
  TCustomComPort* port_;
  TComEvents mask_;
  std::thread th_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
};

void TComThread::Run() {
  TComDevice* dev = port_->device_.get();
  const bool wantBytes =
      mask_.Contains(evRxChar) || mask_.Contains(evRxFlag) || mask_.Contains(evRx80Full);
  // Modem lines, output-empty and line errors have no wake-up of their own
  // on a tty; they are sampled while waiting.
  const bool sample = mask_.Contains(evCTS) || mask_.Contains(evDSR) || mask_.Contains(evRLSD) ||
                      mask_.Contains(evRing) || mask_.Contains(evTxEmpty) ||
                      mask_.Contains(evError) || mask_.Contains(evBreak);
  uint32_t lastModem = 0;
  dev->ModemStatus(lastModem);
  {
    std::lock_guard<std::mutex> lk(port_->ioLock_);
    port_->pendingEvents_ = 0;
  }
  while (!stop_) {
    bool room;
    {
      std::lock_guard<std::mutex> lk(port_->ioLock_);
      room = port_->inQueue_.size() < kQueueCap;
    }
    uint32_t flags = 0;
    if (dev->WaitEvent(sample ? 20 : -1, wantBytes && room, flags) != 0) break;
    if (stop_) break;
    bool gone = (flags & wfGone) != 0;
    uint32_t occurred = 0;
    {
      std::lock_guard<std::mutex> lk(port_->ioLock_);
      if (flags & wfInput) {
        if (port_->FillQueue(kQueueCap - std::min(kQueueCap, port_->inQueue_.size())) != 0)
          gone = true;
      }
      occurred = port_->pendingEvents_;
      port_->pendingEvents_ = 0;
    }
    TComEvents ev = TComEvents::FromBits(occurred);
    if (sample && !gone) {
      uint32_t ms = 0;
      if (dev->ModemStatus(ms) == 0) {
        if ((ms ^ lastModem) & MS_CTS_ON) ev.Include(evCTS);
        if ((ms ^ lastModem) & MS_DSR_ON) ev.Include(evDSR);
        if ((ms ^ lastModem) & MS_RLSD_ON) ev.Include(evRLSD);
        if ((ms & MS_RING_ON) && !(lastModem & MS_RING_ON)) ev.Include(evRing);
        lastModem = ms;
      }
      int out = 0;
      if (port_->wroteSinceEmpty_ && dev->OutputCount(out) == 0 && out == 0) {
        port_->wroteSinceEmpty_ = false;
        ev.Include(evTxEmpty);
      }
      uint32_t ce = 0;
      if (dev->PollLineEvents(ce) == 0) {
        if (ce & CE_BREAK) ev.Include(evBreak);
        if (ce & ~static_cast<uint32_t>(CE_BREAK)) ev.Include(evError);
      }
    }
    TComEvents batch = TComEvents::FromBits(ev.Bits() & mask_.Bits());
    if (!batch.Empty() && !stop_) port_->DispatchEvents(batch);
    // A vanished device raises nothing more: end rather than spin.
    if (gone) break;
  }
  // On the way out: no more events, and both queues are discarded.
  dev->Purge(true, true);
  {
    std::lock_guard<std::mutex> lk(port_->ioLock_);
    port_->inQueue_.clear();
    port_->pendingEvents_ = 0;
  }
  {
    std::lock_guard<std::mutex> lk(port_->syncLock_);
    finished_ = true;
  }
  port_->syncCv_.notify_all();
}

// ---------------------------------------------------------------------------
// The component

TCustomComPort::TCustomComPort(void* owner, std::unique_ptr<TComDevice> device)
    : owner_(owner),
      name_("ComPort1"),
      device_(device ? std::move(device) : CreatePosixComDevice()),
      buffer_(this),
      parity_(this),
      timeouts_(this),
      flowControl_(this) {}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (const std::exception& e) {
    ApplicationShowException(e);
  }
  // A port that refused to close still must not outlive its thread.
  if (thread_) {
    StopThread();
    thread_.reset();
  }
  JoinRetired();
  if (device_) device_->Close();
  auto notify = std::move(freeNotify_);
  for (auto& n : notify)
    if (n.second) n.second();
}

void TCustomComPort::Loaded() {
  loading_ = false;
  if (storedConnected_ && !designing_) {
    storedConnected_ = false;
    try {
      Open();
    } catch (const std::exception& e) {
      ApplicationShowException(e);
    }
  }
}

void TCustomComPort::AddFreeNotification(const void* key, std::function<void()> fn) {
  RemoveFreeNotification(key);
  freeNotify_.emplace_back(key, std::move(fn));
}

void TCustomComPort::RemoveFreeNotification(const void* key) {
  freeNotify_.erase(std::remove_if(freeNotify_.begin(), freeNotify_.end(),
                                   [key](const auto& n) { return n.first == key; }),
                    freeNotify_.end());
}

void TCustomComPort::JoinRetired() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    if ((*it)->IsCurrent()) {
      ++it;
      continue;
    }
    (*it)->Join();
    it = retired_.erase(it);
  }
}

bool TCustomComPort::EventThreadRunning() const {
  return thread_ && !thread_->Finished();
}

bool TCustomComPort::CanApply() const {
  return connected_ && updateCount_ == 0 && !designing_ && !loading_;
}

void TCustomComPort::CallLinks(const std::function<void(TComLink&)>& fn) {
  // A slot may detach its own link; walk a copy.
  const std::vector<TComLink*> links = links_;
  for (TComLink* l : links)
    if (std::find(links_.begin(), links_.end(), l) != links_.end()) fn(*l);
}

// --- notifications ---------------------------------------------------------

void TCustomComPort::DoAfterClose() {
  if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
  if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
  if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
  if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int count) {
  if (OnRxChar) OnRxChar(this, count);
}
void TCustomComPort::DoRxBuf(const char* buffer, int count) {
  if (OnRxBuf) OnRxBuf(this, buffer, count);
}
void TCustomComPort::DoTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
  if (OnBreak) OnBreak(this);
}
void TCustomComPort::DoRing() {
  if (OnRing) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
  if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool on) {
  if (OnCTSChange) OnCTSChange(this, on);
}
void TCustomComPort::DoDSRChange(bool on) {
  if (OnDSRChange) OnDSRChange(this, on);
}
void TCustomComPort::DoError(TComErrors errors) {
  if (OnError) OnError(this, errors);
}
void TCustomComPort::DoRLSDChange(bool on) {
  if (OnRLSDChange) OnRLSDChange(this, on);
}
void TCustomComPort::DoRx80Full() {
  if (OnRx80Full) OnRx80Full(this);
}

// --- applying settings -----------------------------------------------------

TComDCB TCustomComPort::BuildDCB() const {
  TComDCB d;
  d.DCBlength = 28;
  d.BaudRate =
      static_cast<uint32_t>(baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_));
  d.ByteSize = static_cast<uint8_t>(5 + dataBits_);
  d.Parity = static_cast<uint8_t>(parity_.Bits());
  d.StopBits = static_cast<uint8_t>(stopBits_);
  const int lim = std::clamp(buffer_.InputSize() / 4, 0, 0xFFFF);
  d.XonLim = static_cast<uint16_t>(lim);
  d.XoffLim = static_cast<uint16_t>(lim);
  d.XonChar = flowControl_.XonChar();
  d.XoffChar = flowControl_.XoffChar();
  d.EvtChar = eventChar_;
  d.fBinary = true;
  d.fNull = discardNull_;
  d.fOutxCtsFlow = flowControl_.OutCTSFlow();
  d.fOutxDsrFlow = flowControl_.OutDSRFlow();
  d.fDtrControl = static_cast<uint8_t>(flowControl_.ControlDTR());
  d.fRtsControl = static_cast<uint8_t>(flowControl_.ControlRTS());
  d.fOutX = flowControl_.XonXoffOut();
  d.fInX = flowControl_.XonXoffIn();
  d.fDsrSensitivity = flowControl_.DSRSensitivity();
  d.fTXContinueOnXoff = flowControl_.TxContinueOnXoff();
  if (parity_.Check()) {
    d.fParity = true;
    if (parity_.Replace()) {
      d.fErrorChar = true;
      d.ErrorChar = parity_.ReplaceChar();
    }
  }
  d.fAbortOnError = false;
  return d;
}

void TCustomComPort::ApplyLineSettings() {
  if (!CanApply()) return;
  int e = device_->SetCommState(BuildDCB());
  if (e != 0) throw EComPort(CError_SetStateFailed, e);
  std::lock_guard<std::mutex> lk(ioLock_);
  liveEventChar_ = eventChar_;
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  int e = device_->SetCommTimeouts(timeouts_.Values());
  if (e != 0) throw EComPort(CError_TimeoutsFailed, e);
}

void TCustomComPort::ApplyBufferSizes() {
  if (!CanApply()) return;
  int e = device_->SetupComm(buffer_.InputSize(), buffer_.OutputSize());
  if (e != 0) throw EComPort(CError_SetupComFailed, e);
}

void TCustomComPort::ApplySettings() {
  if (!CanApply()) return;
  ApplyBufferSizes();
  ApplyLineSettings();
  ApplyTimeouts();
}

void TCustomComPort::BeginUpdate() {
  ++updateCount_;
}

void TCustomComPort::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) ApplySettings();
}

// --- properties ------------------------------------------------------------

void TCustomComPort::SetBaudRate(TBaudRate v) {
  if (baudRate_ == v) return;
  baudRate_ = v;
  ApplyLineSettings();
}
void TCustomComPort::SetCustomBaudRate(int v) {
  if (customBaudRate_ == v) return;
  customBaudRate_ = v;
  ApplyLineSettings();
}
void TCustomComPort::SetStopBits(TStopBits v) {
  if (stopBits_ == v) return;
  stopBits_ = v;
  ApplyLineSettings();
}
void TCustomComPort::SetDataBits(TDataBits v) {
  if (dataBits_ == v) return;
  dataBits_ = v;
  ApplyLineSettings();
}
void TCustomComPort::SetDiscardNull(bool v) {
  if (discardNull_ == v) return;
  discardNull_ = v;
  ApplyLineSettings();
}
void TCustomComPort::SetEventChar(char v) {
  if (eventChar_ == v) return;
  eventChar_ = v;
  ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& v) {
  if (port_ == v) return;
  port_ = v;
  if (connected_ && !designing_ && !loading_) {
    Close();
    Open();
  }
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
  if (syncMethod_ == v) return;
  if (connected_ && !designing_ && !loading_) throw EComPort(CError_SyncMeth);
  syncMethod_ = v;
}

void TCustomComPort::SetConnected(bool v) {
  if (designing_ || loading_) {
    storedConnected_ = v;
    return;
  }
  if (v == connected_) return;
  if (v)
    Open();
  else
    Close();
}

// --- open and close --------------------------------------------------------

void TCustomComPort::OpenDevice() {
  int e = device_->Open(port_);
  if (e != 0) {
    const std::string path = PortDevicePath(port_);
    throw EComPort(CError_OpenFailed, e, path == port_ ? port_ : port_ + " (" + path + ")");
  }
}

void TCustomComPort::CloseDevice() {
  device_->Close();
  std::lock_guard<std::mutex> lk(ioLock_);
  inQueue_.clear();
  pendingEvents_ = 0;
}

void TCustomComPort::AfterOpenNotifications() {
  CallLinks([this](TComLink& l) {
    if (l.OnConn) l.OnConn(this, true);
  });
  DoAfterOpen();
  bool on = ModemSignals().Contains(csCTS);
  CallLinks([&](TComLink& l) {
    if (l.OnCTSChange) l.OnCTSChange(this, on);
  });
  DoCTSChange(on);
  on = ModemSignals().Contains(csDSR);
  CallLinks([&](TComLink& l) {
    if (l.OnDSRChange) l.OnDSRChange(this, on);
  });
  DoDSRChange(on);
  on = ModemSignals().Contains(csRLSD);
  CallLinks([&](TComLink& l) {
    if (l.OnRLSDChange) l.OnRLSDChange(this, on);
  });
  DoRLSDChange(on);
}

void TCustomComPort::Open() {
  if (connected_ || designing_) return;
  JoinRetired();
  DoBeforeOpen();
  OpenDevice();
  connected_ = true;
  wroteSinceEmpty_ = false;
  try {
    ApplySettings();
  } catch (...) {
    CloseDevice();
    connected_ = false;
    throw;
  }
  if (Events.Empty()) {
    threadCreated_ = false;
  } else {
    {
      std::lock_guard<std::mutex> lk(syncLock_);
      syncStopping_ = false;
      syncPending_ = nullptr;
    }
    if (syncMethod_ != smNone) syncer_ = std::make_unique<TComSyncer>(this);
    thread_ = std::make_unique<TComThread>(this, Events);
    thread_->Start();
    threadCreated_ = true;
  }
  AfterOpenNotifications();
}

void TCustomComPort::StopThread() {
  if (thread_->IsCurrent()) {
    // A handler on the event thread itself (smNone) closed the port: the
    // thread cannot wait for its own end; it ends after this batch and is
    // joined later.
    thread_->RequestStop();
    retired_.push_back(std::move(thread_));
    return;
  }
  {
    std::lock_guard<std::mutex> lk(syncLock_);
    syncStopping_ = true;
    // Called from inside a handler that the event thread is waiting for:
    // release that wait now, or the thread could never end.
    if (syncPending_ && syncTaken_) {
      syncDone_ = true;
      syncPending_ = nullptr;
    }
  }
  syncCv_.notify_all();
  thread_->RequestStop();
  // Keep serving the thread's hand-overs while waiting for it, so a message
  // already on its way cannot deadlock the stop.
  while (!thread_->Finished()) {
    RunPendingSync();
    std::unique_lock<std::mutex> lk(syncLock_);
    syncCv_.wait_for(lk, std::chrono::milliseconds(5), [this] {
      return thread_->Finished() || (syncPending_ != nullptr && !syncTaken_);
    });
  }
  thread_->Join();
}

void TCustomComPort::Close() {
  if (!connected_ || designing_) return;
  CallLinks([this](TComLink& l) {
    if (l.OnCTSChange) l.OnCTSChange(this, false);
  });
  CallLinks([this](TComLink& l) {
    if (l.OnDSRChange) l.OnDSRChange(this, false);
  });
  CallLinks([this](TComLink& l) {
    if (l.OnRLSDChange) l.OnRLSDChange(this, false);
  });
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
  DoBeforeClose();
  AbortPendingIo();
  if (thread_) {
    StopThread();
    thread_.reset();
    threadCreated_ = false;
    syncer_.reset();
  }
  CloseDevice();
  connected_ = false;
  CallLinks([this](TComLink& l) {
    if (l.OnConn) l.OnConn(this, false);
  });
  DoAfterClose();
}

// --- reading and writing ---------------------------------------------------

int TCustomComPort::FillQueue(size_t want) {
  char buf[512];
  size_t total = 0;
  const size_t full = static_cast<size_t>(std::max(buffer_.InputSize(), 0)) * 8 / 10;
  while (total < want) {
    int n = 0;
    int e = device_->Read(buf, static_cast<int>(std::min(sizeof buf, want - total)), n);
    if (e != 0) return e;
    if (n <= 0) break;
    const bool wasBelow = inQueue_.size() < full;
    for (int i = 0; i < n; ++i) {
      inQueue_.push_back(buf[i]);
      if (buf[i] == liveEventChar_) pendingEvents_ |= 1u << evRxFlag;
    }
    pendingEvents_ |= 1u << evRxChar;
    if (wasBelow && full > 0 && inQueue_.size() >= full) pendingEvents_ |= 1u << evRx80Full;
    total += static_cast<size_t>(n);
  }
  return 0;
}

int TCustomComPort::ReadText(std::string& text, int count) {
  text.clear();
  if (count <= 0) return 0;
  if (!device_->IsOpen()) throw EComPort(CError_ReadFailed, EBADF);
  const TComTimeoutValues t = timeouts_.Values();
  const size_t want = static_cast<size_t>(count);
  using Clk = std::chrono::steady_clock;
  const auto start = Clk::now();
  auto lastByte = start;
  // The read's time limits, as a serial driver applies them.
  const bool atOnce = t.ReadIntervalTimeout == kInfinite && t.ReadTotalTimeoutMultiplier == 0 &&
                      t.ReadTotalTimeoutConstant == 0;
  const bool firstByte = t.ReadIntervalTimeout == kInfinite &&
                         t.ReadTotalTimeoutMultiplier == kInfinite &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kInfinite;
  long long totalMs = -1;
  if (firstByte)
    totalMs = t.ReadTotalTimeoutConstant;
  else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
    totalMs =
        static_cast<long long>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
  const long long intervalMs = (t.ReadIntervalTimeout == 0 || t.ReadIntervalTimeout == kInfinite)
                                   ? -1
                                   : static_cast<long long>(t.ReadIntervalTimeout);
  for (;;) {
    int err = 0;
    bool wake = false;
    size_t before = text.size();
    {
      std::lock_guard<std::mutex> lk(ioLock_);
      const bool wasFull = inQueue_.size() >= kQueueCap;
      auto take = [&] {
        size_t n = std::min(want - text.size(), inQueue_.size());
        text.append(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
        inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
      };
      take();
      if (text.size() < want) {
        err = FillQueue(want - text.size());
        take();
      }
      // Events raised by bytes this read took from the device are the
      // event thread's to report.
      wake = thread_ && (pendingEvents_ != 0 || (wasFull && inQueue_.size() < kQueueCap));
    }
    if (wake) device_->Interrupt();
    if (text.size() > before) lastByte = Clk::now();
    if (err != 0) {
      // Bytes that arrived before the device vanished are still delivered;
      // the next read reports the failure.
      if (!text.empty()) break;
      throw EComPort(CError_ReadFailed, err);
    }
    if (text.size() >= want || atOnce) break;
    if (firstByte && !text.empty()) break;
    const auto now = Clk::now();
    long long wait = 20;
    if (totalMs >= 0) {
      long long left =
          totalMs - std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
      if (left <= 0) break;
      wait = std::min(wait, left);
    }
    if (intervalMs >= 0 && !text.empty()) {
      long long left =
          intervalMs -
          std::chrono::duration_cast<std::chrono::milliseconds>(now - lastByte).count();
      if (left <= 0) break;
      wait = std::min(wait, left);
    }
    int e = device_->WaitInput(static_cast<int>(wait));
    if (e != 0 && text.empty()) throw EComPort(CError_ReadFailed, e);
  }
  if (PendingInputCount() == 0)
    CallLinks([this](TComLink& l) {
      if (l.OnRx) l.OnRx(this, false);
    });
  return static_cast<int>(text.size());
}

int TCustomComPort::WriteText(const std::string& text) {
  if (text.empty()) return 0;
  if (!device_->IsOpen()) throw EComPort(CError_WriteFailed, EBADF);
  const std::string copy = text;  // the request's own copy
  const TComTimeoutValues t = timeouts_.Values();
  int timeoutMs = -1;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
    long long total = static_cast<long long>(t.WriteTotalTimeoutMultiplier) * copy.size() +
                      t.WriteTotalTimeoutConstant;
    // All ones means no practical limit.
    if (t.WriteTotalTimeoutMultiplier != kInfinite && t.WriteTotalTimeoutConstant != kInfinite &&
        total < kInfinite)
      timeoutMs = static_cast<int>(std::min<long long>(total, 0x7FFFFFFF));
  }
  wroteSinceEmpty_ = true;
  CallLinks([this](TComLink& l) {
    if (l.OnTx) l.OnTx(this, true);
  });
  int written = 0;
  int e = device_->Write(copy.data(), static_cast<int>(copy.size()), written, timeoutMs);
  if (e != 0) throw EComPort(CError_WriteFailed, e);
  CallLinks([&](TComLink& l) {
    if (l.OnTxBuf) l.OnTxBuf(this, copy.data(), written);
  });
  return written;
}

void TCustomComPort::ClearBuffers(bool input, bool output) {
  int e = device_->IsOpen() ? device_->Purge(input, output) : EBADF;
  if (e != 0) throw EComPort(CError_PurgeFailed, e);
  if (input) {
    std::lock_guard<std::mutex> lk(ioLock_);
    inQueue_.clear();
  }
}

void TCustomComPort::AbortPendingIo() {
  if (!device_->IsOpen()) throw EComPort(CError_PurgeFailed, EBADF);
  device_->AbortIo();
}

int TCustomComPort::PendingInputCount() {
  int n = 0;
  int e = device_->IsOpen() ? device_->InputCount(n) : EBADF;
  if (e != 0) throw EComPort(CError_ClearComFailed, e);
  std::lock_guard<std::mutex> lk(ioLock_);
  return n + static_cast<int>(inQueue_.size());
}

TComSignals TCustomComPort::ModemSignals() {
  uint32_t s = 0;
  int e = device_->IsOpen() ? device_->ModemStatus(s) : EBADF;
  if (e != 0) throw EComPort(CError_ModemStatFailed, e);
  return TComSignals::FromBits((s >> 4) & 0x0F);
}

TComErrors TCustomComPort::LineErrors() {
  uint32_t ce = 0;
  int e = device_->IsOpen() ? device_->LineErrors(ce) : EBADF;
  if (e != 0) throw EComPort(CError_ClearComFailed, e);
  TComErrors r;
  if (ce & CE_FRAME) r.Include(ceFrame);
  if ((ce & CE_RXPARITY) && parity_.Check()) r.Include(ceRxParity);
  if (ce & CE_OVERRUN) r.Include(ceOverrun);
  if (ce & CE_BREAK) r.Include(ceBreak);
  if (ce & CE_IOE) r.Include(ceIO);
  if (ce & CE_MODE) r.Include(ceMode);
  if (ce & CE_RXOVER) r.Include(ceRxOver);
  if (ce & CE_TXFULL) r.Include(ceTxFull);
  return r;
}

// --- events ----------------------------------------------------------------

void TCustomComPort::SendToWindowThread(const std::function<void()>& fn) {
  std::unique_lock<std::mutex> lk(syncLock_);
  if (syncStopping_) return;
  syncPending_ = &fn;
  syncTaken_ = false;
  syncDone_ = false;
  lk.unlock();
  if (QCoreApplication::instance() && syncer_)
    QCoreApplication::postEvent(syncer_.get(), new QEvent(TComSyncer::Type()));
  lk.lock();
  syncCv_.wait(lk, [this] { return syncDone_; });
  syncPending_ = nullptr;
}

void TCustomComPort::RunPendingSync() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lk(syncLock_);
    if (!syncPending_ || syncTaken_) return;
    syncTaken_ = true;
    fn = *syncPending_;  // our own copy: a Close inside may release the sender
  }
  try {
    fn();
  } catch (const std::exception& e) {
    ApplicationShowException(e);
  }
  {
    std::lock_guard<std::mutex> lk(syncLock_);
    // Still the same hand-over (not released early by a stop)?
    if (syncTaken_ && syncPending_) syncDone_ = true;
  }
  syncCv_.notify_all();
}

void TCustomComPort::DispatchEvents(TComEvents events) {
  auto runGuarded = [this](TComEvent ev) {
    try {
      RunHandlerStep(ev);
    } catch (const std::exception& e) {
      ApplicationShowException(e);
    }
  };
  switch (syncMethod_) {
    case smNone:
      for (TComEvent ev : kSequence)
        if (events.Contains(ev)) runGuarded(ev);
      break;
    case smThreadSync:
      SendToWindowThread([this, events] {
        for (TComEvent ev : kSequence)
          if (events.Contains(ev)) RunHandlerStep(ev);
      });
      break;
    case smWindowSync:
      for (TComEvent ev : kSequence)
        if (events.Contains(ev)) {
          const uint32_t bit = EventToMask(ev);
          SendToWindowThread([this, bit] { HandleEventMessage(bit); });
        }
      break;
  }
}

void TCustomComPort::HandleEventMessage(uint32_t maskBit) {
  for (TComEvent ev : kSequence)
    if (EventToMask(ev) == maskBit) {
      try {
        RunHandlerStep(ev);
      } catch (const std::exception& e) {
        ApplicationShowException(e);
      }
      return;
    }
}

void TCustomComPort::RunHandlerStep(TComEvent ev) {
  // A handler earlier in the batch may have closed the port.
  if (!connected_) return;
  switch (ev) {
    case evError: {
      TComErrors errs = LineErrors();
      if (!errs.Empty()) DoError(errs);
      break;
    }
    case evRxChar: {
      int count = PendingInputCount();
      if (count > 0)
        CallLinks([this](TComLink& l) {
          if (l.OnRx) l.OnRx(this, true);
        });
      if (count > 0 && hasBlockLink_) {
        std::string block;
        {
          std::lock_guard<std::mutex> lk(ioLock_);
          if (inQueue_.size() < static_cast<size_t>(count))
            FillQueue(static_cast<size_t>(count) - inQueue_.size());
          size_t n = std::min(static_cast<size_t>(count), inQueue_.size());
          block.assign(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
          inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
        }
        DoRxBuf(block.data(), static_cast<int>(block.size()));
        CallLinks([&](TComLink& l) {
          if (l.OnRxBuf) l.OnRxBuf(this, block.data(), static_cast<int>(block.size()));
        });
        count = 0;
      }
      if (count > 0) DoRxChar(count);
      break;
    }
    case evTxEmpty:
      CallLinks([this](TComLink& l) {
        if (l.OnTx) l.OnTx(this, false);
      });
      CallLinks([this](TComLink& l) {
        if (l.OnTxEmpty) l.OnTxEmpty(this);
      });
      DoTxEmpty();
      break;
    case evBreak:
      DoBreak();
      break;
    case evRing:
      CallLinks([this](TComLink& l) {
        if (l.OnRing) l.OnRing(this);
      });
      DoRing();
      break;
    case evCTS: {
      bool on = ModemSignals().Contains(csCTS);
      CallLinks([&](TComLink& l) {
        if (l.OnCTSChange) l.OnCTSChange(this, on);
      });
      DoCTSChange(on);
      break;
    }
    case evDSR: {
      bool on = ModemSignals().Contains(csDSR);
      CallLinks([&](TComLink& l) {
        if (l.OnDSRChange) l.OnDSRChange(this, on);
      });
      DoDSRChange(on);
      break;
    }
    case evRxFlag:
      CallLinks([this](TComLink& l) {
        if (l.OnRxFlag) l.OnRxFlag(this);
      });
      DoRxFlag();
      break;
    case evRLSD: {
      bool on = ModemSignals().Contains(csRLSD);
      CallLinks([&](TComLink& l) {
        if (l.OnRLSDChange) l.OnRLSDChange(this, on);
      });
      DoRLSDChange(on);
      break;
    }
    case evRx80Full:
      DoRx80Full();
      break;
  }
}

// --- links -----------------------------------------------------------------

void TCustomComPort::AttachLink(TComLink* link) {
  if (!link || std::find(links_.begin(), links_.end(), link) != links_.end())
    throw EComPort(CError_RegFailed);
  links_.push_back(link);
  hasBlockLink_ = std::any_of(links_.begin(), links_.end(),
                              [](TComLink* l) { return static_cast<bool>(l->OnRxBuf); });
}

void TCustomComPort::DetachLink(TComLink* link) {
  auto it = std::find(links_.begin(), links_.end(), link);
  if (!link || it == links_.end()) throw EComPort(CError_RegFailed);
  links_.erase(it);
  hasBlockLink_ = std::any_of(links_.begin(), links_.end(),
                              [](TComLink* l) { return static_cast<bool>(l->OnRxBuf); });
}

// --- dialog and settings store --------------------------------------------

void TCustomComPort::ShowSetupDialog() {
  if (!SetupHandler())
    throw std::logic_error("the port settings dialog is not linked into this program");
  SetupHandler()(*this);
}

void TCustomComPort::SaveSettings(TSettingsStore store, const std::string& location) {
  try {
    if (store == ssIniFile)
      StoreIniFile(location);
    else
      StoreRegistry(location);
  } catch (...) {
    throw EComPort(CError_StoreFailed);
  }
}

void TCustomComPort::LoadSettings(TSettingsStore store, const std::string& location) {
  try {
    BeginUpdate();
    try {
      if (store == ssIniFile)
        LoadIniFile(location);
      else
        LoadRegistry(location);
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
  } catch (...) {
    throw EComPort(CError_LoadFailed);
  }
}

void TCustomComPort::StoreRegistry(const std::string&) {
  // There is no registry on this platform.
  throw std::runtime_error("no registry store");
}

void TCustomComPort::LoadRegistry(const std::string&) {
  throw std::runtime_error("no registry store");
}

void TCustomComPort::StoreIniFile(const std::string& location) {
  const std::string path = ProfileFilePath(location);
  TIniFile ini;
  int err = 0;
  // An existing file we cannot read would lose its other sections.
  if (!ini.Load(path, &err)) throw std::runtime_error("cannot read " + path);
  const std::string& s = name_;
  if (storedGroups_.Contains(spBasic)) {
    ini.WriteString(s, "Port", port_);
    ini.WriteString(s, "BaudRate", BaudRateToText(baudRate_));
    if (baudRate_ == brCustom)
      ini.WriteString(s, "CustomBaudRate", std::to_string(customBaudRate_));
    ini.WriteString(s, "StopBits", StopBitsToText(stopBits_));
    ini.WriteString(s, "DataBits", DataBitsToText(dataBits_));
    ini.WriteString(s, "Parity", ParityToText(parity_.Bits()));
    ini.WriteString(s, "FlowControl", FlowControlToText(flowControl_.FlowControl()));
  }
  if (storedGroups_.Contains(spOthers)) {
    ini.WriteString(s, "EventChar", CharToText(eventChar_));
    ini.WriteString(s, "DiscardNull", BoolToText(discardNull_));
  }
  if (storedGroups_.Contains(spParity)) {
    ini.WriteString(s, "Parity.Check", BoolToText(parity_.Check()));
    ini.WriteString(s, "Parity.Replace", BoolToText(parity_.Replace()));
    ini.WriteString(s, "Parity.ReplaceChar", CharToText(parity_.ReplaceChar()));
  }
  if (storedGroups_.Contains(spBuffer)) {
    ini.WriteString(s, "Buffer.OutputSize", std::to_string(buffer_.OutputSize()));
    ini.WriteString(s, "Buffer.InputSize", std::to_string(buffer_.InputSize()));
  }
  if (storedGroups_.Contains(spTimeouts)) {
    ini.WriteString(s, "Timeouts.ReadInterval", std::to_string(timeouts_.ReadInterval()));
    ini.WriteString(s, "Timeouts.ReadTotalConstant", std::to_string(timeouts_.ReadTotalConstant()));
    ini.WriteString(s, "Timeouts.ReadTotalMultiplier",
                    std::to_string(timeouts_.ReadTotalMultiplier()));
    ini.WriteString(s, "Timeouts.WriteTotalConstant",
                    std::to_string(timeouts_.WriteTotalConstant()));
    ini.WriteString(s, "Timeouts.WriteTotalMultiplier",
                    std::to_string(timeouts_.WriteTotalMultiplier()));
  }
  if (storedGroups_.Contains(spFlowControl)) {
    const TComFlowControl& f = flowControl_;
    ini.WriteString(s, "FlowControl.ControlRTS", RTSToText(f.ControlRTS()));
    ini.WriteString(s, "FlowControl.ControlDTR", DTRToText(f.ControlDTR()));
    ini.WriteString(s, "FlowControl.DSRSensitivity", BoolToText(f.DSRSensitivity()));
    ini.WriteString(s, "FlowControl.OutCTSFlow", BoolToText(f.OutCTSFlow()));
    ini.WriteString(s, "FlowControl.OutDSRFlow", BoolToText(f.OutDSRFlow()));
    ini.WriteString(s, "FlowControl.TxContinueOnXoff", BoolToText(f.TxContinueOnXoff()));
    ini.WriteString(s, "FlowControl.XonXoffIn", BoolToText(f.XonXoffIn()));
    ini.WriteString(s, "FlowControl.XonXoffOut", BoolToText(f.XonXoffOut()));
    ini.WriteString(s, "FlowControl.XoffChar", CharToText(f.XoffChar()));
    ini.WriteString(s, "FlowControl.XonChar", CharToText(f.XonChar()));
  }
  if (!ini.Save(path, &err)) throw std::runtime_error("cannot write " + path);
}

void TCustomComPort::LoadIniFile(const std::string& location) {
  TIniFile ini;
  // An unreadable file reads like a missing one: every key keeps its value.
  if (!ini.Load(ProfileFilePath(location))) ini.Parse("");
  const std::string& s = name_;
  auto str = [&](const char* key, const std::string& def) { return ini.ReadString(s, key, def); };
  auto num = [&](const char* key, int def) {
    return TextToIntDef(str(key, std::to_string(def)), def);
  };
  if (storedGroups_.Contains(spBasic)) {
    SetPort(str("Port", port_));
    SetBaudRate(TextToBaudRate(str("BaudRate", BaudRateToText(baudRate_))));
    if (baudRate_ == brCustom) SetCustomBaudRate(num("CustomBaudRate", 9600));
    SetStopBits(TextToStopBits(str("StopBits", StopBitsToText(stopBits_))));
    SetDataBits(TextToDataBits(str("DataBits", DataBitsToText(dataBits_))));
    parity_.SetBits(TextToParity(str("Parity", ParityToText(parity_.Bits()))));
    flowControl_.SetFlowControl(
        TextToFlowControl(str("FlowControl", FlowControlToText(flowControl_.FlowControl()))));
  }
  if (storedGroups_.Contains(spOthers)) {
    SetEventChar(TextToChar(str("EventChar", CharToText(eventChar_))));
    SetDiscardNull(TextToBool(str("DiscardNull", BoolToText(discardNull_))));
  }
  if (storedGroups_.Contains(spParity)) {
    parity_.SetCheck(TextToBool(str("Parity.Check", BoolToText(parity_.Check()))));
    parity_.SetReplace(TextToBool(str("Parity.Replace", BoolToText(parity_.Replace()))));
    parity_.SetReplaceChar(
        TextToChar(str("Parity.ReplaceChar", CharToText(parity_.ReplaceChar()))));
  }
  if (storedGroups_.Contains(spBuffer)) {
    buffer_.SetOutputSize(num("Buffer.OutputSize", buffer_.OutputSize()));
    buffer_.SetInputSize(num("Buffer.InputSize", buffer_.InputSize()));
  }
  if (storedGroups_.Contains(spTimeouts)) {
    timeouts_.SetReadInterval(num("Timeouts.ReadInterval", timeouts_.ReadInterval()));
    timeouts_.SetReadTotalConstant(
        num("Timeouts.ReadTotalConstant", timeouts_.ReadTotalConstant()));
    timeouts_.SetReadTotalMultiplier(
        num("Timeouts.ReadTotalMultiplier", timeouts_.ReadTotalMultiplier()));
    timeouts_.SetWriteTotalConstant(
        num("Timeouts.WriteTotalConstant", timeouts_.WriteTotalConstant()));
    timeouts_.SetWriteTotalMultiplier(
        num("Timeouts.WriteTotalMultiplier", timeouts_.WriteTotalMultiplier()));
  }
  if (storedGroups_.Contains(spFlowControl)) {
    TComFlowControl& f = flowControl_;
    f.SetControlRTS(TextToRTS(str("FlowControl.ControlRTS", RTSToText(f.ControlRTS()))));
    f.SetControlDTR(TextToDTR(str("FlowControl.ControlDTR", DTRToText(f.ControlDTR()))));
    f.SetDSRSensitivity(
        TextToBool(str("FlowControl.DSRSensitivity", BoolToText(f.DSRSensitivity()))));
    f.SetOutCTSFlow(TextToBool(str("FlowControl.OutCTSFlow", BoolToText(f.OutCTSFlow()))));
    f.SetOutDSRFlow(TextToBool(str("FlowControl.OutDSRFlow", BoolToText(f.OutDSRFlow()))));
    f.SetTxContinueOnXoff(
        TextToBool(str("FlowControl.TxContinueOnXoff", BoolToText(f.TxContinueOnXoff()))));
    f.SetXonXoffIn(TextToBool(str("FlowControl.XonXoffIn", BoolToText(f.XonXoffIn()))));
    f.SetXonXoffOut(TextToBool(str("FlowControl.XonXoffOut", BoolToText(f.XonXoffOut()))));
    f.SetXoffChar(TextToChar(str("FlowControl.XoffChar", CharToText(f.XoffChar()))));
    f.SetXonChar(TextToChar(str("FlowControl.XonChar", CharToText(f.XonChar()))));
  }
}

void TComPort::SetOnRxFlag(std::function<void()> handler) {
  if (handler)
    OnRxFlag = [h = std::move(handler)](TCustomComPort*) { h(); };
  else
    OnRxFlag = nullptr;
}
