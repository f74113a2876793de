// The status window's layout, the scan's progress by address, and its text
// while a lost line is awaited.
#include "app/oem_constatus.h"

#include <QFont>

#include "protocol/OEMLib.h"

TStatusWindow::TStatusWindow(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setWindowTitle("Status");
  // Taller than the bare label needs, to make room for the bar below it.
  setFixedSize(211, 62);
  Label1 = new QLabel(this);
  QFont f = Label1->font();
  f.setPixelSize(16);
  Label1->setFont(f);
  Label1->setGeometry(56, 8, 150, 22);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setGeometry(8, 36, 195, 18);
  ProgressBar1->setRange(0, TOEMData::ScanAddressCount);
  ProgressBar1->setValue(0);
  // "n of 21" says more than a percentage while the addresses tick by.
  ProgressBar1->setFormat("%v of %m");
  ProgressBar1->setAlignment(Qt::AlignCenter);
  Label2 = new QLabel(this);
  Label2->setGeometry(8, 60, 195, 20);
  Label2->hide();
}

void TStatusWindow::ShowReconnecting(const QString& detail) {
  Label1->setText("Reconnecting...");
  Label2->setText(detail);
  // The bar belongs to a scan; between tries it would show the last one.
  ProgressBar1->hide();
  if (!Label2->isVisible()) {
    setFixedSize(211, 86);
    Label2->show();
  }
}

void TStatusWindow::EndReconnecting() {
  Label2->hide();
  ProgressBar1->show();
  setFixedSize(211, 62);
}

void TStatusWindow::ShowProgress(int done) {
  ProgressBar1->setValue(done);
  if (ProgressBar1->isHidden()) ProgressBar1->show();
  if (isVisible()) ProgressBar1->repaint();
}
