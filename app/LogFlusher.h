#pragma once
// Brings appended log lines from the system's file cache onto the disk on a
// helper thread: each line is already whole in the file, so only the wait for
// the disk (a millisecond or more on some machines) leaves the measurement loop.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TLogFlusher {
 public:
  // sync: flushes an open descriptor to the disk, returning 0 or -1 with
  // errno set (fdatasync by default; tests inject failures).
  explicit TLogFlusher(std::function<int(int fd)> sync = nullptr);
  ~TLogFlusher();  // waits for what was asked
  TLogFlusher(const TLogFlusher&) = delete;
  TLogFlusher& operator=(const TLogFlusher&) = delete;

  // Asks for path to be flushed; requests made while a flush runs are
  // served by one more flush after it.
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
  bool failed_ = false;
  int err_ = 0;
  std::thread thread_;
};
