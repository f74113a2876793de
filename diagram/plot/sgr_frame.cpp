// Layout of the plot around its field and the drawing of everything outside
// it: the axes with their ticks and labels, the grid and the border.
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "diagram/plot/sgr_def.h"

void Tsp_XYPlot::CalcLayout(QPainter& canvas) {
  QFontMetrics fm(font(), canvas.device());
  const int cw = fm.horizontalAdvance(QLatin1Char('0'));
  const int ch = fm.height();
  const int W = dWidth_, H = dHeight_;
  Tsp_Axis &L = *left_, &R = *right_, &B = *bottom_, &T = *top_;
  int lr =
      std::max({L.Extent(cw, ch), B.StartOverhang(cw, ch), T.StartOverhang(cw, ch)}) + L.Margin();
  int br =
      std::max({B.Extent(cw, ch), L.StartOverhang(cw, ch), R.StartOverhang(cw, ch)}) + B.Margin();
  int rr = std::max({R.Extent(cw, ch), B.EndOverhang(cw, ch), T.EndOverhang(cw, ch)}) + R.Margin();
  int tr = std::max({T.Extent(cw, ch), L.EndOverhang(cw, ch), R.EndOverhang(cw, ch)}) + T.Margin();
  fLeft_ = lr;
  fTop_ = tr;
  fRight_ = W - rr;
  fBottom_ = H - br;
  if (fRight_ < fLeft_ + 3) fRight_ = fLeft_ + 3;
  if (fBottom_ < fTop_ + 3) fBottom_ = fTop_ + 3;
  L.SetLinePos(fLeft_ - 1, fBottom_ - 1, fBottom_ - fTop_ - 1);
  R.SetLinePos(fRight_, fBottom_ - 1, fBottom_ - fTop_ - 1);
  B.SetLinePos(fLeft_, fBottom_, fRight_ - fLeft_ - 1);
  T.SetLinePos(fLeft_, fTop_ - 1, fRight_ - fLeft_ - 1);
  layoutValid_ = true;
}

namespace {
// Outline of the pixels [l, r) x [t, b).
void Outline(QPainter& p, int l, int t, int r, int b, const QColor& c) {
  if (r <= l || b <= t) return;
  p.fillRect(l, t, r - l, 1, c);
  p.fillRect(l, b - 1, r - l, 1, c);
  p.fillRect(l, t, 1, b - t, c);
  p.fillRect(r - 1, t, 1, b - t, c);
}
int VisibleWidth(const Tsp_Axis& a) {
  return a.LineAttr().Visible() ? a.LineAttr().Width() : 0;
}

// Horizontal or vertical grid line with the attribute's pen; exact pixels
// for the common solid one-pixel case.
}  // namespace

void Tsp_XYPlot::DrawFrame(QPainter& p) {
  const int W = dWidth_, H = dHeight_;
  p.save();
  p.setClipping(false);
  p.setFont(font());
  p.fillRect(QRect(QPoint(0, 0), QPoint(W - 1, fTop_ - 1)), bgColor_);
  p.fillRect(QRect(QPoint(0, fBottom_ + 1), QPoint(W - 1, H - 1)), bgColor_);
  p.fillRect(QRect(QPoint(0, fTop_), QPoint(fLeft_ - 1, fBottom_)), bgColor_);
  p.fillRect(QRect(QPoint(fRight_, fTop_), QPoint(W - 1, fBottom_)), bgColor_);
  p.setBrush(Qt::NoBrush);
  top_->DrawAxisLine(p, 0, VisibleWidth(*right_));
  right_->DrawAxisLine(p, VisibleWidth(*bottom_), 0);
  bottom_->DrawAxisLine(p, VisibleWidth(*left_), 0);
  left_->DrawAxisLine(p, 0, VisibleWidth(*top_));
  QPen tickPen(palette().color(QPalette::WindowText));
  tickPen.setWidth(1);
  p.setPen(tickPen);
  for (Tsp_Axis* a : {top_.get(), right_.get(), left_.get(), bottom_.get()}) a->DrawTicks(p);
  // Captions; a vertical one runs upwards, centred on the field.
  QFont bold = font();
  bold.setWeight(QFont::Bold);
  QFontMetrics fmBold(bold, p.device());
  const int h8 = fmBold.height();
  p.setFont(bold);
  auto drawAt = [&](int x, int y, const std::string& text) {
    p.drawText(QPoint(x, y + fmBold.ascent()), QString::fromStdString(text));
  };
  if (bottom_->HasCaption()) {
    int tw = fmBold.horizontalAdvance(QString::fromStdString(bottom_->Caption()));
    drawAt((fLeft_ + fRight_ - tw) / 2, H - bottom_->Margin(), bottom_->Caption());
  }
  if (top_->HasCaption()) {
    int tw = fmBold.horizontalAdvance(QString::fromStdString(top_->Caption()));
    drawAt((fLeft_ + fRight_ - tw) / 2, top_->Margin() - 1 - h8, top_->Caption());
  }
  auto drawUp = [&](int x, const std::string& text) {
    QString s = QString::fromStdString(text);
    int tw = fmBold.horizontalAdvance(s);
    int y = (tw + fTop_ + fBottom_) / 2;
    p.save();
    p.translate(x, y);
    p.rotate(-90);
    p.drawText(QPoint(0, fmBold.ascent()), s);
    p.restore();
  };
  if (left_->HasCaption()) drawUp(left_->Margin() - 1 - h8, left_->Caption());
  if (right_->HasCaption()) drawUp(W - right_->Margin(), right_->Caption());
  p.restore();
}

void Tsp_XYPlot::DrawBorder(QPainter& p) {
  const int W = dWidth_, H = dHeight_;
  const QColor hi = palette().color(QPalette::Light), sh = palette().color(QPalette::Dark);
  p.save();
  p.setClipping(false);
  switch (borderStyle_) {
    case bs_None:
      Outline(p, 0, 0, W, H, bgColor_);
      Outline(p, 1, 1, W - 1, H - 1, bgColor_);
      break;
    case bs_Raised:
    case bs_Lowered: {
      QColor tl = borderStyle_ == bs_Raised ? hi : sh, br = borderStyle_ == bs_Raised ? sh : hi;
      p.fillRect(0, 0, W, 1, tl);
      p.fillRect(0, 0, 1, H, tl);
      p.fillRect(0, H - 1, W, 1, br);
      p.fillRect(W - 1, 0, 1, H, br);
      Outline(p, 1, 1, W - 1, H - 1, bgColor_);
      break;
    }
    case bs_Gutter:
      Outline(p, 1, 1, W, H, hi);
      Outline(p, 0, 0, W - 1, H - 1, sh);
      break;
    case bs_BlackRect:
      Outline(p, 0, 0, W, H, Qt::black);
      Outline(p, 1, 1, W - 1, H - 1, bgColor_);
      break;
    case bs_BoldRect:
      Outline(p, 0, 0, W, H, Qt::black);
      Outline(p, 1, 1, W - 1, H - 1, Qt::black);
      break;
    case bs_FocusRect: {
      Outline(p, 0, 0, W, H, Qt::white);
      Outline(p, 1, 1, W - 1, H - 1, Qt::white);
      QPen dot(Qt::black);
      dot.setStyle(Qt::DotLine);
      dot.setWidth(1);
      p.setPen(dot);
      p.setBrush(Qt::NoBrush);
      p.drawRect(0, 0, W - 1, H - 1);
      p.drawRect(1, 1, W - 3, H - 3);
      break;
    }
  }
  p.restore();
}
