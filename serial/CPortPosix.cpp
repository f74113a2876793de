// The termios device under the port component: a raw, exclusive line while
// it is open, the terminal settings it found put back when it is closed.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "serial/CPortDevice.h"

int QxSetCustomBaud(int fd, int rate);  // CPortBaud.cpp

bool TComDCB::operator==(const TComDCB& o) const {
  return DCBlength == o.DCBlength && BaudRate == o.BaudRate && fBinary == o.fBinary &&
         fParity == o.fParity && fOutxCtsFlow == o.fOutxCtsFlow && fOutxDsrFlow == o.fOutxDsrFlow &&
         fDtrControl == o.fDtrControl && fDsrSensitivity == o.fDsrSensitivity &&
         fTXContinueOnXoff == o.fTXContinueOnXoff && fOutX == o.fOutX && fInX == o.fInX &&
         fErrorChar == o.fErrorChar && fNull == o.fNull && fRtsControl == o.fRtsControl &&
         fAbortOnError == o.fAbortOnError && XonLim == o.XonLim && XoffLim == o.XoffLim &&
         ByteSize == o.ByteSize && Parity == o.Parity && StopBits == o.StopBits &&
         XonChar == o.XonChar && XoffChar == o.XoffChar && ErrorChar == o.ErrorChar &&
         EofChar == o.EofChar && EvtChar == o.EvtChar;
}

std::string PortDevicePath(const std::string& port) {
  if (port.find('/') != std::string::npos) return port;
  if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
      (port[2] == 'M' || port[2] == 'm')) {
    bool digits = port.size() <= 6;
    for (size_t i = 3; i < port.size() && digits; ++i)
      digits = std::isdigit(static_cast<unsigned char>(port[i])) != 0;
    if (digits) {
      int n = std::stoi(port.substr(3));
      if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  return "/dev/" + port;
}

namespace {

// An ioctl the device does not have (a pseudo-terminal has no modem lines
// or error counters) is not a failure of the port.
bool Unsupported(int e) {
  return e == ENOTTY || e == EINVAL || e == EOPNOTSUPP;
}

speed_t StandardSpeed(uint32_t rate) {
  switch (rate) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

// A write waiting for room looks at its abort and time limit this often.
constexpr int kWriteSliceMs = 50;

class TPosixComDevice : public TComDevice {
 public:
  TPosixComDevice() {
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  }
  ~TPosixComDevice() override {
    Close();
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
  }

  int Open(const std::string& port) override {
    if (fd_ >= 0) return EBUSY;
    const std::string path = PortDevicePath(port);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    if (!isatty(fd)) {
      ::close(fd);
      return ENOTTY;
    }
    // No sharing: another process that opens the same port is refused.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = (errno == EWOULDBLOCK) ? EBUSY : errno;
      ::close(fd);
      return e;
    }
    ioctl(fd, TIOCEXCL);
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
      int e = errno;
      ::close(fd);
      return e;
    }
    // Put back at close, so a console or another program finds the line as
    // it left it.
    found_ = t;
    cfmakeraw(&t);
    // CLOCAL: a carrier drop must not hang the line up under us.
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~HUPCL;
    // VMIN 1 with O_NONBLOCK: no data reads as EAGAIN, so a zero-byte read
    // can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
      int e = errno;
      ::close(fd);
      return e;
    }
    fd_ = fd;
    mark_ = 0;
    markLine_ = markPoll_ = 0;
    ReadCounters(lineBase_);
    pollBase_ = lineBase_;
    // A wake meant for an earlier session must not end the next one's wait.
    DrainWake();
    return 0;
  }

  void Close() override {
    if (fd_ < 0) return;
    // A vanished device refuses this; there is nothing left to restore then.
    tcsetattr(fd_, TCSANOW, &found_);
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  int SetupComm(int, int) override {
    // The kernel's queues have fixed sizes; nothing to set.
    return fd_ >= 0 ? 0 : EBADF;
  }

  int SetCommState(const TComDCB& d) override {
    if (fd_ < 0) return EBADF;
    if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2 || d.BaudRate == 0)
      return EINVAL;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return EINVAL;
    struct termios t;
    if (tcgetattr(fd_, &t) != 0) return errno;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    if (d.fOutX) t.c_iflag |= IXON;
    if (d.fInX) t.c_iflag |= IXOFF;
    if (d.fParity) {
      t.c_iflag |= INPCK;
      // Marked errors are replaced by the error character in Read.
      if (d.fErrorChar) t.c_iflag |= PARMRK;
    }
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[d.ByteSize - 5];
    if (d.StopBits != 0) t.c_cflag |= CSTOPB;  // with five data bits the UART sends 1.5
    switch (d.Parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (d.fOutxCtsFlow || d.fRtsControl == 2) t.c_cflag |= CRTSCTS;
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t sp = StandardSpeed(d.BaudRate);
    bool custom = (sp == B0);
    if (custom) sp = B38400;
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return errno;
    if (custom) {
      int e = QxSetCustomBaud(fd_, static_cast<int>(d.BaudRate));
      if (e != 0) return e;
    }
    int e = SetLine(TIOCM_DTR, d.fDtrControl != 0);
    if (e == 0 && d.fRtsControl != 2) e = SetLine(TIOCM_RTS, d.fRtsControl == 1);
    if (e != 0) return e;
    dcb_ = d;
    if (!(d.fParity && d.fErrorChar)) mark_ = 0;
    return 0;
  }

  int SetCommTimeouts(const TComTimeoutValues&) override {
    // Read and write timeouts are measured by the component; the device
    // itself never blocks.
    return fd_ >= 0 ? 0 : EBADF;
  }

  int Read(char* buf, int count, int& got) override {
    got = 0;
    if (fd_ < 0) return EBADF;
    if (count <= 0) return 0;
    // A reply fits the stack; a large read gets room of its own.
    char small[512];
    std::vector<char> large;
    if (count > static_cast<int>(sizeof small)) large.resize(static_cast<size_t>(count));
    char* raw = large.empty() ? small : large.data();
    for (;;) {
      const size_t asked = static_cast<size_t>(count - got);
      ssize_t n = ::read(fd_, raw, asked);
      if (n == 0) return EIO;  // hang-up: the device is gone
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return errno;
      }
      for (ssize_t i = 0; i < n; ++i) Accept(raw[i], buf, got);
      // On until the buffer is full or the device has no more: discarded
      // nulls or error marks may have eaten part of the chunk.
      if (got >= count || n < static_cast<ssize_t>(asked)) return 0;
    }
  }

  int Write(const char* buf, int count, int& written, int timeoutMs) override {
    written = 0;
    if (fd_ < 0) return EBADF;
    const int gen = abortGen_.load();
    const bool toggle = dcb_.fRtsControl == 3;
    if (toggle) SetLine(TIOCM_RTS, true);
    auto start = std::chrono::steady_clock::now();
    int result = 0;
    while (written < count) {
      ssize_t n = ::write(fd_, buf + written, static_cast<size_t>(count - written));
      if (n > 0) {
        written += static_cast<int>(n);
        continue;
      }
      if (n == 0) {
        result = EIO;
        break;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        result = errno;
        break;
      }
      if (abortGen_.load() != gen) {
        result = ECANCELED;
        break;
      }
      int slice = kWriteSliceMs;
      if (timeoutMs >= 0) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
        if (spent >= timeoutMs) break;  // timed out: a short write, not an error
        slice = static_cast<int>(std::min<long long>(slice, timeoutMs - spent));
      }
      struct pollfd p = {fd_, POLLOUT, 0};
      int r = ::poll(&p, 1, slice);
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        result = EIO;
        break;
      }
    }
    if (toggle) {
      tcdrain(fd_);
      SetLine(TIOCM_RTS, false);
    }
    return result;
  }

  void AbortIo() override { abortGen_.fetch_add(1); }

  int Purge(bool input, bool output) override {
    if (fd_ < 0) return EBADF;
    if (!input && !output) return 0;
    int q = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    if (tcflush(fd_, q) != 0) return errno;
    if (input) mark_ = 0;
    return 0;
  }

  int InputCount(int& count) override { return Queue(TIOCINQ, count); }
  int OutputCount(int& count) override { return Queue(TIOCOUTQ, count); }

  // The error query and the event thread each keep their own counter base,
  // so one does not swallow what the other has yet to see.
  int LineErrors(uint32_t& errors) override { return TakeErrors(lineBase_, markLine_, errors); }
  int PollLineEvents(uint32_t& errors) override { return TakeErrors(pollBase_, markPoll_, errors); }

  int TakeErrors(struct serial_icounter_struct& base, uint32_t& mark, uint32_t& errors) {
    errors = 0;
    if (fd_ < 0) return EBADF;
    struct serial_icounter_struct now;
    int e = ReadCounters(now);
    if (e != 0) return e;
    errors = Diff(base, now) | mark;
    base = now;
    mark = 0;
    return 0;
  }

  int ModemStatus(uint32_t& status) override {
    status = 0;
    if (fd_ < 0) return EBADF;
    int bits = 0;
    if (ioctl(fd_, TIOCMGET, &bits) != 0) return Unsupported(errno) ? 0 : errno;
    if (bits & TIOCM_CTS) status |= MS_CTS_ON;
    if (bits & TIOCM_DSR) status |= MS_DSR_ON;
    if (bits & TIOCM_RNG) status |= MS_RING_ON;
    if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
    return 0;
  }

  int WaitEvent(int timeoutMs, bool wantInput, uint32_t& flags) override {
    flags = 0;
    if (fd_ < 0) return EBADF;
    struct pollfd p[2] = {{fd_, static_cast<short>(wantInput ? POLLIN : 0), 0},
                          {wake_[0], POLLIN, 0}};
    int r;
    do {
      r = ::poll(p, 2, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    if (r == 0) flags |= wfTimeout;
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) flags |= wfGone;
    if (p[0].revents & POLLIN) flags |= wfInput;
    if (p[1].revents & POLLIN) {
      DrainWake();
      flags |= wfInterrupted;
    }
    return 0;
  }

  int WaitInput(int timeoutMs) override {
    if (fd_ < 0) return EBADF;
    struct pollfd p = {fd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) return errno;
    return 0;
  }

  void Interrupt() override {
    if (wake_[1] < 0) return;
    char c = 1;
    ssize_t n = ::write(wake_[1], &c, 1);
    (void)n;  // a full pipe is already a pending wake
  }

 private:
  int SetLine(int line, bool on) {
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0 && !Unsupported(errno)) return errno;
    return 0;
  }

  int Queue(unsigned long req, int& count) {
    count = 0;
    if (fd_ < 0) return EBADF;
    int n = 0;
    if (ioctl(fd_, req, &n) != 0) return Unsupported(errno) ? 0 : errno;
    count = n;
    return 0;
  }

  int ReadCounters(struct serial_icounter_struct& c) {
    std::memset(&c, 0, sizeof c);
    if (fd_ >= 0 && ioctl(fd_, TIOCGICOUNT, &c) != 0) {
      std::memset(&c, 0, sizeof c);
      if (!Unsupported(errno)) return errno;
    }
    return 0;
  }

  static uint32_t Diff(const serial_icounter_struct& a, const serial_icounter_struct& b) {
    uint32_t e = 0;
    if (b.frame != a.frame) e |= CE_FRAME;
    if (b.parity != a.parity) e |= CE_RXPARITY;
    if (b.overrun != a.overrun) e |= CE_OVERRUN;
    if (b.brk != a.brk) e |= CE_BREAK;
    if (b.buf_overrun != a.buf_overrun) e |= CE_RXOVER;
    return e;
  }

  // One received byte through the parity-mark decoder and the null filter.
  void Accept(char c, char* out, int& got) {
    const bool marking = dcb_.fParity && dcb_.fErrorChar;
    if (marking) {
      if (mark_ == 1) {
        mark_ = (c == 0) ? 2 : 0;
        if (c == 0) return;
        // "\377\377" is a real 0xFF
      } else if (mark_ == 2) {
        mark_ = 0;
        const uint32_t e = (c == 0) ? CE_BREAK : CE_RXPARITY;
        markLine_ |= e;
        markPoll_ |= e;
        c = dcb_.ErrorChar;
      } else if (static_cast<unsigned char>(c) == 0xFF) {
        mark_ = 1;
        return;
      }
    }
    if (dcb_.fNull && c == 0) return;
    out[got++] = c;
  }

  void DrainWake() {
    char b[64];
    while (wake_[0] >= 0 && ::read(wake_[0], b, sizeof b) > 0) {
    }
  }

  int fd_ = -1;
  struct termios found_ {};  // the line's settings when we opened it
  int wake_[2] = {-1, -1};
  TComDCB dcb_;
  std::atomic<int> abortGen_{0};
  int mark_ = 0;
  uint32_t markLine_ = 0;  // errors seen in marks, for LineErrors
  uint32_t markPoll_ = 0;  // the same, for PollLineEvents
  struct serial_icounter_struct lineBase_ {};
  struct serial_icounter_struct pollBase_ {};
};

}  // namespace

std::unique_ptr<TComDevice> CreatePosixComDevice() {
  return std::make_unique<TPosixComDevice>();
}
