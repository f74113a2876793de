// The options window's layout, its defaults, the field-by-field take-over on
// OK, and the reconnect switch stored in quilex-station.ini.
#include "app/oem_options.h"

#include <QKeyEvent>

#include "app/oem_main.h"
#include "common/QxFormat.h"
#include "common/QxStationIni.h"
#include "reconnect/ReconnectSettings.h"

TOptions::TOptions(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setWindowTitle("Options");
  setFixedSize(278, 290);

  auto* panel = new QWidget(this);
  panel->setGeometry(0, 0, 278, 290);

  GroupBox1 = new QGroupBox("Logging", panel);
  GroupBox1->setGeometry(8, 8, 262, 148);
  RadioButton1 = new QRadioButton("Log every value", GroupBox1);
  RadioButton1->setGeometry(12, 22, 200, 20);
  RadioButton2 = new QRadioButton("Log Interval", GroupBox1);
  RadioButton2->setGeometry(12, 46, 200, 20);
  auto* intervalLabel = new QLabel("Interval", GroupBox1);
  intervalLabel->setGeometry(30, 76, 60, 20);
  Edit1 = new QLineEdit(GroupBox1);
  Edit1->setGeometry(92, 74, 80, 22);
  auto* secondsLabel = new QLabel("s", GroupBox1);
  secondsLabel->setGeometry(178, 76, 20, 20);
  CheckBox1 = new QCheckBox("Append Logfile if exists", GroupBox1);
  CheckBox1->setGeometry(12, 112, 230, 20);

  GroupBox2 = new QGroupBox("Diagram", panel);
  GroupBox2->setGeometry(8, 164, 262, 80);
  auto* bufferLabel = new QLabel("Buffersize for displayed Datapoints", GroupBox2);
  bufferLabel->setGeometry(12, 22, 240, 20);
  Edit2 = new QLineEdit(GroupBox2);
  Edit2->setGeometry(12, 46, 80, 22);
  auto* hoursLabel = new QLabel("hours", GroupBox2);
  hoursLabel->setGeometry(98, 48, 60, 20);

  Button1 = new QPushButton("&OK", panel);
  Button1->setGeometry(40, 254, 75, 25);
  Button2 = new QPushButton("&Cancel", panel);
  Button2->setGeometry(163, 254, 75, 25);

  // Below all the original controls; the window grows instead of moving any.
  const int extraTop = 290;
  CheckBoxReconnect = new QCheckBox("Reconnect automatically", this);
  CheckBoxReconnect->setGeometry(16, extraTop + 2, 246, 20);
  CheckBoxReconnect->setToolTip(
      "When the serial line is lost, try it again after 1, 2, 4, 8, 16 and then every 30 "
      "seconds, and go on measuring and logging when the same devices answer.");
  setFixedSize(278, extraTop + 28);

  connect(Button1, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { Button2Click(); }); });

  // Enter accepts and Escape cancels everywhere except in the buffer field.
  for (QWidget* w : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(Button2),
                     static_cast<QWidget*>(CheckBox1), static_cast<QWidget*>(Edit1),
                     static_cast<QWidget*>(CheckBoxReconnect), static_cast<QWidget*>(RadioButton1),
                     static_cast<QWidget*>(RadioButton2)}) {
    w->installEventFilter(this);
  }
  FormCreate();
}

void TOptions::FormCreate() {
  LogEveryValue = false;
  LogInterval = 10.0;
  AppendLogFile = false;
  DiagramBufferHours = 12.0;
  RadioButton1->setChecked(false);
  RadioButton2->setChecked(true);
  Edit1->setText("10");
  CheckBox1->setChecked(false);
  Edit2->setText("12");
}

void TOptions::Button1Click() {
  // Fields are taken over one by one; a bad number stops there and keeps the
  // ones already taken.
  LogEveryValue = RadioButton1->isChecked();
  AppendLogFile = CheckBox1->isChecked();
  double value = 0.0;
  if (!TryStrToFloat(Edit1->text().toStdString(), value)) {
    ShowMessageBox(TMsgKind::mkInformation, "Invalid Entry");
    return;
  }
  LogInterval = value;
  if (!TryStrToFloat(Edit2->text().toStdString(), value)) {
    ShowMessageBox(TMsgKind::mkInformation, "Invalid Entry");
    return;
  }
  DiagramBufferHours = value;
  ReconnectAutomatically = CheckBoxReconnect->isChecked();
  if (OnAccepted) OnAccepted();
  hide();
}

void TOptions::AttachStationSettings(const std::string& path) {
  TStationIni ini;
  ini.Load(path);  // a garbage file: the default, and a message on stderr
  SetReconnectAutomatically(LoadReconnectSettings(ini).Enabled);
  OnAccepted = [this, path] {
    std::string error;
    if (!SaveReconnectSettings(path, {ReconnectAutomatically}, &error))
      ShowMessageBox(TMsgKind::mkInformation,
                     "The setting could not be saved: " + QString::fromStdString(error));
  };
}

void TOptions::SetReconnectAutomatically(bool on) {
  ReconnectAutomatically = on;
  CheckBoxReconnect->setChecked(on);
}

void TOptions::Button2Click() {
  hide();
}

bool TOptions::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      GuardedCall([this] { Button1Click(); });
      return true;
    }
    if (key == Qt::Key_Escape) {
      Button2Click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}
