// The limits dialog's layout and its take-over of the two texts, checked
// against what the device can store.
#include "app/oem_analog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>

#include "app/oem_main.h"
#include "common/QxFormat.h"

namespace {

// The device reports its limits as four hex digits read as signed 16 bits,
// with 8000 coming back as 32768; anything in between travels unchanged.
constexpr double kLowestLimit = -32768.0;
constexpr double kHighestLimit = 32768.0;

enum class TLimitText { NotANumber, OutOfRange, Ok };

TLimitText ParseLimit(const QString& text, int32_t& out) {
  double v = 0.0;
  if (!TryStrToFloat(text.toStdString(), v)) return TLimitText::NotANumber;
  const double t = std::trunc(v);
  if (!(t >= kLowestLimit && t <= kHighestLimit)) return TLimitText::OutOfRange;
  out = int32_t(t);
  return TLimitText::Ok;
}

}  // namespace

TAnalog::TAnalog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Analog Output Limits");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setFixedSize(225, 125);
  Label1 = new QLabel("Min Temp. (=0V)", this);
  Label1->setGeometry(12, 16, 116, 16);
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(132, 12, 81, 22);
  Label2 = new QLabel("Max Temp. (=10V)", this);
  Label2->setGeometry(12, 48, 116, 16);
  Edit2 = new QLineEdit(this);
  Edit2->setObjectName("Edit2");
  Edit2->setGeometry(132, 44, 81, 22);
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(32, 86, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(118, 86, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TAnalog::FormActivate() {
  Edit1->setText(QString::number(MinTemp));
  Edit2->setText(QString::number(MaxTemp));
}

void TAnalog::showEvent(QShowEvent* event) {
  FormActivate();
  QDialog::showEvent(event);
}

void TAnalog::Button1Click() {
  int32_t lo = MinTemp;
  int32_t hi = MaxTemp;
  TLimitText r = ParseLimit(Edit1->text(), lo);
  if (r == TLimitText::Ok) r = ParseLimit(Edit2->text(), hi);
  if (r == TLimitText::OutOfRange) {
    ShowMessageBox(TMsgKind::mkError, "Invalid Entry");
    return;
  }
  // A text that is not a number ends the take-over quietly: what was taken
  // until then stays, the rest keeps the values read from the device.
  MinTemp = lo;
  MaxTemp = hi;
  accept();
}
