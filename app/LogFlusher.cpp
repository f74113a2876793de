// The flush thread: one request pending at most, served at the lowest
// priority so that the measurement loop never waits for the disk.
#include "app/LogFlusher.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

TLogFlusher::TLogFlusher(std::function<int(int fd)> sync, std::chrono::milliseconds spacing)
    : sync_(sync ? std::move(sync) : [](int fd) { return ::fdatasync(fd); }), spacing_(spacing) {
  thread_ = std::thread([this] { Run(); });
}

TLogFlusher::~TLogFlusher() {
  Drain();
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TLogFlusher::Request(const std::string& path) {
  {
    std::unique_lock<std::mutex> lock(m_);
    // A pending flush of another file is served first, so none is dropped.
    if (pending_ && path_ != path) {
      urgent_ = true;
      wake_.notify_one();
    }
    done_.wait(lock, [&] { return !pending_ || path_ == path; });
    // A request already pending covers this line too: the flush thread,
    // sitting out the spacing, need not wake for it.
    if (pending_) return;
    path_ = path;
    pending_ = true;
  }
  wake_.notify_one();
}

void TLogFlusher::Drain() {
  std::unique_lock<std::mutex> lock(m_);
  if (pending_) {
    urgent_ = true;
    wake_.notify_one();
  }
  done_.wait(lock, [&] { return !pending_ && !busy_; });
}

bool TLogFlusher::TakeFailure(int& err) {
  std::lock_guard<std::mutex> lock(m_);
  if (!failed_) return false;
  failed_ = false;
  err = err_;
  return true;
}

void TLogFlusher::Run() {
  // Waking this thread must not take the processor from the measurement
  // loop that asked: it runs only when a processor has nothing else to do,
  // which between two readings is nearly all the time.
  sched_param idle{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
  std::unique_lock<std::mutex> lock(m_);
  std::chrono::steady_clock::time_point last{};  // start of the last flush
  bool flushed = false;
  for (;;) {
    wake_.wait(lock, [&] { return pending_ || stop_; });
    if (!pending_) return;  // stopping with nothing left
    // Lines that come in a stream share one flush per spacing: a disk flush
    // per line would cost more than everything else the loop does. A line
    // after a quiet spell, a drain and a stop are flushed at once.
    if (flushed) wake_.wait_until(lock, last + spacing_, [&] { return urgent_ || stop_; });
    urgent_ = false;
    last = std::chrono::steady_clock::now();
    flushed = true;
    const std::string path = path_;
    pending_ = false;
    busy_ = true;
    done_.notify_all();  // a request for another file may go ahead
    lock.unlock();
    int err = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      // A file removed meanwhile took its lines with it; nothing to flush.
      if (errno != ENOENT) err = errno;
    } else {
      // A file system that cannot flush (EINVAL, EROFS) has nothing to lose.
      if (sync_(fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
      if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    }
    lock.lock();
    busy_ = false;
    if (err != 0) {
      failed_ = true;
      err_ = err;
    }
    done_.notify_all();
  }
}
