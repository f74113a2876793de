// The comment dialog's layout. Enter confirms as the OK button does; Escape
// keeps the comment stored before.
#include "app/oem_comment.h"

#include <QKeyEvent>

TComment::TComment(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Comment");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(400, 44);
  Edit1 = new QLineEdit(this);
  Edit1->setGeometry(8, 11, 305, 22);
  OKButton = new QPushButton("OK", this);
  OKButton->setGeometry(320, 9, 72, 25);
  OKButton->setAutoDefault(false);
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  Edit1->installEventFilter(this);
  OKButton->installEventFilter(this);
  FormCreate();
}

void TComment::FormCreate() {
  CommentText.clear();
}

void TComment::OKButtonClick() {
  CommentText = Edit1->text();
  accept();
}

bool TComment::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      OKButtonClick();
      return true;
    }
    if (key == Qt::Key_Escape) {
      reject();  // the stored comment stays as it was
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
