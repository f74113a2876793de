// Message boxes shown for real, unless a test's hook answers them.
#include "app/MessageBox.h"

#include <QMessageBox>

namespace {

TMsgResult DefaultMessageBox(TMsgKind kind, const QString& text, const QPoint* at) {
  QMessageBox box;
  box.setText(text);
  switch (kind) {
    case TMsgKind::mkInformation:
      box.setWindowTitle("Information");
      box.setIcon(QMessageBox::Information);
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TMsgKind::mkWarningYesNo:
      box.setWindowTitle("Warning");
      box.setIcon(QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case TMsgKind::mkError:
      box.setWindowTitle("Error");
      box.setIcon(QMessageBox::Critical);
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  if (at) box.move(*at);
  const int r = box.exec();
  if (r == QMessageBox::Yes) return TMsgResult::mrYes;
  if (r == QMessageBox::No) return TMsgResult::mrNo;
  return TMsgResult::mrOk;
}

}  // namespace

TMessageBoxHook MessageBoxHook;

TMsgResult ShowMessageBox(TMsgKind kind, const QString& text, const QPoint* at) {
  if (MessageBoxHook) return MessageBoxHook(kind, text, at);
  return DefaultMessageBox(kind, text, at);
}

void ShowApplicationError(const std::exception& e) {
  ShowMessageBox(TMsgKind::mkError, QString::fromLocal8Bit(e.what()));
}

void GuardedCall(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowApplicationError(e);
  }
}
