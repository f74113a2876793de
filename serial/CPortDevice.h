#pragma once
// The narrow platform interface under the port component: one open serial
// device. The component keeps all the logic (notifications, error codes,
// update nesting, event dispatch); a device only does what the operating
// system offers. Every operation returns 0 or an errno value.
#include <cstdint>
#include <memory>
#include <string>

// Line settings as one record, in the terms the component's settings are
// written in: rates as numbers, control modes as small integers.
struct TComDCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = 0;  // 0 disable, 1 enable, 2 handshake
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  uint8_t fRtsControl = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  bool fAbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;  // 5..8
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  bool operator==(const TComDCB& o) const;
};

// Timeouts as 32-bit patterns (all ones = "infinite"/"return at once").
struct TComTimeoutValues {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Line-error bits (as ClearCommError reports them).
enum : uint32_t {
  CE_RXOVER = 0x0001,
  CE_OVERRUN = 0x0002,
  CE_RXPARITY = 0x0004,
  CE_FRAME = 0x0008,
  CE_BREAK = 0x0010,
  CE_TXFULL = 0x0100,
  CE_IOE = 0x0400,
  CE_MODE = 0x8000
};
// Modem-status bits.
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Results of WaitEvent.
enum : uint32_t {
  wfInput = 1,        // bytes can be read
  wfGone = 2,         // the device vanished (hang-up, error)
  wfInterrupted = 4,  // Interrupt() was called
  wfTimeout = 8
};

class TComDevice {
 public:
  virtual ~TComDevice() = default;
  virtual int Open(const std::string& port) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual int SetupComm(int inputSize, int outputSize) = 0;
  virtual int SetCommState(const TComDCB& dcb) = 0;
  virtual int SetCommTimeouts(const TComTimeoutValues& t) = 0;
  // Never waits. got < count means nothing more is queued; a vanished
  // device is an error (EIO, ENXIO, ENODEV), never a zero-byte success.
  virtual int Read(char* buf, int count, int& got) = 0;
  // Writes all bytes, waiting for room; gives up after timeoutMs (< 0: no
  // limit) or an AbortIo(), with written telling how far it came.
  virtual int Write(const char* buf, int count, int& written, int timeoutMs) = 0;
  // Ends a Write that is waiting for room, from any thread.
  virtual void AbortIo() = 0;
  // Discard queued input and/or output.
  virtual int Purge(bool input, bool output) = 0;
  virtual int InputCount(int& count) = 0;
  virtual int OutputCount(int& count) = 0;
  // Line errors since the last call (CE_ bits); clears them.
  virtual int LineErrors(uint32_t& errors) = 0;
  // Line errors and breaks seen since the last call of this one, without
  // clearing what LineErrors reports; for the event thread.
  virtual int PollLineEvents(uint32_t& errors) = 0;
  // Modem lines (MS_ bits); lines the device cannot report read as off.
  virtual int ModemStatus(uint32_t& status) = 0;
  // Waits up to timeoutMs (< 0: no limit) for input (when wantInput), a
  // vanished device or Interrupt(). The event thread's wait.
  virtual int WaitEvent(int timeoutMs, bool wantInput, uint32_t& flags) = 0;
  // Waits up to timeoutMs for input or a vanished device; never consumes an
  // Interrupt(). For reads that wait under their timeouts.
  virtual int WaitInput(int timeoutMs) = 0;
  // Wakes a WaitEvent from another thread (the wake is kept until then).
  virtual void Interrupt() = 0;
};

// The termios device (CPortPosix.cpp).
std::unique_ptr<TComDevice> CreatePosixComDevice();
// The file a port name stands for: "COMn" is /dev/ttyS(n-1), a bare name is
// under /dev, a path is used as given.
std::string PortDevicePath(const std::string& port);
