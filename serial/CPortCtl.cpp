// The choices per setting, the port's value shown (a port name not listed
// is added rather than lost), and the choice written back to the port.
#include "serial/CPortCtl.h"

#include <vector>

namespace {

std::vector<std::string> EntriesOf(TComProperty p) {
  std::vector<std::string> r;
  switch (p) {
    case cpNone:
      break;
    case cpPort:
      EnumPorts(r);
      break;
    case cpBaudRate:
      for (int i = brCustom; i <= br256000; ++i) r.push_back(BaudRateToText(TBaudRate(i)));
      break;
    case cpDataBits:
      for (int i = dbFive; i <= dbEight; ++i) r.push_back(DataBitsToText(TDataBits(i)));
      break;
    case cpStopBits:
      for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i) r.push_back(StopBitsToText(TStopBits(i)));
      break;
    case cpParity:
      for (int i = prNone; i <= prSpace; ++i) r.push_back(ParityToText(TParityBits(i)));
      break;
    case cpFlowControl:
      for (int i = fcHardware; i <= fcCustom; ++i) r.push_back(FlowControlToText(TFlowControl(i)));
      break;
  }
  return r;
}

}  // namespace

TComSelect::~TComSelect() {
  if (port_) port_->RemoveFreeNotification(this);
}

void TComSelect::SetComProperty(TComProperty p) {
  property_ = p;
  box_->clear();
  for (const auto& e : EntriesOf(p)) box_->addItem(QString::fromStdString(e));
  if (box_->count() == 0) return;
  if (!port_)
    box_->setCurrentIndex(0);
  else
    UpdateSettings();
}

void TComSelect::SetComPort(TCustomComPort* port) {
  if (port == port_) return;
  if (port_) port_->RemoveFreeNotification(this);
  port_ = port;
  if (port_) {
    port_->AddFreeNotification(this, [this] {
      port_ = nullptr;
      if (box_->count() > 0) box_->setCurrentIndex(0);
    });
  }
  UpdateSettings();
}

void TComSelect::UpdateSettings() {
  if (!port_) return;
  std::string text;
  switch (property_) {
    case cpNone:
      return;
    case cpPort:
      text = port_->Port();
      break;
    case cpBaudRate:
      text = BaudRateToText(port_->BaudRate());
      break;
    case cpDataBits:
      text = DataBitsToText(port_->DataBits());
      break;
    case cpStopBits:
      text = StopBitsToText(port_->StopBits());
      break;
    case cpParity:
      text = ParityToText(port_->Parity().Bits());
      break;
    case cpFlowControl:
      text = FlowControlToText(port_->FlowControl().FlowControl());
      break;
  }
  int index = box_->findText(QString::fromStdString(text), Qt::MatchExactly);
  // A port that is not listed (unplugged, or named by hand in the settings
  // file) must not turn into an empty name when the dialog is confirmed.
  if (index < 0 && property_ == cpPort && !text.empty()) {
    box_->addItem(QString::fromStdString(text));
    index = box_->count() - 1;
  }
  box_->setCurrentIndex(index);
  if (index >= 0) Choose(text);
}

void TComSelect::Choose(const std::string& text) {
  switch (property_) {
    case cpNone:
      break;
    case cpPort:
      PortName = text;
      break;
    case cpBaudRate:
      BaudRate = TextToBaudRate(text);
      break;
    case cpDataBits:
      DataBits = TextToDataBits(text);
      break;
    case cpStopBits:
      StopBits = TextToStopBits(text);
      break;
    case cpParity:
      Parity = TextToParity(text);
      break;
    case cpFlowControl:
      FlowControl = TextToFlowControl(text);
      break;
  }
}

void TComSelect::Change(int index) {
  if (box_->currentIndex() != index) box_->setCurrentIndex(index);
  Choose(index >= 0 ? box_->itemText(index).toStdString() : std::string());
  if (AutoApply) ApplySettings();
}

void TComSelect::ApplySettings() {
  if (!port_) return;
  switch (property_) {
    case cpNone:
      break;
    case cpPort:
      port_->SetPort(PortName);
      break;
    case cpBaudRate:
      port_->SetBaudRate(BaudRate);
      break;
    case cpDataBits:
      port_->SetDataBits(DataBits);
      break;
    case cpStopBits:
      port_->SetStopBits(StopBits);
      break;
    case cpParity:
      port_->Parity().SetBits(Parity);
      break;
    case cpFlowControl:
      port_->FlowControl().SetFlowControl(FlowControl);
      break;
  }
}

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent), select_(this) {
  setEditable(false);
  connect(this, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    select_.Change(index);
    if (OnChange) OnChange(this);
  });
}

std::string TComComboBox::Text() const {
  return currentIndex() >= 0 ? currentText().toStdString() : std::string();
}

void TComComboBox::SetText(const std::string& text) {
  int index = findText(QString::fromStdString(text), Qt::MatchExactly);
  if (index >= 0) setCurrentIndex(index);
}
