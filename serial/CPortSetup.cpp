// The dialog's layout, the confirmed choices applied to the port as one
// update, and the dialog registered as the ports' set-up handler.
#include "serial/CPortSetup.h"

#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

TComSetupFrm::TComSetupFrm(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Setup");
  setFixedSize(231, 216);
  setFont(QFont("MS Sans Serif", 8));
  GroupBox1 = new QGroupBox(" Settings ", this);
  GroupBox1->setGeometry(8, 8, 217, 169);

  struct Row {
    const char* label;
    TComProperty prop;
    QLabel** l;
    TComComboBox** c;
  } rows[] = {{"Port", cpPort, &Label1, &Combo1},
              {"Baud rate", cpBaudRate, &Label2, &Combo2},
              {"Data bits", cpDataBits, &Label3, &Combo3},
              {"Stop bits", cpStopBits, &Label4, &Combo4},
              {"Parity", cpParity, &Label5, &Combo5},
              {"Flow control", cpFlowControl, &Label6, &Combo6}};
  QWidget* previous = nullptr;
  for (int i = 0; i < 6; ++i) {
    QLabel* l = new QLabel(rows[i].label, GroupBox1);
    l->move(8, 24 + 24 * i);
    l->adjustSize();
    TComComboBox* c = new TComComboBox(GroupBox1);
    c->setGeometry(80, 16 + 24 * i, 129, 21);
    c->SetComProperty(rows[i].prop);
    l->setBuddy(c);
    if (previous) QWidget::setTabOrder(previous, c);
    previous = c;
    *rows[i].l = l;
    *rows[i].c = c;
  }
  Button1 = new QPushButton("OK", this);
  Button1->setGeometry(70, 184, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setGeometry(150, 184, 75, 25);
  QWidget::setTabOrder(previous, Button1);
  QWidget::setTabOrder(Button1, Button2);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void ShowSetupDialog(TCustomComPort& port) {
  // Built afresh each time, so the port list is read anew.
  TComSetupFrm frm;
  TComComboBox* boxes[] = {frm.Combo1, frm.Combo2, frm.Combo3, frm.Combo4, frm.Combo5, frm.Combo6};
  for (TComComboBox* b : boxes) b->SetComPort(&port);
  for (TComComboBox* b : boxes) b->UpdateSettings();
  if (frm.exec() != QDialog::Accepted) return;
  port.BeginUpdate();
  try {
    for (TComComboBox* b : boxes) b->ApplySettings();
  } catch (...) {
    try {
      port.EndUpdate();
    } catch (...) {
      // the first failure is the one to report
    }
    throw;
  }
  port.EndUpdate();
}

void InstallSetupDialog() {
  SetSetupDialogHandler([](TCustomComPort& p) { ShowSetupDialog(p); });
}

namespace {
// Linked in whenever the program uses the dialog at all.
const bool installed = (InstallSetupDialog(), true);
}  // namespace
