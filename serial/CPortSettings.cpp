// The settings records' setters: a changed value has the port apply the
// group it belongs to (timeouts, buffer sizes or line settings).
#include "serial/CPortSettings.h"

#include "serial/CPort.h"

void TComTimeouts::Set(int& field, int v) {
  if (field == v) return;
  field = v;
  port_->ApplyTimeouts();
}
void TComTimeouts::SetReadInterval(int v) {
  Set(readInterval_, v);
}
void TComTimeouts::SetReadTotalMultiplier(int v) {
  Set(readTotalM_, v);
}
void TComTimeouts::SetReadTotalConstant(int v) {
  Set(readTotalC_, v);
}
void TComTimeouts::SetWriteTotalMultiplier(int v) {
  Set(writeTotalM_, v);
}
void TComTimeouts::SetWriteTotalConstant(int v) {
  Set(writeTotalC_, v);
}
void TComTimeouts::Assign(const TComTimeouts& src) {
  readInterval_ = src.readInterval_;
  readTotalM_ = src.readTotalM_;
  readTotalC_ = src.readTotalC_;
  writeTotalM_ = src.writeTotalM_;
  writeTotalC_ = src.writeTotalC_;
  port_->ApplyTimeouts();
}
TComTimeoutValues TComTimeouts::Values() const {
  TComTimeoutValues t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(readInterval_);
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(readTotalM_);
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(readTotalC_);
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(writeTotalM_);
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(writeTotalC_);
  return t;
}

void TComBuffer::Set(int& field, int v) {
  if (v > 0 && (v % 2) != 0) --v;
  if (field == v) return;
  field = v;
  port_->ApplyBufferSizes();
}
void TComBuffer::SetInputSize(int v) {
  Set(inputSize_, v);
}
void TComBuffer::SetOutputSize(int v) {
  Set(outputSize_, v);
}
void TComBuffer::Assign(const TComBuffer& src) {
  inputSize_ = src.inputSize_;
  outputSize_ = src.outputSize_;
  port_->ApplyBufferSizes();
}

void TComParity::SetBits(TParityBits v) {
  if (bits_ == v) return;
  bits_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetCheck(bool v) {
  if (check_ == v) return;
  check_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetReplace(bool v) {
  if (replace_ == v) return;
  replace_ = v;
  port_->ApplyLineSettings();
}
void TComParity::SetReplaceChar(char v) {
  if (replaceChar_ == v) return;
  replaceChar_ = v;
  port_->ApplyLineSettings();
}
void TComParity::Assign(const TComParity& src) {
  bits_ = src.bits_;
  check_ = src.check_;
  replace_ = src.replace_;
  replaceChar_ = src.replaceChar_;
  port_->ApplyLineSettings();
}

template <class T>
void TComFlowControl::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  port_->ApplyLineSettings();
}
void TComFlowControl::SetOutCTSFlow(bool v) {
  Set(outCTSFlow_, v);
}
void TComFlowControl::SetOutDSRFlow(bool v) {
  Set(outDSRFlow_, v);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
  Set(controlDTR_, v);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
  Set(controlRTS_, v);
}
void TComFlowControl::SetXonXoffOut(bool v) {
  Set(xonXoffOut_, v);
}
void TComFlowControl::SetXonXoffIn(bool v) {
  Set(xonXoffIn_, v);
}
void TComFlowControl::SetDSRSensitivity(bool v) {
  Set(dsrSensitivity_, v);
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
  Set(txContinueOnXoff_, v);
}
void TComFlowControl::SetXonChar(char v) {
  Set(xonChar_, v);
}
void TComFlowControl::SetXoffChar(char v) {
  Set(xoffChar_, v);
}

TFlowControl TComFlowControl::FlowControl() const {
  if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
  if (v != fcCustom) {
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (v == fcHardware) {
      controlRTS_ = rtsHandshake;
      outCTSFlow_ = true;
    } else if (v == fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  port_->ApplyLineSettings();
}

void TComFlowControl::Assign(const TComFlowControl& src) {
  outCTSFlow_ = src.outCTSFlow_;
  outDSRFlow_ = src.outDSRFlow_;
  controlDTR_ = src.controlDTR_;
  controlRTS_ = src.controlRTS_;
  xonXoffOut_ = src.xonXoffOut_;
  xonXoffIn_ = src.xonXoffIn_;
  dsrSensitivity_ = src.dsrSensitivity_;
  txContinueOnXoff_ = src.txContinueOnXoff_;
  xonChar_ = src.xonChar_;
  xoffChar_ = src.xoffChar_;
  port_->ApplyLineSettings();
}
