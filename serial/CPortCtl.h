#pragma once
// A drop-down list bound to one setting of a serial port: it lists the
// choices of that setting, shows the port's current value and writes the
// operator's choice back to the port.
#include <QComboBox>
#include <functional>
#include <string>

#include "serial/CPort.h"

enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The value holder behind one combo box; the list is the box's own.
class TComSelect {
 public:
  explicit TComSelect(QComboBox* box) : box_(box) {}
  ~TComSelect();
  TComSelect(const TComSelect&) = delete;
  TComSelect& operator=(const TComSelect&) = delete;

  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* port);
  TComProperty ComProperty() const { return property_; }
  void SetComProperty(TComProperty p);
  bool AutoApply = false;

  // Show the port's current value; a value the list lacks selects nothing
  // (a port name is added to the list instead, so it can be kept).
  void UpdateSettings();
  // Write the chosen value to the port.
  void ApplySettings();
  // The operator picked entry index (-1: nothing).
  void Change(int index);

  // The chosen values.
  std::string PortName;
  TBaudRate BaudRate = brCustom;
  TDataBits DataBits = dbFive;
  TStopBits StopBits = sbOneStopBit;
  TParityBits Parity = prNone;
  TFlowControl FlowControl = fcHardware;

 private:
  void Choose(const std::string& text);
  QComboBox* box_;
  TCustomComPort* port_ = nullptr;
  TComProperty property_ = cpNone;
};

class TComComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TComComboBox(QWidget* parent = nullptr);

  TCustomComPort* ComPort() const { return select_.ComPort(); }
  void SetComPort(TCustomComPort* port) { select_.SetComPort(port); }
  TComProperty ComProperty() const { return select_.ComProperty(); }
  void SetComProperty(TComProperty p) { select_.SetComProperty(p); }
  bool AutoApply() const { return select_.AutoApply; }
  void SetAutoApply(bool v) { select_.AutoApply = v; }
  // The selected entry's text; empty when nothing is selected. Setting it
  // selects an equal entry, if there is one.
  std::string Text() const;
  void SetText(const std::string& text);

  void UpdateSettings() { select_.UpdateSettings(); }
  void ApplySettings() { select_.ApplySettings(); }
  TComSelect& Select() { return select_; }

  // The box's change notification, after an operator's pick.
  std::function<void(TComComboBox* sender)> OnChange;

 private:
  TComSelect select_;
};
