#pragma once
// Asks for the one line of text printed above the diagram; the diagram asks
// for it through the program-wide Comment object before it prints.
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

class TComment : public QDialog {
  Q_OBJECT
 public:
  explicit TComment(QWidget* parent = nullptr);

  QString CommentText;
  QLineEdit* Edit1;
  QPushButton* OKButton;

  void FormCreate();
  void OKButtonClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
