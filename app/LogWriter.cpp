// The line's fixed-width fields in the user's formats, and an append that
// cuts a half-written line back out of the file.
#include "app/LogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "app/Reading.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"

std::string FormatLogLine(double now, const std::vector<double>& temperatures) {
  const TFormatSettings& fs = FormatSettings();
  const TDateTimeParts parts = DecodeDateTime(now);
  char ms[8];
  std::snprintf(ms, sizeof ms, "%03d", parts.MSec);
  std::string line = FormatDateTime(fs.ShortDateFormat, now, fs) + " " +
                     FormatDateTime(fs.LongTimeFormat, now, fs) + fs.DecimalSeparator + ms + " ";
  for (double t : temperatures) {
    if (std::isnan(t) || t >= NoValueThreshold)
      line += "  N/A  ";
    else
      line += " " + FormatFixedWidth(t, 7, 2, fs);
  }
  line += "\r\n";
  return line;
}

bool AppendWhole(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  const off_t oldSize = st.st_size;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (done > 0 && ::ftruncate(fd, oldSize) != 0) {
        // Nothing more can be done; the caller reports the file.
      }
      ::close(fd);
      return false;
    }
    done += size_t(n);
  }
  return ::close(fd) == 0;
}
