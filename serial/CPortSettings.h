#pragma once
// The settings records a port owns (timeouts, buffer sizes, parity, flow
// control). A single field setter stores a changed value and has the port
// apply its group; Assign copies all fields and applies.
#include "serial/CPortDevice.h"
#include "serial/CPortTypes.h"

class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port) : port_(port) {}
  int ReadInterval() const { return readInterval_; }
  int ReadTotalMultiplier() const { return readTotalM_; }
  int ReadTotalConstant() const { return readTotalC_; }
  int WriteTotalMultiplier() const { return writeTotalM_; }
  int WriteTotalConstant() const { return writeTotalC_; }
  void SetReadInterval(int v);
  void SetReadTotalMultiplier(int v);
  void SetReadTotalConstant(int v);
  void SetWriteTotalMultiplier(int v);
  void SetWriteTotalConstant(int v);
  void Assign(const TComTimeouts& src);
  TComTimeoutValues Values() const;

 private:
  void Set(int& field, int v);
  TCustomComPort* port_;
  int readInterval_ = -1;
  int readTotalM_ = 0;
  int readTotalC_ = 0;
  int writeTotalM_ = 100;
  int writeTotalC_ = 1000;
};

class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port) : port_(port) {}
  int InputSize() const { return inputSize_; }
  int OutputSize() const { return outputSize_; }
  // An odd positive size is stored as the next lower even number.
  void SetInputSize(int v);
  void SetOutputSize(int v);
  void Assign(const TComBuffer& src);

 private:
  void Set(int& field, int v);
  TCustomComPort* port_;
  int inputSize_ = 1024;
  int outputSize_ = 1024;
};

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port) : port_(port) {}
  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  char ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits v);
  void SetCheck(bool v);
  void SetReplace(bool v);
  void SetReplaceChar(char v);
  void Assign(const TComParity& src);

 private:
  TCustomComPort* port_;
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  char replaceChar_ = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port) : port_(port) {}
  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  char XonChar() const { return xonChar_; }
  char XoffChar() const { return xoffChar_; }
  void SetOutCTSFlow(bool v);
  void SetOutDSRFlow(bool v);
  void SetControlDTR(TDTRFlowControl v);
  void SetControlRTS(TRTSFlowControl v);
  void SetXonXoffOut(bool v);
  void SetXonXoffIn(bool v);
  void SetDSRSensitivity(bool v);
  void SetTxContinueOnXoff(bool v);
  void SetXonChar(char v);
  void SetXoffChar(char v);
  // The preset, computed from the fields; setting it rewrites them.
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl v);
  void Assign(const TComFlowControl& src);

 private:
  template <class T>
  void Set(T& field, T v);
  TCustomComPort* port_;
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = dtrDisable;
  TRTSFlowControl controlRTS_ = rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  char xonChar_ = 17;
  char xoffChar_ = 19;
};
