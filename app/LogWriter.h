#pragma once
// The log file's line and its append, shared by the desktop program and the
// headless station so that both write the same bytes. No Qt: the station
// links only the port's and the log's code.
#include <string>
#include <vector>

// One log line at date-time `now` in the user's regional formats, CR LF
// included. A temperature at or above the no-value threshold, or NaN (a
// channel that has no current reading), is written as not available.
std::string FormatLogLine(double now, const std::vector<double>& temperatures);

// Appends all of `data` to the file at `path` or, where a write fails part
// way, cuts the file back to its old size: a line is in the file whole or not
// at all. False on any failure.
bool AppendWhole(const std::string& path, const std::string& data);

// Appends whole lines as AppendWhole does, but keeps the file open from one
// line to the next: opening and closing it for every line cost the loop more
// than writing it. The file is let go, so that the next line opens the path
// afresh (creating it where it is gone), as soon as the file or its name may
// no longer be the one the path names: the file renamed, removed or its
// permissions changed, its directory renamed or removed, another file put in
// its place, or lines asked for another path. Where such changes cannot be
// watched (no inotify, a network file system) every line opens the path.
class TLogAppender {
 public:
  TLogAppender() = default;
  ~TLogAppender();
  TLogAppender(const TLogAppender&) = delete;
  TLogAppender& operator=(const TLogAppender&) = delete;

  bool Append(const std::string& path, const std::string& data);
  // Lets the file go (logging stopped).
  void Close();
  bool Open() const { return fd_ >= 0; }

 private:
  bool Reopen(const std::string& path, bool& watchable);
  bool StillTheFile();
  int fd_ = -1;
  int watch_ = -1;  // inotify descriptor while fd_ is held
  std::string path_;
  std::string name_;       // the file's name within its directory
  std::string unwatched_;  // a path whose changes cannot be watched
};
