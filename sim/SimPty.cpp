// The simulator on a pseudo-terminal: opens the terminal pair, offers the
// slave under a stable link and serves the bus over the master side.
#include "sim/SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

TSimPtyServer::~TSimPtyServer() {
  Close();
}

bool TSimPtyServer::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (!name) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
    return false;
  }
  // Raw bytes both ways: no echo, no CR/LF translation, no line editing.
  termios tio{};
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B57600);
  cfsetospeed(&tio, B57600);
  tcsetattr(slave_, TCSANOW, &tio);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool TSimPtyServer::MakeLink(const std::string& link, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(slavePath_.c_str(), link.c_str()) != 0) {
    error = "cannot create link " + link + ": " + std::strerror(errno);
    return false;
  }
  link_ = link;
  return true;
}

namespace {
// The longest wait for the program's bytes, so a stop request is seen soon.
constexpr int kServeWaitMs = 100;
// While nobody has the terminal open, look again after this long.
constexpr useconds_t kNoPeerPauseUs = 10000;
}  // namespace

void TSimPtyServer::Serve(const volatile std::sig_atomic_t& stop) {
  char buf[4096];
  while (!stop) {
    int64_t wait = bus_.MsUntilReady();
    int timeout =
        wait < 0 ? kServeWaitMs : static_cast<int>(wait > kServeWaitMs ? kServeWaitMs : wait);
    pollfd p{master_, POLLIN, 0};
    const int r = poll(&p, 1, timeout);
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) bus_.WriteText(std::string(buf, static_cast<size_t>(n)));
    } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
      usleep(kNoPeerPauseUs);
    }
    std::string out;
    while (bus_.ReadText(out, 4096) > 0) {
      // With nobody reading, the terminal's queue fills; then the reply is
      // lost, as on a line with nothing attached.
      size_t done = 0;
      while (done < out.size()) {
        const ssize_t w = write(master_, out.data() + done, out.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
      }
    }
  }
}

void TSimPtyServer::Close() {
  if (!link_.empty()) {
    char target[PATH_MAX];
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    // Only remove the link while it is still ours.
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_) unlink(link_.c_str());
    link_.clear();
  }
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}
