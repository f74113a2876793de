#pragma once
// "Diagram Setup": the temperature range of the diagram's vertical axis and the
// width of its time axis. The diagram window fills the three public values,
// shows the dialog without making it modal and applies the values when the
// dialog closes (OK or the close box). Cancel only hides it.
#include <QDialog>
#include <QString>
#include <functional>

class QLineEdit;
class QPushButton;
class QFrame;
class QLabel;

class TDiagSetupDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TDiagSetupDialog(QWidget* parent = nullptr);

  // Stored values: degrees Celsius and minutes.
  double Min = 0;
  double Max = 300;
  double TimeRange = 10;

  // Runs whenever the dialog closes through OK or the close box.
  std::function<void()> OnClose;
  // Shows "Invalid Entry"; replaceable so tests need no modal message box.
  std::function<void(const QString&)> ShowMessage;

  // Refills the edits from the stored values (locale format, two decimals).
  void FormActivate();
  void Button1Click();  // OK
  void Button2Click();  // Cancel

  QLineEdit* Edit1() const { return edit1_; }
  QLineEdit* Edit2() const { return edit2_; }
  QLineEdit* Edit3() const { return edit3_; }
  QPushButton* OKButton() const { return okButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool FormKeyPress(int key);

  QFrame* panel_ = nullptr;
  QLineEdit* edit1_ = nullptr;
  QLineEdit* edit2_ = nullptr;
  QLineEdit* edit3_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

// The edits' text for a stored value: fixed point, two decimals, at most six
// significant digits, the user's decimal separator.
QString DiagSetupValueText(double value);
