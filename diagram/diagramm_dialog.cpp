// The dialog's layout, the value check on OK, Enter and Escape on every
// control, and the refill whenever the dialog becomes active.
#include "diagram/diagramm_dialog.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "common/QxFormat.h"

QString DiagSetupValueText(double value) {
  return QString::fromStdString(FloatToStrFixed(value, 6, 2));
}

namespace {

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, int left, int top) {
  auto* edit = new QLineEdit(parent);
  edit->setGeometry(left, top, 113, 21);
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, int left, int top) {
  auto* button = new QPushButton(text, parent);
  button->setGeometry(left, top, 75, 25);
  // Enter is handled by the dialog itself (OK), also when Cancel has focus.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

}  // namespace

TDiagSetupDialog::TDiagSetupDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Diagram Setup");
  setFixedSize(248, 159);
  setModal(false);

  panel_ = new QFrame(this);
  panel_->setGeometry(0, 0, 248, 159);
  panel_->setFrameShape(QFrame::Panel);
  panel_->setFrameShadow(QFrame::Raised);

  MakeLabel(panel_, "Min", 48, 20);
  MakeLabel(panel_, "Max", 48, 44);
  MakeLabel(panel_, "Time Range", 24, 84);
  MakeLabel(panel_, "min", 216, 84);
  edit1_ = MakeEdit(panel_, 96, 16);
  edit2_ = MakeEdit(panel_, 96, 40);
  edit3_ = MakeEdit(panel_, 96, 80);
  okButton_ = MakeButton(panel_, "&OK", 24, 128);
  cancelButton_ = MakeButton(panel_, "&Cancel", 152, 128);

  setTabOrder(edit1_, edit2_);
  setTabOrder(edit2_, edit3_);
  setTabOrder(edit3_, okButton_);
  setTabOrder(okButton_, cancelButton_);

  for (QWidget* w :
       {static_cast<QWidget*>(edit1_), static_cast<QWidget*>(edit2_), static_cast<QWidget*>(edit3_),
        static_cast<QWidget*>(okButton_), static_cast<QWidget*>(cancelButton_)})
    w->installEventFilter(this);

  connect(okButton_, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(cancelButton_, &QPushButton::clicked, this, [this] { Button2Click(); });

  ShowMessage = [this](const QString& text) {
    QMessageBox::information(this, windowTitle(), text);
  };
  FormActivate();
}

void TDiagSetupDialog::FormActivate() {
  edit1_->setText(DiagSetupValueText(Min));
  edit2_->setText(DiagSetupValueText(Max));
  edit3_->setText(DiagSetupValueText(TimeRange));
}

void TDiagSetupDialog::Button1Click() {
  // Each value is stored as soon as it converts; a later failure keeps the
  // earlier ones, which take effect with the next close.
  QLineEdit* edits[3] = {edit1_, edit2_, edit3_};
  double* targets[3] = {&Min, &Max, &TimeRange};
  for (int i = 0; i < 3; ++i) {
    double value = 0;
    if (!TryStrToFloat(edits[i]->text().toStdString(), value)) {
      if (ShowMessage) ShowMessage("Invalid Entry");
      return;
    }
    *targets[i] = value;
  }
  close();
}

void TDiagSetupDialog::Button2Click() {
  hide();
}

bool TDiagSetupDialog::FormKeyPress(int key) {
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    Button1Click();
    return true;
  }
  if (key == Qt::Key_Escape) {
    Button2Click();
    return true;
  }
  return false;
}

void TDiagSetupDialog::changeEvent(QEvent* event) {
  // Refill on every activation, so typing that was left behind when the
  // operator switched to the diagram is discarded.
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
  QDialog::changeEvent(event);
}

void TDiagSetupDialog::showEvent(QShowEvent* event) {
  FormActivate();
  QDialog::showEvent(event);
}

void TDiagSetupDialog::closeEvent(QCloseEvent* event) {
  if (OnClose) OnClose();
  QDialog::closeEvent(event);
}

void TDiagSetupDialog::keyPressEvent(QKeyEvent* event) {
  if (FormKeyPress(event->key())) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool TDiagSetupDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (FormKeyPress(key->key())) return true;
  }
  return QDialog::eventFilter(watched, event);
}
