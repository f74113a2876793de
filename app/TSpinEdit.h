#pragma once
// Integer field with up/down buttons that, unlike QSpinBox, lets the operator
// type freely and sorts the text out only when the value is read (unreadable:
// the lower bound) or the field is left (clamped into the bounds).
#include <QWidget>

class QLineEdit;
class QToolButton;

class TSpinEdit : public QWidget {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  int MinValue() const { return FMinValue; }
  int MaxValue() const { return FMaxValue; }
  void SetMinValue(int v);
  void SetMaxValue(int v);
  int Increment() const { return FIncrement; }
  void SetIncrement(int v) { FIncrement = v; }

  // The text as a decimal integer, or MinValue when it is not one. Not
  // clamped: the text may hold anything the operator typed.
  int Value() const;
  // Clamps into MinValue..MaxValue and shows the result.
  void SetValue(int v);
  // What leaving the field does: puts an out-of-range or unreadable text
  // back into the bounds.
  void CheckValue();

  QString Text() const;
  void SetText(const QString& s);

  QLineEdit* Edit() const { return FEdit; }
  QToolButton* UpButton() const { return FUp; }
  QToolButton* DownButton() const { return FDown; }

  void UpClick();
  void DownClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int Clamp(int v) const;
  void LayoutChildren();

  QLineEdit* FEdit;
  QToolButton* FUp;
  QToolButton* FDown;
  int FMinValue = 0;
  int FMaxValue = 0;
  int FIncrement = 1;
};
