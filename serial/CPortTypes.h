#pragma once
// The vocabulary of the serial port: setting enumerations, small sets over
// them, the component's exception with its error codes, and the handler and
// notification-link types shared by the component and its widgets.
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

class TCustomComPort;

// ---------------------------------------------------------------------------
// Enumerations. Names and order are also the settings vocabulary of the
// configuration file, so they never change.

enum TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TComEvent {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TComSignal { csCTS, csDSR, csRing, csRLSD };
enum TStoredProp { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
enum TSettingsStore { ssRegistry, ssIniFile };

// A small set over an enumeration, bit n = ordinal n.
template <class E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  static constexpr TEnumSet FromBits(uint32_t bits) {
    TEnumSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  void Include(E e) { bits_ |= Bit(e); }
  void Exclude(E e) { bits_ &= ~Bit(e); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TEnumSet& o) const { return bits_ == o.bits_; }
  constexpr bool operator!=(const TEnumSet& o) const { return bits_ != o.bits_; }

 private:
  static constexpr uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
  uint32_t bits_ = 0;
};

using TComEvents = TEnumSet<TComEvent>;
using TComErrors = TEnumSet<TComError>;
using TComSignals = TEnumSet<TComSignal>;
using TStoredProps = TEnumSet<TStoredProp>;

constexpr TComEvents AllComEvents() {
  return TComEvents::FromBits(0x3FF);
}

// The rate a TBaudRate stands for (0 for brCustom).
int BaudRateValue(TBaudRate br);
// The platform event mask bit of an event (evRxFlag -> 0x0002).
uint32_t EventToMask(TComEvent ev);

// ---------------------------------------------------------------------------
// EComPort: every failure of the component. The message is the text of the
// code, followed by the platform error number when there is one.

class EComPort : public std::runtime_error {
 public:
  explicit EComPort(int code, int systemError = -1, const std::string& detail = std::string());
  int ErrorCode() const { return errorCode_; }
  int SystemErrorCode() const { return systemErrorCode_; }
  static std::string CodeText(int code);

 private:
  int errorCode_;
  int systemErrorCode_;
};

// Error codes, by name.
enum {
  CError_OpenFailed = 1,
  CError_WriteFailed = 2,
  CError_ReadFailed = 3,
  CError_InvalidAsync = 4,
  CError_PurgeFailed = 5,
  CError_AsyncCheck = 6,
  CError_SetStateFailed = 7,
  CError_TimeoutsFailed = 8,
  CError_SetupComFailed = 9,
  CError_ClearComFailed = 10,
  CError_ModemStatFailed = 11,
  CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13,
  CError_SyncMeth = 14,
  CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16,
  CError_LoadFailed = 17,
  CError_RegFailed = 18,
  CError_LedStateFailed = 19,
  CError_ThreadCreated = 20,
  CError_WaitFailed = 21,
  CError_HasLink = 22
};

// The application's display of an error that no handler caught (an event
// handler that raised, an open on finished loading). Prints to stderr until
// the program installs its message box.
void SetApplicationErrorHandler(std::function<void(const std::exception&)> handler);
void ApplicationShowException(const std::exception& e);

// ---------------------------------------------------------------------------
// Handler types. The component passes itself as the sender.

using TComNotifyEvent = std::function<void(TCustomComPort* sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* sender, int count)>;
using TRxBufEvent = std::function<void(TCustomComPort* sender, const char* buffer, int count)>;
using TComSignalEvent = std::function<void(TCustomComPort* sender, bool on)>;
using TComErrorEvent = std::function<void(TCustomComPort* sender, TComErrors errors)>;

// A notification link: another component's handlers, called before the
// port's own. Not owned by the port.
class TComLink {
 public:
  TComSignalEvent OnConn;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxBuf;
  TComNotifyEvent OnTxEmpty;
  TComNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TComNotifyEvent OnRing;
  TComSignalEvent OnTx;
  TComSignalEvent OnRx;
};
