// The line's fixed-width fields in the user's formats, and an append that
// cuts a half-written line back out of the file.
#include "app/LogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "app/Reading.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"

namespace {

// The date and the time to the second, formatted once a second: a line is
// written with every reading, and the user's patterns are slow to apply.
// Patterns showing milliseconds are formatted every time.
const std::string& DateAndTime(double now, const TDateTimeParts& parts, const TFormatSettings& fs) {
  struct TCache {
    bool Valid = false;
    TDateTimeParts Parts;
    TFormatSettings Settings;
    std::string Text;
  };
  thread_local TCache cache;
  const TDateTimeParts& c = cache.Parts;
  if (cache.Valid && parts.Second == c.Second && parts.Minute == c.Minute && parts.Hour == c.Hour &&
      parts.Day == c.Day && parts.Month == c.Month && parts.Year == c.Year && fs == cache.Settings)
    return cache.Text;
  cache.Text = FormatDateTime(fs.ShortDateFormat, now, fs) + " " +
               FormatDateTime(fs.LongTimeFormat, now, fs);
  const auto showsMs = [](const std::string& f) {
    return f.find_first_of("zZ") != std::string::npos;
  };
  cache.Valid = !showsMs(fs.ShortDateFormat) && !showsMs(fs.LongTimeFormat);
  cache.Parts = parts;
  cache.Settings = fs;
  return cache.Text;
}

}  // namespace

std::string FormatLogLine(double now, const std::vector<double>& temperatures) {
  const TFormatSettings& fs = FormatSettings();
  const TDateTimeParts parts = DecodeDateTime(now);
  char ms[8];
  std::snprintf(ms, sizeof ms, "%03d", parts.MSec);
  std::string line;
  line.reserve(32 + 8 * temperatures.size());
  line += DateAndTime(now, parts, fs);
  line += fs.DecimalSeparator;
  line += ms;
  line += ' ';
  for (double t : temperatures) {
    if (std::isnan(t) || t >= NoValueThreshold) {
      line += "  N/A  ";
    } else {
      line += ' ';
      line += FormatFixedWidth(t, 7, 2, fs);
    }
  }
  line += "\r\n";
  return line;
}

namespace {

// All of `data` to the end of open file fd; where a write fails part way the
// file is cut back to its size before: the part written sits at the end, so
// the old size is the size now less that part.
bool WriteWhole(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      struct stat st;
      if (done > 0 && ::fstat(fd, &st) == 0 && st.st_size >= off_t(done) &&
          ::ftruncate(fd, st.st_size - off_t(done)) != 0) {
        // Nothing more can be done; the caller reports the file.
      }
      return false;
    }
    done += size_t(n);
  }
  return true;
}

int OpenForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

}  // namespace

bool AppendWhole(const std::string& path, const std::string& data) {
  const int fd = OpenForAppend(path);
  if (fd < 0) return false;
  const bool ok = WriteWhole(fd, data);
  return ::close(fd) == 0 && ok;
}

TLogAppender::~TLogAppender() {
  Close();
}

void TLogAppender::Close() {
  if (watch_ >= 0) ::close(watch_);
  if (fd_ >= 0) ::close(fd_);
  watch_ = fd_ = -1;
  path_.clear();
  unwatched_.clear();
}

bool TLogAppender::Append(const std::string& path, const std::string& data) {
  if (path == unwatched_) return AppendWhole(path, data);
  if (fd_ < 0 || path != path_ || !StillTheFile()) {
    Close();
    bool watchable = true;
    if (!Reopen(path, watchable)) {
      if (!watchable) unwatched_ = path;
      return AppendWhole(path, data);
    }
  }
  if (WriteWhole(fd_, data)) return true;
  Close();
  return false;
}

bool TLogAppender::Reopen(const std::string& path, bool& watchable) {
#ifdef __linux__
  // The directory is watched for the name, the file for itself: a rename
  // of either, a removal, a file moved or created in its place, a change of
  // its permissions (which a fresh open would have met).
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return false;
  const int fd = OpenForAppend(path);
  // A failed open is met again by the line's own open, and reported.
  if (fd < 0) return false;
  struct statfs fs;
  // Changes made on another machine are not reported for these.
  const bool remote = ::fstatfs(fd, &fs) != 0 || fs.f_type == NFS_SUPER_MAGIC ||
                      fs.f_type == SMB_SUPER_MAGIC || fs.f_type == 0xFF534D42 /* CIFS */ ||
                      fs.f_type == 0xFE534D42 /* SMB2 */ || fs.f_type == FUSE_SUPER_MAGIC ||
                      fs.f_type == 0x6B414653 /* AFS */ || fs.f_type == CODA_SUPER_MAGIC;
  const int watch = remote ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 ||
      ::inotify_add_watch(watch, path.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0 ||
      ::inotify_add_watch(watch, dir.c_str(),
                          IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVE_SELF |
                              IN_DELETE_SELF | IN_ONLYDIR) < 0) {
    if (watch >= 0) ::close(watch);
    ::close(fd);
    watchable = false;
    return false;
  }
  // The name may have changed hands between the open and the watch.
  struct stat a, b;
  if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino) {
    ::close(watch);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  watch_ = watch;
  path_ = path;
  name_ = name;
  return true;
#else
  (void)path;
  watchable = false;
  return false;
#endif
}

bool TLogAppender::StillTheFile() {
#ifdef __linux__
  // Events on the directory for other names leave the file as it is.
  alignas(inotify_event) char buf[4096];
  bool same = true;
  for (;;) {
    const ssize_t n = ::read(watch_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return same && errno == EAGAIN;
    if (n == 0) return false;
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      // Events of the file itself and of the directory itself carry no
      // name; those of entries in the directory name the entry.
      if (ev->len == 0 || name_ == ev->name || (ev->mask & IN_Q_OVERFLOW)) same = false;
      off += ssize_t(sizeof(inotify_event) + ev->len);
    }
  }
#else
  return false;
#endif
}
