// The drawing helper thread: its start, its sleep and wake-up, and the
// hand-over of one job at a time from the GUI thread.
#include "diagram/plot/sgr_thread.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <system_error>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

namespace {
// Processors this process may run on: a helper confined to the same one as
// the GUI thread would only take turns with it.
int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  return static_cast<int>(std::thread::hardware_concurrency());
}
}  // namespace

void WaitStep(int& steps) {
  if (steps < 4000) {
    ++steps;
    CpuRelax();
  } else {
    std::this_thread::yield();
  }
}

Tsp_DrawHelper* Tsp_DrawHelper::Get() {
  static const std::unique_ptr<Tsp_DrawHelper> helper = [] {
    std::unique_ptr<Tsp_DrawHelper> h;
    if (UsableProcessors() < 2) return h;
    h.reset(new Tsp_DrawHelper());
    if (!h->Start()) h.reset();
    return h;
  }();
  return helper.get();
}

bool Tsp_DrawHelper::Start() {
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

Tsp_DrawHelper::~Tsp_DrawHelper() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

namespace {
using Clock = std::chrono::steady_clock;
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}
// How long the helper watches for the next job before it sleeps; a Run
// further than the longest watch from the last one does without the helper.
constexpr int64_t kWatchMinNs = 50'000, kWatchMaxNs = 1'000'000;
}  // namespace

bool Tsp_DrawHelper::CloseToLast(int64_t nowNs) const {
  return everyRun_ || (lastEndNs_ > 0 && nowNs - lastEndNs_ <= kWatchMaxNs);
}

void Tsp_DrawHelper::Prepare() {
  if (!CloseToLast(NowNs())) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sleeping_) return;
  prepared_ = true;
  wake_.notify_one();
}

void Tsp_DrawHelper::Run(const std::function<void(bool)>& job) {
  // Repaints close together (readings arriving fast) keep the helper
  // watching from one to the next, as long as twice the last pause between
  // them; after a long pause it sleeps soon, and Prepare wakes it.
  const int64_t start = NowNs();
  if (!CloseToLast(start)) {
    // The job is complete after this call alone. The end is noted even on
    // a failure, so the pace of the runs is known.
    struct TNoteEnd {
      int64_t& end;
      ~TNoteEnd() { end = NowNs(); }
    } note{lastEndNs_};
    job(false);
    return;
  }
  if (lastEndNs_ > 0) {
    const int64_t pause = start - lastEndNs_;
    watchNs_.store(
        pause > kWatchMaxNs ? kWatchMinNs : std::min(std::max(2 * pause, kWatchMinNs), kWatchMaxNs),
        std::memory_order_relaxed);
  }
  job_ = &job;
  state_.store(kPosted, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sleeping_) wake_.notify_one();
  }
  // The helper may be using the job (and what it refers to) until it is
  // done, so a failure here waits for it before it goes on.
  std::exception_ptr failure;
  try {
    job(false);
  } catch (...) {
    failure = std::current_exception();
  }
  // Withdraw the job if the helper has not taken it; else wait for its call.
  int expected = kPosted;
  if (!state_.compare_exchange_strong(expected, kIdle, std::memory_order_acq_rel)) {
    for (int steps = 0; state_.load(std::memory_order_acquire) != kDone;) WaitStep(steps);
    state_.store(kIdle, std::memory_order_relaxed);
  }
  job_ = nullptr;
  lastEndNs_ = NowNs();
  if (failure) std::rethrow_exception(failure);
}

void Tsp_DrawHelper::Loop() {
  // Waking a sleeping thread takes longer than many a job, so the helper
  // watches for the next one for a while before it sleeps.
  for (;;) {
    int64_t until = NowNs() + watchNs_.load(std::memory_order_relaxed);
    int spins = 0;
    while (state_.load(std::memory_order_acquire) != kPosted) {
      CpuRelax();
      if (++spins % 64 != 0 || NowNs() < until) continue;
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_ = true;
      wake_.wait(lock, [this] {
        return stop_ || prepared_ || state_.load(std::memory_order_acquire) == kPosted;
      });
      sleeping_ = prepared_ = false;
      if (stop_) return;
      until = NowNs() + watchNs_.load(std::memory_order_relaxed);
    }
    int expected = kPosted;
    if (!state_.compare_exchange_strong(expected, kTaken, std::memory_order_acq_rel)) continue;
    try {
      (*job_)(true);
    } catch (...) {
      // Jobs pass their own failures back; this only keeps the thread.
    }
    state_.store(kDone, std::memory_order_release);
  }
}
