#pragma once
// "Select Calibration": which of the device's two calibration tables it uses.
// The device menu fills it from the device and sends the number back on OK.
#include <QDialog>
#include <cstdint>

class QLabel;
class QPushButton;
class TSpinEdit;

class TCalibNr : public QDialog {
  Q_OBJECT
 public:
  explicit TCalibNr(QWidget* parent = nullptr);

  uint8_t CalibNr = 0;

  QLabel* Label1;
  TSpinEdit* SpinEdit1;
  QPushButton* Button1;
  QPushButton* Button2;

  void FormCreate();
  // Shows CalibNr in the spin field (clamped into 1..2); runs at every opening.
  void FormActivate();
  // OK: CalibNr := the spin field's value, brought into its bounds first.
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
};
