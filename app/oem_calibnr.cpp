// The table dialog's layout and the hand-over of the number between its
// field and CalibNr.
#include "app/oem_calibnr.h"

#include <QLabel>
#include <QPushButton>

#include "app/TSpinEdit.h"

TCalibNr::TCalibNr(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Select Calibration");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setFixedSize(225, 117);
  Label1 = new QLabel("Select Nr. of Calibration to use", this);
  Label1->setGeometry(16, 12, 201, 16);
  SpinEdit1 = new TSpinEdit(this);
  SpinEdit1->setObjectName("SpinEdit1");
  SpinEdit1->setGeometry(16, 36, 57, 22);
  SpinEdit1->SetMinValue(1);
  SpinEdit1->SetMaxValue(2);
  SpinEdit1->SetValue(1);
  Button1 = new QPushButton("&OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(28, 76, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("&Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(122, 76, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  FormCreate();
}

void TCalibNr::FormCreate() {
  CalibNr = 0;
}

void TCalibNr::FormActivate() {
  SpinEdit1->SetValue(CalibNr);
}

void TCalibNr::showEvent(QShowEvent* event) {
  FormActivate();
  QDialog::showEvent(event);
}

void TCalibNr::Button1Click() {
  // Enter on the default button does not leave the field, so do here what
  // leaving it would have done: never send a table outside 1..2.
  SpinEdit1->CheckValue();
  CalibNr = uint8_t(SpinEdit1->Value() & 0xFF);
  accept();
}
