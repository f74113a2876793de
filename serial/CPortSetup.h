#pragma once
// The port settings dialog: port, baud rate, data bits, stop bits, parity and
// flow control, each a combo box bound to the port.
#include <QDialog>

#include "serial/CPortCtl.h"

class QGroupBox;
class QLabel;
class QPushButton;

class TComSetupFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TComSetupFrm(QWidget* parent = nullptr);

  QGroupBox* GroupBox1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label6;
  TComComboBox* Combo1;
  TComComboBox* Combo2;
  TComComboBox* Combo3;
  TComComboBox* Combo4;
  TComComboBox* Combo5;
  TComComboBox* Combo6;
  QPushButton* Button1;
  QPushButton* Button2;
};

// Shows the dialog for the port modally and applies the choices on OK, all
// at once. An error while applying reaches the caller; the port is never
// left in a deferred update.
void ShowSetupDialog(TCustomComPort& port);
// Makes TCustomComPort::ShowSetupDialog use this dialog.
void InstallSetupDialog();
