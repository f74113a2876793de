#pragma once
// The event thread's hand-over to the window thread: one call at a time is
// parked here, announced to the window thread's event loop, and the event
// thread waits until that call has run (or a stop releases it).
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

class TComHandOver {
 public:
  TComHandOver();
  ~TComHandOver();
  TComHandOver(const TComHandOver&) = delete;
  TComHandOver& operator=(const TComHandOver&) = delete;

  // At open, on the window thread: accept hand-overs again. With announce
  // false (smNone) nothing is posted and only a stop ends a Send.
  void Start(bool announce);
  // At close, after the thread has ended.
  void Finish();

  // Event thread: runs fn on the window thread and returns when it has run.
  // Does nothing once Stop was called.
  void Send(const std::function<void()>& fn);
  // Window thread: runs the parked call, if one waits and nobody took it.
  // An exception of the call goes to the application's error display.
  void RunPending();

  // Window thread, before waiting for the event thread: refuse new calls,
  // and release the wait for the one running now, since the stop is being
  // called from inside it.
  void Stop();
  // Window thread: serves hand-overs until ended() holds. ended is checked
  // under the hand-over's lock, and Signal wakes the wait.
  void ServeUntil(const std::function<bool()>& ended);
  // Event thread: change (under the lock) what ended() looks at.
  void Signal(const std::function<void()>& change);

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  std::unique_ptr<QObject> receiver_;
  const std::function<void()>* pending_ = nullptr;
  bool taken_ = false;
  bool done_ = false;
  bool stopping_ = false;
};
