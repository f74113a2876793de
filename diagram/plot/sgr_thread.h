#pragma once
// A second thread for drawing the field: while the GUI thread fills the
// pixels of one line after the other, the helper finds the segments of the
// lines still to come. The GUI thread never waits for the helper to wake up:
// work is handed out through atomics, and whatever the helper does not take
// in time the GUI thread does itself.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Tsp_DrawHelper {
 public:
  // The helper of this process; null where the process may use only one
  // processor or no thread could be started (the caller then draws alone).
  static Tsp_DrawHelper* Get();

  // Wakes the helper ahead of a Run that is about to come: waking a
  // sleeping thread takes tens of microseconds, which the caller can spend on
  // work of its own in the meantime.
  void Prepare();

  // Calls job(false) on this thread and, if the helper picks it up while
  // this thread is still in its call, job(true) on the helper; returns when
  // no call is running any more. The job must therefore be complete after
  // the first call alone, and share its work with the second through atomics.
  // What the first call throws is thrown on once the second has returned;
  // the second must pass its failures back through the job itself. Called
  // from the GUI thread only, like all drawing.
  // A Run that comes long after the last one (readings at the pace of a
  // real line) is done on this thread alone and the sleeping helper is left
  // asleep: waking it and sharing the caches with it costs more processor
  // time than it saves. Runs close together share the work.
  void Run(const std::function<void(bool onHelper)>& job);
  // Hands every Run to the helper however long after the last one it
  // comes, for measuring what the helper costs and saves.
  void SetEveryRun(bool on) { everyRun_ = on; }

  Tsp_DrawHelper(const Tsp_DrawHelper&) = delete;
  Tsp_DrawHelper& operator=(const Tsp_DrawHelper&) = delete;
  ~Tsp_DrawHelper();

 private:
  Tsp_DrawHelper() = default;
  bool Start();
  void Loop();

  enum : int { kIdle, kPosted, kTaken, kDone };
  std::atomic<int> state_{kIdle};
  const std::function<void(bool)>* job_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool sleeping_ = false, stop_ = false, prepared_ = false;
  std::atomic<int64_t> watchNs_{50'000};
  int64_t lastEndNs_ = 0;  // caller's thread only
  bool everyRun_ = false;  // caller's thread only
  // Whether a Run starting now is close enough to the last one to share.
  bool CloseToLast(int64_t nowNs) const;
  std::thread thread_;
};

// A short pause inside a wait loop.
void CpuRelax();
// One step of waiting for another thread: a processor pause for the first
// few thousand steps, then giving the processor away, in case the thread
// waited for has lost its own.
void WaitStep(int& steps);
