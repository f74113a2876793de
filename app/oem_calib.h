#pragma once
// "Calibration": asks for the temperature the channel should read now; the
// device menu turns the difference to the last reading into an offset.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TCalibration : public QDialog {
  Q_OBJECT
 public:
  explicit TCalibration(QWidget* parent = nullptr);

  // Set on OK; kept between uses.
  double TargetTemperature = 0.0;

  QLabel* Label1;
  QLineEdit* Edit1;
  QPushButton* Button1;
  QPushButton* Button2;

  // OK: takes the text as a number in the user's format. A text that is not
  // a number is refused with "Invalid Entry" and the dialog stays open, so a
  // calibration the operator did not enter is never sent.
  void Button1Click();
};
