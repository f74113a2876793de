// The hand-over's receiver is a QObject living on the thread that opened the
// port; a posted event makes that thread's event loop run the parked call.
#include "serial/CPortHandOver.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <chrono>

#include "serial/CPortTypes.h"

namespace {

QEvent::Type HandOverEventType() {
  static const int t = QEvent::registerEventType();
  return static_cast<QEvent::Type>(t);
}

class TComSyncer : public QObject {
 public:
  explicit TComSyncer(TComHandOver* owner) : owner_(owner) {}
  bool event(QEvent* e) override {
    if (e->type() != HandOverEventType()) return QObject::event(e);
    owner_->RunPending();
    return true;
  }

 private:
  TComHandOver* owner_;
};

// The stop's wait also looks at the thread's end this often, should a wake
// be missed.
constexpr std::chrono::milliseconds kServeSliceMs{5};

}  // namespace

TComHandOver::TComHandOver() = default;
TComHandOver::~TComHandOver() = default;

void TComHandOver::Start(bool announce) {
  {
    std::lock_guard<std::mutex> lk(lock_);
    stopping_ = false;
    pending_ = nullptr;
  }
  if (announce) receiver_ = std::make_unique<TComSyncer>(this);
}

void TComHandOver::Finish() {
  receiver_.reset();
}

void TComHandOver::Send(const std::function<void()>& fn) {
  std::unique_lock<std::mutex> lk(lock_);
  if (stopping_) return;
  pending_ = &fn;
  taken_ = false;
  done_ = false;
  lk.unlock();
  if (QCoreApplication::instance() && receiver_)
    QCoreApplication::postEvent(receiver_.get(), new QEvent(HandOverEventType()));
  lk.lock();
  cv_.wait(lk, [this] { return done_; });
  pending_ = nullptr;
}

void TComHandOver::RunPending() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lk(lock_);
    if (!pending_ || taken_) return;
    taken_ = true;
    fn = *pending_;  // our own copy: a Close inside may release the sender
  }
  try {
    fn();
  } catch (const std::exception& e) {
    ApplicationShowException(e);
  }
  {
    std::lock_guard<std::mutex> lk(lock_);
    // Still the same hand-over (not released early by a stop)?
    if (taken_ && pending_) done_ = true;
  }
  cv_.notify_all();
}

void TComHandOver::Stop() {
  {
    std::lock_guard<std::mutex> lk(lock_);
    stopping_ = true;
    if (pending_ && taken_) {
      done_ = true;
      pending_ = nullptr;
    }
  }
  cv_.notify_all();
}

void TComHandOver::ServeUntil(const std::function<bool()>& ended) {
  // Keep serving while waiting, so a call already on its way cannot deadlock
  // the stop.
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(lock_);
      if (ended()) return;
    }
    RunPending();
    std::unique_lock<std::mutex> lk(lock_);
    cv_.wait_for(lk, kServeSliceMs, [&] { return ended() || (pending_ != nullptr && !taken_); });
  }
}

void TComHandOver::Signal(const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> lk(lock_);
    change();
  }
  cv_.notify_all();
}
