#include "app/ValueLabel.h"

#include <QBackingStore>
#include <QGlyphRun>
#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>
#include <QTextLine>
#include <QVector>
#include <QWindow>
#include <cstring>
#include <map>

#include "diagram/plot/sgr_def.h"

namespace {

int AlphabetIndex(QChar c) {
  return TValueLabel::Alphabet().indexOf(c);
}

// Lays out text as the label's text drawing does: one line, left to right.
bool LayOut(const QString& text, const QFont& f, QPaintDevice* dev, QGlyphRun& run, qreal& ascent) {
  QTextLayout layout(text, f, dev);
  QTextOption opt;
  opt.setWrapMode(QTextOption::NoWrap);
  opt.setTextDirection(Qt::LeftToRight);
  layout.setTextOption(opt);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  if (!line.isValid()) return false;
  line.setLineWidth(1e6);
  line.setPosition(QPointF(0, 0));
  layout.endLayout();
  const QList<QGlyphRun> runs = layout.glyphRuns();
  if (runs.size() != 1) return false;  // a fallback font, for instance
  run = runs.front();
  ascent = line.ascent();
  return true;
}

constexpr int kTableCacheSize = 16;

}  // namespace

const QString& TValueLabel::Alphabet() {
  static const QString a = QString::fromUtf8("0123456789+-.,E\u00B0C");
  return a;
}

TValueLabel::TValueLabel(QWidget* parent) : QLabel(parent) {
  // A reading is never rich text: no guess at every new value.
  setTextFormat(Qt::PlainText);
}

void TValueLabel::SetGlyphsAllowed(bool on) {
  allowed_ = on;
  update();
}

// The label as the panel sets it up, drawn by a style that draws item text
// with the painter's own text drawing. For a new text (newText) the picture
// and the pixel ratio are left out: setting the text drops any picture, and
// the direct drawing checks the ratio of the window's buffer.
bool TValueLabel::Plain(bool newText) const {
  if (!allowed_ || !isEnabled() || frameShape() != QFrame::NoFrame || margin() != 0 ||
      indent() > 0 || wordWrap() || alignment() != (Qt::AlignHCenter | Qt::AlignTop) ||
      layoutDirection() != Qt::LeftToRight || textFormat() != Qt::PlainText || buddy() ||
      (textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard)) ||
      (!newText && (devicePixelRatioF() != 1 || !pixmap().isNull())))
    return false;
  if (style() != styleChecked_) {
    styleChecked_ = style();
    const QString name = styleChecked_->name().toLower();
    styleOk_ = name == "fusion" || name == "windows";
  }
  return styleOk_;
}

// Per font: the glyph and advance of every character a reading uses, taken
// from one layout of every pair of them, so that a glyph that changes with
// its neighbour (kerning, substitution) is seen. Then a few readings drawn
// both ways must agree pixel for pixel. Otherwise the table is not usable.
const TValueLabel::TGlyphTable& TValueLabel::Table(const QFont& f) {
  // The font's key is built as a string: compared only when the font changed.
  const int dpi = logicalDpiY();
  if (table_ && tableDpi_ == dpi && f == tableFont_) return *table_;
  tableFont_ = f;
  tableDpi_ = dpi;
  const QString key = f.key() + QLatin1Char('/') + QString::number(dpi);
  static std::map<QString, std::shared_ptr<const TGlyphTable>> cache;
  auto found = cache.find(key);
  if (found != cache.end()) {
    table_ = found->second;
    return *table_;
  }
  auto t = std::make_shared<TGlyphTable>();
  const QString& a = Alphabet();
  QString pairs;
  for (QChar x : a)
    for (QChar y : a) pairs += QString(x) + y;
  QGlyphRun run;
  qreal ascent = 0;
  bool ok = LayOut(pairs, f, this, run, ascent);
  const QVector<quint32> glyphs = ok ? run.glyphIndexes() : QVector<quint32>();
  const QVector<QPointF> pos = ok ? run.positions() : QVector<QPointF>();
  ok = ok && glyphs.size() == pairs.size() && pos.size() == pairs.size();
  std::array<bool, 32> seen{};
  for (int k = 0; ok && k + 1 < pairs.size(); ++k) {
    const int c = AlphabetIndex(pairs[k]);
    const qreal adv = (pos[k + 1].x() - pos[k].x()) * 64;
    const int adv64 = qRound(adv);
    if (adv != adv64 || pos[k].y() != pos[0].y()) ok = false;
    if (!ok) break;
    if (!seen[c]) {
      seen[c] = true;
      t->Glyph[c] = glyphs[k];
      t->Advance64[c] = adv64;
    } else if (t->Glyph[c] != glyphs[k] || t->Advance64[c] != adv64) {
      ok = false;
    }
  }
  for (int c = 0; ok && c < a.size(); ++c) ok = seen[c];
  if (ok) {
    t->Raw = run.rawFont();
    t->Baseline64 = qRound(pos[0].y() * 64);
    ok = t->Raw.isValid() && t->Baseline64 == qRound(ascent * 64);
  }
  if (ok) {
    t->Usable = true;
    const QStringList samples = {
        QString::fromUtf8("-123.45\u00B0C"), QString::fromUtf8("0.00\u00B0C"),
        QString::fromUtf8("---,--\u00B0C"),  QString::fromUtf8("27,81\u00B0C"),
        QString::fromUtf8("-8.1\u00B0C"),    QString::fromUtf8("1.5E+6\u00B0C")};
    for (int w : {width(), width() + 1})
      for (const QString& s : samples) {
        QImage ours(qMax(w, 1), qMax(height(), 1), QImage::Format_ARGB32_Premultiplied);
        ours.setDotsPerMeterX(qRound(logicalDpiX() / 0.0254));
        ours.setDotsPerMeterY(qRound(logicalDpiY() / 0.0254));
        ours.fill(Qt::white);
        QImage theirs = ours;
        QPainter po(&ours), pt(&theirs);
        for (QPainter* p : {&po, &pt}) {
          p->setFont(font());
          p->setPen(QPen(palette().brush(foregroundRole()), 1));
        }
        const bool drawn = DrawGlyphs(po, QRect(0, 0, w, height()), s, *t);
        pt.drawText(QRect(0, 0, w, height()),
                    Qt::AlignHCenter | Qt::AlignTop | Qt::TextForceLeftToRight, s);
        po.end();
        pt.end();
        if (!drawn || ours != theirs) t->Usable = false;
      }
  }
  if (cache.size() >= kTableCacheSize) cache.clear();
  cache[key] = t;
  table_ = t;
  return *table_;
}

bool TValueLabel::DrawGlyphs(QPainter& p, const QRect& r, const QString& text,
                             const TGlyphTable& t) const {
  const int n = static_cast<int>(text.size());
  if (n == 0 || n > 64) return false;
  QVector<quint32> glyphs(n);
  QVector<QPointF> pos(n);
  qint64 x = 0;
  std::array<int, 64> at{};
  for (int k = 0; k < n; ++k) {
    const int c = AlphabetIndex(text[k]);
    if (c < 0) return false;
    at[static_cast<size_t>(k)] = static_cast<int>(x);
    glyphs[k] = t.Glyph[static_cast<size_t>(c)];
    x += t.Advance64[static_cast<size_t>(c)];
  }
  // The line is centred in the rectangle from its advance in the layout's
  // 1/64 pixel, the half unit of an odd difference dropped, as the painter's
  // text drawing places it. A text wider than the rectangle is left to it.
  const qint64 room = static_cast<qint64>(r.width()) * 64;
  if (x > room) return false;
  const qint64 x0 = static_cast<qint64>(r.x()) * 64 + (room - x) / 2;
  const qint64 y0 = static_cast<qint64>(r.y()) * 64 + t.Baseline64;
  for (int k = 0; k < n; ++k) pos[k] = QPointF((x0 + at[static_cast<size_t>(k)]) / 64.0, y0 / 64.0);
  QGlyphRun run;
  run.setRawFont(t.Raw);
  run.setGlyphIndexes(glyphs);
  run.setPositions(pos);
  p.drawGlyphRun(QPointF(0, 0), run);
  return true;
}

void TValueLabel::paintEvent(QPaintEvent* e) {
  lastGlyphs_ = false;
  const QString s = text();
  if (s.isEmpty() || !Plain()) {
    QLabel::paintEvent(e);
    return;
  }
  QPainter p(this);
  const TGlyphTable& t = Table(p.font());
  if (!t.Usable) {
    p.end();
    QLabel::paintEvent(e);
    return;
  }
  // The pen the style's item text takes: the label's text colour.
  p.setPen(QPen(palette().brush(foregroundRole()), p.pen().widthF()));
  lastGlyphs_ = DrawGlyphs(p, contentsRect(), s, t);
  if (!lastGlyphs_) {
    p.end();
    QLabel::paintEvent(e);
  }
}

void TValueLabel::ShowText(const QString& s) {
  lastDirect_ = false;
  if (s == text()) return;
  if (!direct_ || s.isEmpty() || !isVisible() || !updatesEnabled() || autoFillBackground() ||
      graphicsEffect() || !Plain(true)) {
    setText(s);
    return;
  }
  // The text becomes the label's as always; only the repaint it would ask
  // for is left out, and asked for after all if the direct drawing fails.
  setAttribute(Qt::WA_UpdatesDisabled, true);
  setText(s);
  setAttribute(Qt::WA_UpdatesDisabled, false);
  if (ShowDirect(s)) {
    lastDirect_ = lastGlyphs_ = true;
  } else {
    update(contentsRect());
  }
}

bool TValueLabel::ShowDirect(const QString& s) {
  QWidget* top = window();
  if (top == this) return false;
  QWindow* win = nullptr;
  QBackingStore* store = nullptr;
  QImage* img = WindowBufferImage(this, win, store, false);
  if (!img) return false;
  QPaintDevice* dev = img;
  const QImage::Format f = img->format();
  const QImage* under = Underlay ? Underlay() : nullptr;
  const QRect here = geometry();  // in the parent, where the underlay is
  if (!under || under->devicePixelRatio() != 1 || under->depth() != 32 ||
      !under->rect().contains(here))
    return false;
  const QPoint off = mapTo(top, QPoint(0, 0));
  const QRect out(off, size());
  if (!img->rect().contains(out) || visibleRegion() != QRegion(rect())) return false;
  const TGlyphTable& t = Table(font());
  if (!t.Usable) return false;

  if (scratch_.size() != size() || scratch_.format() != f) {
    scratchPainter_.reset();
    scratch_ = QImage(size(), f);
  }
  // An opaque underlay's pixels are the same bits in either format.
  const size_t rowBytes = static_cast<size_t>(here.width()) * 4;
  uchar* sb = scratch_.bits();
  for (int y = 0; y < here.height(); ++y)
    std::memcpy(sb + static_cast<ptrdiff_t>(y) * scratch_.bytesPerLine(),
                under->constScanLine(here.y() + y) + here.x() * 4, rowBytes);
  if (!scratchPainter_) scratchPainter_ = std::make_unique<QPainter>(&scratch_);
  QPainter& p = *scratchPainter_;
  // The pen the label's own painter takes: the text colour, one pixel wide.
  p.setPen(QPen(palette().brush(foregroundRole()), 1));
  if (!DrawGlyphs(p, contentsRect(), s, t)) return false;

  store->beginPaint(QRegion(out));
  // The buffer may be replaced on its way into a paint (a resize).
  if (store->paintDevice() != dev || img->format() != f) {
    store->endPaint();
    return false;
  }
  uchar* dst = img->bits();
  for (int y = 0; y < out.height(); ++y)
    std::memcpy(dst + static_cast<ptrdiff_t>(off.y() + y) * img->bytesPerLine() + off.x() * 4,
                scratch_.constScanLine(y), rowBytes);
  store->endPaint();
  store->flush(QRegion(out), win);
  return true;
}
