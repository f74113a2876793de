#pragma once
// The settings that steer logging and the diagram. One program-wide object;
// the window is a non-modal tool window and the fields are read directly by
// their users at the moment of use. Nothing is saved between runs.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <functional>
#include <string>

class TOptions : public QWidget {
  Q_OBJECT
 public:
  explicit TOptions(QWidget* parent = nullptr);

  bool LogEveryValue = false;
  double LogInterval = 10.0;  // seconds
  bool AppendLogFile = false;
  double DiagramBufferHours = 12.0;
  // Kept in quilex-station.ini, unlike the options above: OnAccepted
  // stores it after every OK that took all fields over.
  bool ReconnectAutomatically = false;
  std::function<void()> OnAccepted;

  QGroupBox* GroupBox1;          // "Logging"
  QRadioButton* RadioButton1;    // "Log every value"
  QRadioButton* RadioButton2;    // "Log Interval"
  QLineEdit* Edit1;              // interval, seconds
  QCheckBox* CheckBox1;          // "Append Logfile if exists"
  QGroupBox* GroupBox2;          // "Diagram"
  QLineEdit* Edit2;              // buffer, hours
  QPushButton* Button1;          // "&OK"
  QPushButton* Button2;          // "&Cancel"
  QCheckBox* CheckBoxReconnect;  // "Reconnect automatically", below the original controls
  // Shows a stored setting in the dialog, as if the operator had chosen it.
  void SetReconnectAutomatically(bool on);

  // Reads "Reconnect automatically" from quilex-station.ini at path and
  // stores it there after every OK.
  void AttachStationSettings(const std::string& path);

  void FormCreate();
  void Button1Click();
  void Button2Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
