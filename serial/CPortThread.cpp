// The event thread's loop: bytes go into the port's input queue (where the
// event character is spotted), the other lines are sampled, and only the
// events in the port's mask are dispatched.
#include "serial/CPortThread.h"

#include <algorithm>
#include <mutex>

#include "serial/CPort.h"
#include "serial/CPortHandOver.h"

namespace {
// Sampled lines are looked at this often while no byte wakes the thread.
constexpr int kSampleIntervalMs = 20;
}  // namespace

TComThread::~TComThread() {
  Join();
}

void TComThread::Start() {
  th_ = std::thread([this] { Run(); });
}

void TComThread::RequestStop() {
  stop_ = true;
  port_->device_->Interrupt();
}

void TComThread::Join() {
  if (th_.joinable()) th_.join();
}

TComEvents TComThread::SampleLines(uint32_t& lastModem) const {
  TComDevice* dev = port_->device_.get();
  TComEvents ev;
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
  return ev;
}

void TComThread::Run() {
  TComDevice* dev = port_->device_.get();
  const size_t cap = TCustomComPort::kQueueCap;
  const bool wantBytes =
      mask_.Contains(evRxChar) || mask_.Contains(evRxFlag) || mask_.Contains(evRx80Full);
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
    bool room, raised;
    {
      std::lock_guard<std::mutex> lk(port_->ioLock_);
      room = port_->inQueue_.size() < cap;
      // Events raised by a read on the window thread while this thread was
      // not waiting are dispatched without a wait; a read that raises them
      // while it waits interrupts the wait.
      raised = port_->pendingEvents_ != 0;
      port_->threadWaiting_ = !raised;
    }
    uint32_t flags = 0;
    if (!raised && dev->WaitEvent(sample ? kSampleIntervalMs : -1, wantBytes && room, flags) != 0)
      break;
    if (stop_) break;
    bool gone = (flags & wfGone) != 0;
    uint32_t occurred = 0;
    {
      std::lock_guard<std::mutex> lk(port_->ioLock_);
      port_->threadWaiting_ = false;
      if ((flags & wfInput) && port_->FillQueue(cap - std::min(cap, port_->inQueue_.size())) != 0)
        gone = true;
      occurred = port_->pendingEvents_;
      port_->pendingEvents_ = 0;
    }
    TComEvents ev = TComEvents::FromBits(occurred);
    if (sample && !gone) ev = TComEvents::FromBits(ev.Bits() | SampleLines(lastModem).Bits());
    TComEvents batch = TComEvents::FromBits(ev.Bits() & mask_.Bits());
    if (!batch.Empty() && !stop_) port_->DispatchEvents(batch);
    // A vanished device raises nothing more: end rather than spin.
    if (gone) break;
  }
  Drain();
}

void TComThread::Drain() {
  // On the way out: no more events, and both queues are discarded.
  port_->device_->Purge(true, true);
  {
    std::lock_guard<std::mutex> lk(port_->ioLock_);
    port_->inQueue_.clear();
    port_->pendingEvents_ = 0;
    port_->threadWaiting_ = false;
  }
  port_->handOver_->Signal([this] { finished_ = true; });
}
