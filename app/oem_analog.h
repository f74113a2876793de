#pragma once
// "Analog Output Limits": the temperatures, in device units, that the
// device's analog output maps to 0 V and 10 V.
#include <QDialog>
#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;

class TAnalog : public QDialog {
  Q_OBJECT
 public:
  explicit TAnalog(QWidget* parent = nullptr);

  int32_t MinTemp = 0;
  int32_t MaxTemp = 0;

  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* Edit1;
  QLineEdit* Edit2;
  QPushButton* Button1;
  QPushButton* Button2;

  // Loads both fields from MinTemp and MaxTemp; runs at every opening.
  void FormActivate();
  // OK: MinTemp, then MaxTemp, from the fields, truncated toward zero. A text
  // that is not a number silently keeps that limit and the ones after it.
  // A number that cannot travel in the device's 16-bit field is refused
  // with "Invalid Entry" and the dialog stays open.
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
};
