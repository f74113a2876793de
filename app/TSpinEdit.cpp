// The field's typing filter, its bounds and the buttons' stepping; the text
// is read as a number only when asked for.
#include "app/TSpinEdit.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QValidator>
#include <algorithm>
#include <cstdint>

#include "common/QxFormat.h"

namespace {

// Lets through only the characters an integer field may be typed with. The
// decimal separator is allowed as typed character; such a text then simply
// does not read as an integer.
class TSpinCharValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    const QChar sep = QChar::fromLatin1(FormatSettings().DecimalSeparator);
    for (QChar c : input) {
      if (!(c.isDigit() && c.unicode() < 128) && c != '+' && c != '-' && c != sep) return Invalid;
    }
    return Acceptable;
  }
};

}  // namespace

TSpinEdit::TSpinEdit(QWidget* parent) : QWidget(parent) {
  FEdit = new QLineEdit(this);
  FEdit->setValidator(new TSpinCharValidator(FEdit));
  FEdit->installEventFilter(this);
  FUp = new QToolButton(this);
  FUp->setArrowType(Qt::UpArrow);
  FUp->setAutoRepeat(true);
  FUp->setFocusPolicy(Qt::NoFocus);
  FDown = new QToolButton(this);
  FDown->setArrowType(Qt::DownArrow);
  FDown->setAutoRepeat(true);
  FDown->setFocusPolicy(Qt::NoFocus);
  connect(FUp, &QToolButton::clicked, this, [this] { UpClick(); });
  connect(FDown, &QToolButton::clicked, this, [this] { DownClick(); });
  setFocusProxy(FEdit);
  resize(121, 22);
  SetValue(0);
}

void TSpinEdit::SetMinValue(int v) {
  FMinValue = v;
}
void TSpinEdit::SetMaxValue(int v) {
  FMaxValue = v;
}

int TSpinEdit::Clamp(int v) const {
  if (FMinValue <= FMaxValue) v = std::clamp(v, FMinValue, FMaxValue);
  return v;
}

int TSpinEdit::Value() const {
  int v = 0;
  if (!TryStrToInt(FEdit->text().toStdString(), v)) return FMinValue;
  return v;
}

void TSpinEdit::SetValue(int v) {
  FEdit->setText(QString::number(Clamp(v)));
}

void TSpinEdit::CheckValue() {
  const int v = Value();
  const QString want = QString::number(Clamp(v));
  if (FEdit->text() != want) FEdit->setText(want);
}

QString TSpinEdit::Text() const {
  return FEdit->text();
}
void TSpinEdit::SetText(const QString& s) {
  FEdit->setText(s);
}

// Stepping works in 64 bits so that a value at the edge of int cannot
// overflow before it is clamped.
void TSpinEdit::UpClick() {
  const int64_t v = std::min<int64_t>(int64_t(Value()) + FIncrement, INT32_MAX);
  SetValue(int(std::max<int64_t>(v, INT32_MIN)));
}

void TSpinEdit::DownClick() {
  const int64_t v = std::max<int64_t>(int64_t(Value()) - FIncrement, INT32_MIN);
  SetValue(int(std::min<int64_t>(v, INT32_MAX)));
}

bool TSpinEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FEdit) {
    if (event->type() == QEvent::KeyPress) {
      auto* ke = static_cast<QKeyEvent*>(event);
      if (ke->key() == Qt::Key_Up) {
        UpClick();
        return true;
      }
      if (ke->key() == Qt::Key_Down) {
        DownClick();
        return true;
      }
    } else if (event->type() == QEvent::FocusOut) {
      CheckValue();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TSpinEdit::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutChildren();
}

void TSpinEdit::LayoutChildren() {
  const int bw = 16;
  const int h = height();
  FEdit->setGeometry(0, 0, std::max(0, width() - bw), h);
  FUp->setGeometry(width() - bw, 0, bw, h / 2);
  FDown->setGeometry(width() - bw, h / 2, bw, h - h / 2);
}
