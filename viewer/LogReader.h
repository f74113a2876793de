#pragma once
// Reading log files: a look at the head and tail of each file (format,
// first and last time), then the body in pieces on worker threads. The
// caller takes the results in file order, on its own thread, whenever it
// likes; the reader never waits for it. Files are read, never mapped, so
// their bytes do not count as this process's memory.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "viewer/LogData.h"

namespace qxview {

// Lines starting in [start, end) of an open file, reading on up to `limit`
// for the last of them. With atLine false, start may fall inside a line,
// which then belongs to the piece before. A file ending inside a line marks
// the piece incomplete; that line is left for a later read.
TPiece ParseRange(int fd, int file, int64_t start, int64_t end, int64_t limit, const TLogFormat& f,
                  bool atLine, const TDateCache& cache, const std::atomic<bool>* cancel = nullptr,
                  std::atomic<int64_t>* progress = nullptr, std::string* error = nullptr);

struct TFileHead {
  std::string Path;
  std::string Error;  // empty when the file could be read
  int64_t Size = 0;
  TDetection Detection;
  TLogFormat Format;
  bool HasTimes = false;
  double FirstTime = 0, LastTime = 0;  // first and last readable line
};
TFileHead ReadHead(const std::string& path, const TFormatChoice& choice);

class TLoadJob {
 public:
  TLoadJob(std::vector<std::string> paths, TFormatChoice choice, int threads = 0);
  ~TLoadJob();
  TLoadJob(const TLoadJob&) = delete;
  TLoadJob& operator=(const TLoadJob&) = delete;

  // Stops the workers soon (they look between buffers of a megabyte).
  void Cancel();
  // The files in time order, once their heads are read; false before.
  bool TakeHeads(std::vector<TFileHead>& heads);
  // The next piece in order, if it is ready. File indexes refer to the
  // order of TakeHeads.
  bool TakePiece(TPiece& piece);
  // Everything read and taken (or cancelled).
  bool Finished();
  // Errors met while reading (file, text).
  std::vector<TNote> TakeErrors();
  int64_t TotalBytes() const { return total_.load(); }
  int64_t DoneBytes() const { return done_.load(); }

  static constexpr int64_t PieceBytes = 4 << 20;

 private:
  void Run();
  void Work();

  struct TPieceJob {
    int File;
    int64_t Start, End, Limit;
  };
  std::vector<std::string> paths_;
  TFormatChoice choice_;
  int threads_;
  std::atomic<bool> cancel_{false};
  std::atomic<int64_t> total_{0}, done_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool headsReady_ = false, headsTaken_ = false;
  std::vector<TFileHead> heads_;
  std::vector<int> fds_;
  std::vector<TPieceJob> jobs_;
  std::atomic<size_t> nextJob_{0};
  std::vector<TPiece> results_;
  std::vector<char> ready_;
  size_t taken_ = 0;
  bool planned_ = false;
  std::vector<TNote> errors_;
  std::thread coordinator_;
  std::vector<std::thread> workers_;
};

}  // namespace qxview
