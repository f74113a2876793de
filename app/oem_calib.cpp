// The calibration dialog's layout and its reading of the wanted temperature
// in the user's number format.
#include "app/oem_calib.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/oem_main.h"
#include "common/QxFormat.h"

TCalibration::TCalibration(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Calibration");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setFixedSize(193, 105);
  Label1 = new QLabel("Set to Temperature", this);
  Label1->setGeometry(16, 12, 161, 16);
  Edit1 = new QLineEdit("0,0", this);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(16, 32, 161, 22);
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(16, 68, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(102, 68, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TCalibration::Button1Click() {
  double v = 0.0;
  if (!TryStrToFloat(Edit1->text().toStdString(), v)) {
    ShowMessageBox(TMsgKind::mkError, "Invalid Entry");
    Edit1->setFocus();
    Edit1->selectAll();
    return;
  }
  TargetTemperature = v;
  accept();
}
