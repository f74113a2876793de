// The port component itself: properties and their application to the
// device, open and close with their notifications, reads and writes, and the
// dispatch of line events to the handlers on the window thread.
#include "serial/CPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "serial/CPortDeadline.h"
#include "serial/CPortHandOver.h"
#include "serial/CPortThread.h"

namespace {

std::function<void(TCustomComPort&)>& SetupHandler() {
  static std::function<void(TCustomComPort&)> h;
  return h;
}

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// A read with bytes still to come looks at the device at least this often.
constexpr long long kReadPollMs = 20;

// The order in which the handlers of one batch of events run.
const TComEvent kSequence[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                               evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};

}  // namespace

void SetSetupDialogHandler(std::function<void(TCustomComPort&)> handler) {
  SetupHandler() = std::move(handler);
}

// ---------------------------------------------------------------------------
// The component

TCustomComPort::TCustomComPort(void* owner, std::unique_ptr<TComDevice> device)
    : owner_(owner),
      name_("ComPort1"),
      device_(device ? std::move(device) : CreatePosixComDevice()),
      handOver_(std::make_unique<TComHandOver>()),
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

template <class Handler, class... Args>
void TCustomComPort::CallLinks(Handler TComLink::*handler, const Args&... args) {
  // A slot may detach its own link; walk a copy.
  const std::vector<TComLink*> links = links_;
  for (TComLink* l : links)
    if (std::find(links_.begin(), links_.end(), l) != links_.end() && l->*handler)
      (l->*handler)(this, args...);
}

template <class Handler>
bool TCustomComPort::HasLink(Handler TComLink::*handler) const {
  return std::any_of(links_.begin(), links_.end(),
                     [&](const TComLink* l) { return static_cast<bool>(l->*handler); });
}

template <class Handler, class... Args>
void TCustomComPort::Announce(Handler TComLink::*link, void (TCustomComPort::*own)(Args...),
                              Args... args) {
  CallLinks(link, args...);
  (this->*own)(args...);
}

void TCustomComPort::LineChanged(TComSignal signal, bool on) {
  switch (signal) {
    case csCTS:
      Announce(&TComLink::OnCTSChange, &TCustomComPort::DoCTSChange, on);
      break;
    case csDSR:
      Announce(&TComLink::OnDSRChange, &TCustomComPort::DoDSRChange, on);
      break;
    case csRLSD:
      Announce(&TComLink::OnRLSDChange, &TCustomComPort::DoRLSDChange, on);
      break;
    case csRing:
      break;
  }
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
  CallLinks(&TComLink::OnConn, true);
  DoAfterOpen();
  for (TComSignal s : {csCTS, csDSR, csRLSD}) LineChanged(s, ModemSignals().Contains(s));
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
    handOver_->Start(syncMethod_ != smNone);
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
  handOver_->Stop();
  thread_->RequestStop();
  handOver_->ServeUntil([this] { return thread_->Finished(); });
  thread_->Join();
}

void TCustomComPort::Close() {
  if (!connected_ || designing_) return;
  CallLinks(&TComLink::OnCTSChange, false);
  CallLinks(&TComLink::OnDSRChange, false);
  CallLinks(&TComLink::OnRLSDChange, false);
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
  DoBeforeClose();
  AbortPendingIo();
  if (thread_) {
    StopThread();
    thread_.reset();
    threadCreated_ = false;
    handOver_->Finish();
  }
  CloseDevice();
  connected_ = false;
  CallLinks(&TComLink::OnConn, false);
  DoAfterClose();
}

// --- reading and writing ---------------------------------------------------

int TCustomComPort::FillQueue(size_t want) {
  char buf[512];
  size_t total = 0;
  const size_t full = static_cast<size_t>(std::max(buffer_.InputSize(), 0)) * 8 / 10;
  while (total < want) {
    int n = 0;
    const size_t asked = std::min(sizeof buf, want - total);
    int e = device_->Read(buf, static_cast<int>(asked), n);
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
    // Fewer than asked for: the device had no more just now, and asking
    // again would only be told so.
    if (static_cast<size_t>(n) < asked) break;
  }
  return 0;
}

int TCustomComPort::TakeInput(std::string& text, size_t want) {
  // Caller holds ioLock_.
  auto take = [&] {
    const size_t n = std::min(want - text.size(), inQueue_.size());
    text.append(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
    inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
  };
  take();
  if (text.size() >= want) return 0;
  const int err = FillQueue(want - text.size());
  take();
  return err;
}

int TCustomComPort::ReadText(std::string& text, int count) {
  text.clear();
  if (count <= 0) return 0;
  if (!device_->IsOpen()) throw EComPort(CError_ReadFailed, EBADF);
  const size_t want = static_cast<size_t>(count);
  TReadDeadline deadline(timeouts_.Values(), count, TReadDeadline::Clock::now());
  for (;;) {
    int err = 0;
    bool wake = false;
    const size_t before = text.size();
    {
      std::lock_guard<std::mutex> lk(ioLock_);
      const bool wasFull = inQueue_.size() >= kQueueCap;
      err = TakeInput(text, want);
      // Events raised by bytes this read took from the device are the
      // event thread's to report.
      // An event thread that is not waiting (it is handing over the last
      // batch) looks at them before it waits again.
      wake = thread_ && threadWaiting_ &&
             (pendingEvents_ != 0 || (wasFull && inQueue_.size() < kQueueCap));
    }
    if (wake) device_->Interrupt();
    if (text.size() > before) deadline.NoteByte(TReadDeadline::Clock::now());
    if (err != 0) {
      // Bytes that arrived before the device vanished are still delivered;
      // the next read reports the failure.
      if (!text.empty()) break;
      throw EComPort(CError_ReadFailed, err);
    }
    if (text.size() >= want || deadline.AtOnce()) break;
    if (deadline.AtFirstByte() && !text.empty()) break;
    const long long wait = deadline.WaitMs(TReadDeadline::Clock::now(), !text.empty(), kReadPollMs);
    if (wait < 0) break;
    int e = device_->WaitInput(static_cast<int>(wait));
    if (e != 0 && text.empty()) throw EComPort(CError_ReadFailed, e);
  }
  // Only a link is told that nothing more is pending: without one the
  // device is not asked.
  if (HasLink(&TComLink::OnRx) && PendingInputCount() == 0) CallLinks(&TComLink::OnRx, false);
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
  CallLinks(&TComLink::OnTx, true);
  int written = 0;
  int e = device_->Write(copy.data(), static_cast<int>(copy.size()), written, timeoutMs);
  if (e != 0) throw EComPort(CError_WriteFailed, e);
  CallLinks(&TComLink::OnTxBuf, copy.data(), written);
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
      handOver_->Send([this, events] {
        for (TComEvent ev : kSequence)
          if (events.Contains(ev)) RunHandlerStep(ev);
      });
      break;
    case smWindowSync:
      for (TComEvent ev : kSequence)
        if (events.Contains(ev)) {
          const uint32_t bit = EventToMask(ev);
          handOver_->Send([this, bit] { HandleEventMessage(bit); });
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

void TCustomComPort::RxCharStep() {
  int count = PendingInputCount();
  if (count > 0) CallLinks(&TComLink::OnRx, true);
  if (count > 0 && hasBlockLink_) {
    std::string block;
    {
      // Filled before taking, so the queue's 80 % mark is seen as the
      // event thread would see it.
      std::lock_guard<std::mutex> lk(ioLock_);
      const size_t n = static_cast<size_t>(count);
      if (inQueue_.size() < n) FillQueue(n - inQueue_.size());
      block.assign(inQueue_.begin(),
                   inQueue_.begin() + static_cast<long>(std::min(n, inQueue_.size())));
      inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(block.size()));
    }
    DoRxBuf(block.data(), static_cast<int>(block.size()));
    CallLinks(&TComLink::OnRxBuf, block.data(), static_cast<int>(block.size()));
    count = 0;
  }
  if (count > 0) DoRxChar(count);
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
    case evRxChar:
      RxCharStep();
      break;
    case evTxEmpty:
      CallLinks(&TComLink::OnTx, false);
      Announce(&TComLink::OnTxEmpty, &TCustomComPort::DoTxEmpty);
      break;
    case evBreak:
      DoBreak();
      break;
    case evRing:
      Announce(&TComLink::OnRing, &TCustomComPort::DoRing);
      break;
    case evCTS:
      LineChanged(csCTS, ModemSignals().Contains(csCTS));
      break;
    case evDSR:
      LineChanged(csDSR, ModemSignals().Contains(csDSR));
      break;
    case evRxFlag:
      Announce(&TComLink::OnRxFlag, &TCustomComPort::DoRxFlag);
      break;
    case evRLSD:
      LineChanged(csRLSD, ModemSignals().Contains(csRLSD));
      break;
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

void TComPort::SetOnRxFlag(std::function<void()> handler) {
  if (handler)
    OnRxFlag = [h = std::move(handler)](TCustomComPort*) { h(); };
  else
    OnRxFlag = nullptr;
}
