#pragma once
// A second thread for drawing the field: while the GUI thread fills the
// pixels of one line after the other, the helper finds the segments of the
// lines still to come. The GUI thread never waits for the helper to wake up:
// work is handed out through atomics, and whatever the helper does not take
// in time the GUI thread does itself.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

// Items made on either thread and used on the calling thread one after the
// other in their order, so that what the uses draw overlaps as if drawn
// alone. The helper makes items from the first one on; the caller uses each
// as soon as it is ready and, rather than wait for one the helper is still
// making, makes items from the last one backwards.
template <typename TItem>
class Tsp_InOrderRun {
 public:
  TItem& Item(int i) { return slots_[static_cast<size_t>(i)].Item; }
  // Room for n items; what the items hold is kept for the next run.
  void Reserve(int n) {
    if (slots_.size() < static_cast<size_t>(n)) slots_ = std::vector<TSlot>(static_cast<size_t>(n));
  }

  // make(i, item) on either thread; use(i, item) here, for i = 0 .. n-1 in
  // order. What make throws on the helper is thrown here once the run is
  // over, after drop(item) has emptied that item; it is still used.
  template <typename TMake, typename TUse, typename TDrop>
  void Run(Tsp_DrawHelper& helper, int n, TMake&& make, TUse&& use, TDrop&& drop) {
    Reserve(n);
    for (int i = 0; i < n; ++i) slots_[i].State.store(kFree, std::memory_order_relaxed);
    std::exception_ptr helperFailure;
    helper.Run([&](bool onHelper) {
      if (onHelper) {
        for (int i = 0; i < n; ++i)
          if (Claim(i)) {
            try {
              make(i, slots_[i].Item);
            } catch (...) {
              drop(slots_[i].Item);
              if (!helperFailure) helperFailure = std::current_exception();
            }
            slots_[i].State.store(kReady, std::memory_order_release);
          }
        return;
      }
      int back = n - 1;
      for (int i = 0; i < n; ++i) {
        TSlot& d = slots_[i];
        if (Claim(i)) {
          make(i, d.Item);
        } else {
          for (int steps = 0; d.State.load(std::memory_order_acquire) != kReady;) {
            while (back > i && !Claim(back)) --back;
            if (back > i) {
              make(back, slots_[back].Item);
              slots_[back].State.store(kReady, std::memory_order_relaxed);
              --back;
            } else {
              WaitStep(steps);
            }
          }
        }
        use(i, d.Item);
      }
    });
    if (helperFailure) std::rethrow_exception(helperFailure);
  }

 private:
  enum : int { kFree, kClaimed, kReady };
  // Each on cache lines of its own: the two threads write them side by side.
  struct alignas(64) TSlot {
    TItem Item;
    std::atomic<int> State{kFree};
    TSlot() = default;
    TSlot(TSlot&& o) noexcept : Item(std::move(o.Item)) {}
  };
  // An item is made by whichever thread claims it first.
  bool Claim(int i) {
    int expected = kFree;
    return slots_[i].State.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire);
  }
  std::vector<TSlot> slots_;
};
