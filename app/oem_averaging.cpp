// The averaging dialog's layout and the hand-over of the count between its
// field and AverageCount.
#include "app/oem_averaging.h"

#include <QLabel>
#include <QPushButton>

#include "app/TSpinEdit.h"

TSetAveraging::TSetAveraging(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Averaging");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setFixedSize(225, 117);
  Label1 = new QLabel("Number of Frames to Average", this);
  Label1->setGeometry(16, 12, 201, 16);
  SpinEdit1 = new TSpinEdit(this);
  SpinEdit1->setObjectName("SpinEdit1");
  SpinEdit1->setGeometry(16, 36, 57, 22);
  SpinEdit1->SetMinValue(1);
  SpinEdit1->SetMaxValue(20);
  SpinEdit1->SetValue(1);
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(28, 76, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(122, 76, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  FormCreate();
}

void TSetAveraging::FormCreate() {
  AverageCount = 0;
}

void TSetAveraging::FormActivate() {
  SpinEdit1->SetValue(AverageCount);
}

void TSetAveraging::showEvent(QShowEvent* event) {
  FormActivate();
  QDialog::showEvent(event);
}

void TSetAveraging::Button1Click() {
  // Enter on the default button does not leave the field; clamp as leaving
  // it would, so no count outside 1..20 reaches the device.
  SpinEdit1->CheckValue();
  AverageCount = SpinEdit1->Value();
  accept();
}
