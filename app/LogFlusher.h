#pragma once
// Brings appended log lines from the system's file cache onto the disk on a
// helper thread: each line is already whole in the file, so only the wait for
// the disk (a millisecond or more on some machines) leaves the measurement loop.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TLogFlusher {
 public:
  static constexpr std::chrono::milliseconds kSpacing{1000};

  // sync: flushes an open descriptor to the disk, returning 0 or -1 with
  // errno set (fdatasync by default; tests inject failures).
  // spacing: the least time from one flush to the next while lines stream
  // in; so a power cut loses at most that much of the log.
  explicit TLogFlusher(std::function<int(int fd)> sync = nullptr,
                       std::chrono::milliseconds spacing = kSpacing);
  ~TLogFlusher();  // waits for what was asked
  TLogFlusher(const TLogFlusher&) = delete;
  TLogFlusher& operator=(const TLogFlusher&) = delete;

  // Asks for path to be flushed; requests made while a flush runs, or
  // within the spacing after it began, are served by one more flush.
  void Request(const std::string& path);
  // Waits until every request made so far has been served.
  void Drain();
  // True (once) when a flush failed since the last call; errno of it in err.
  bool TakeFailure(int& err);

 private:
  void Run();

  std::function<int(int)> sync_;
  std::mutex m_;
  std::condition_variable wake_, done_;
  std::string path_;      // the file of the pending request
  bool pending_ = false;  // a request waits
  bool busy_ = false;     // a flush runs
  bool stop_ = false;
  bool urgent_ = false;  // the pending request is waited for: no spacing
  std::chrono::milliseconds spacing_;
  bool failed_ = false;
  int err_ = 0;
  std::thread thread_;
};
