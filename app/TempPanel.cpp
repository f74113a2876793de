// The channel panel's drawing: the value's font fitted to the panel, and the
// styled box cached so that a new value repaints only under its text.
#include "app/TempPanel.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>
#include <QStringList>
#include <QStyleOptionGroupBox>

#include "app/MeasureStep.h"

TTempPanel::TTempPanel(QWidget* owner, uint32_t captionColor, const QString& caption)
    : QGroupBox(caption, owner), CaptionColor(captionColor) {
  resize(110, 50);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, QColor::fromRgb(captionColor));
  setPalette(pal);

  value_ = new TValueLabel(this);
  ValueLabel = value_;
  value_->Underlay = [this] { return Box(true); };
  ValueLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  QPalette lp = ValueLabel->palette();
  lp.setColor(QPalette::WindowText, Qt::red);
  ValueLabel->setPalette(lp);
  // Right clicks on the value text belong to the panel.
  ValueLabel->setContextMenuPolicy(Qt::NoContextMenu);
  ValueLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
  PlaceValueLabel();
  FitValueFont();
  UpdateOpaque();
}

void TTempPanel::PlaceValueLabel() {
  // At a fixed size a new text does not ask the panel to lay out its
  // children again (one posted event less with every value); the panel
  // places the label itself.
  const QRect r = contentsRect();
  ValueLabel->setFixedSize(r.size());
  ValueLabel->move(r.topLeft());
}

void TTempPanel::ShowStale(bool stale) {
  if (stale == stale_) return;
  stale_ = stale;
  QPalette lp = ValueLabel->palette();
  lp.setColor(QPalette::WindowText, stale ? QColor(0x80, 0x80, 0x80) : QColor(Qt::red));
  ValueLabel->setPalette(lp);
}

void TTempPanel::SetValuePointSize(qreal points) {
  valuePoints_ = points;
  FitValueFont();
}

void TTempPanel::FitValueFont() {
  // The widest text the panel can show: four places before the separator
  // (a sign and three digits) in the font's widest digit, either separator,
  // and the placeholder. One size for all readings, so the value does not
  // change size as it changes.
  QStringList widest;
  for (QChar sep : {QChar('.'), QChar(',')}) {
    widest << QString("---") + sep + QString("--\u00B0C");
    for (char d = '0'; d <= '9'; ++d)
      widest << QString("-") + QString(3, QChar(d)) + sep + QString(2, QChar(d)) + "\u00B0C";
  }
  const int room = ValueLabel->contentsRect().width();
  QFont f = ValueLabel->font();
  f.setPointSizeF(valuePoints_);
  auto fits = [&] {
    const QFontMetrics fm(f);
    for (const QString& t : widest)
      if (fm.horizontalAdvance(t) > room) return false;
    return true;
  };
  while (f.pointSizeF() > 6.0 && !fits()) f.setPointSizeF(f.pointSizeF() - 0.5);
  if (f != ValueLabel->font()) ValueLabel->setFont(f);
}

void TTempPanel::UpdateOpaque() {
  // Over a plain background the box paints that background itself (see
  // paintEvent), so what lies under it need not be painted first.
  setAttribute(Qt::WA_OpaquePaintEvent,
               palette().brush(backgroundRole()).style() == Qt::SolidPattern);
}

void TTempPanel::changeEvent(QEvent* e) {
  QGroupBox::changeEvent(e);
  if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange) UpdateOpaque();
  if (e->type() == QEvent::StyleChange || e->type() == QEvent::FontChange) {
    // The caption's room, and with it the value's, follows style and font.
    PlaceValueLabel();
    FitValueFont();
  }
}

void TTempPanel::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  // The value text fills the area under the caption.
  PlaceValueLabel();
  FitValueFont();
}

bool TTempPanel::event(QEvent* e) {
  // A change of palette, font, style, screen, focus, hover, activation,
  // enabled state or size arrives as an event; a paint changes nothing.
  if (e->type() != QEvent::Paint) boxHeld_ = false;
  return QGroupBox::event(e);
}

// The look's parts that plain setters change without an event, and the
// window's states a style option takes from the window.
int TTempPanel::LookFlags() const {
  const QWidget* w = window();
  return (isEnabled() ? 1 : 0) | (hasFocus() ? 2 : 0) | (underMouse() ? 4 : 0) |
         (w->isActiveWindow() ? 8 : 0) | (w->testAttribute(Qt::WA_KeyboardFocusChange) ? 16 : 0) |
         (isCheckable() ? 32 : 0) | (isChecked() ? 64 : 0) | (isFlat() ? 128 : 0) |
         (static_cast<int>(alignment()) << 8);
}

// A changed pixel ratio needs no check here: the value is drawn into the
// window's buffer only at one pixel per unit, and the box is checked in full
// for every paint.
bool TTempPanel::BoxLookHeld() const {
  return boxHeld_ && !boxCache_.isNull() && size() == boxKey_.Size && title() == boxKey_.Text &&
         LookFlags() == boxFlags_;
}

const QImage* TTempPanel::Box(bool quick) {
  if (!testAttribute(Qt::WA_OpaquePaintEvent)) return nullptr;
  if (quick && BoxLookHeld()) return &boxCache_;
  QStyleOptionGroupBox opt;
  initStyleOption(&opt);
  const qreal dpr = devicePixelRatioF();
  // What the box's look depends on, compared without formatting anything.
  const TBoxKey key{size(), dpr,    static_cast<int>(opt.state), opt.text, palette().cacheKey(),
                    font(), style()};
  if (boxCache_.isNull() || key != boxKey_) {
    // Drawn the way the window's own buffer is drawn, so that the blending
    // of the style's soft edges rounds the same.
    QImage img(size() * dpr, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(palette().brush(backgroundRole()).color());
    QPainter p(&img);
    style()->drawComplexControl(QStyle::CC_GroupBox, &opt, &p, this);
    p.end();
    boxCache_ = img;
    boxKey_ = key;
  }
  boxHeld_ = true;
  boxFlags_ = LookFlags();
  return &boxCache_;
}

void TTempPanel::paintEvent(QPaintEvent* e) {
  const QImage* box = Box(false);
  if (!box) {
    QGroupBox::paintEvent(e);
    return;
  }
  QPainter p(this);
  p.drawImage(0, 0, *box);
}

void TTempPanel::contextMenuEvent(QContextMenuEvent* e) {
  if (OnPopup) {
    OnPopup(this, e->globalPos());
    e->accept();
  } else {
    QGroupBox::contextMenuEvent(e);
  }
}

void TTempPanel::ShowValue(double x) {
  value_->ShowText(QString::fromStdString(ReadingText(x)));
}
