#pragma once
// "Averaging": how many frames the device averages into one reading. The
// device menu fills it from the device and sends the count back on OK.
#include <QDialog>
#include <cstdint>

class QLabel;
class QPushButton;
class TSpinEdit;

class TSetAveraging : public QDialog {
  Q_OBJECT
 public:
  explicit TSetAveraging(QWidget* parent = nullptr);

  int32_t AverageCount = 0;

  QLabel* Label1;
  TSpinEdit* SpinEdit1;
  QPushButton* Button1;
  QPushButton* Button2;

  void FormCreate();
  // Shows AverageCount in the spin field (clamped into 1..20); runs at every
  // opening.
  void FormActivate();
  // OK: AverageCount := the spin field's value, brought into its bounds first.
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
};
