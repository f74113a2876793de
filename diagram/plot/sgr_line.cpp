// Drawing of the line series: point markers, the every-segment and the
// reduced line through the painter or straight into the image, the quick
// append of one reading and the legend sample.
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cmath>

#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_raster.h"

void Tsp_PointAttr::Changed() {
  if (onChange_) onChange_();
}
void Tsp_PointAttr::LimitBorder() {
  borderWidth_ = std::min({borderWidth_, h_, v_});
}
void Tsp_PointAttr::SetKind(TPointKind k) {
  if (k == kind_) return;
  kind_ = k;
  Changed();
}
void Tsp_PointAttr::SetHSize(int s) {
  if (s < 0) s = 1;
  int h = s / 2;
  if (h == h_) return;
  h_ = h;
  LimitBorder();
  Changed();
}
void Tsp_PointAttr::SetVSize(int s) {
  if (s < 0) s = 1;
  int v = s / 2;
  if (v == v_) return;
  v_ = v;
  LimitBorder();
  Changed();
}
void Tsp_PointAttr::SetVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  Changed();
}
void Tsp_PointAttr::SetBorderWidth(int w) {
  if (w < 0) w = 1;
  w = std::min({w, h_, v_});
  if (w == borderWidth_) return;
  borderWidth_ = w;
  Changed();
}
void Tsp_PointAttr::SetBorderColor(TColor c) {
  if (c == borderColor_) return;
  borderColor_ = c;
  Changed();
}
void Tsp_PointAttr::SetColor(TColor c) {
  if (c == color_) return;
  color_ = c;
  Changed();
}
void Tsp_PointAttr::SetBrushStyle(Qt::BrushStyle s) {
  if (s == brushStyle_) return;
  brushStyle_ = s;
  Changed();
}
void Tsp_PointAttr::Assign(const Tsp_PointAttr& o) {
  kind_ = o.kind_;
  visible_ = o.visible_;
  h_ = o.h_;
  v_ = o.v_;
  color_ = o.color_;
  brushStyle_ = o.brushStyle_;
  LimitBorder();
  Changed();
}

Tsp_XYLine::Tsp_XYLine(QObject* owner) : Tsp_XYDataSeries(owner) {
  pointAttr_.SetOnChange([this] { AttrChanged(true); });
}

Tsp_XYLine::~Tsp_XYLine() {
  pointAttr_.SetOnChange(nullptr);
}

void Tsp_XYLine::AttrChanged(bool pointAttr) {
  Tsp_XYDataSeries::AttrChanged(pointAttr);
}

void Tsp_XYLine::SetLineDrawing(TLineDrawing d) {
  if (d == drawing_) return;
  drawing_ = d;
  AttrChanged(false);
}

namespace {
// One buffer for the segments of whichever line is being drawn: it stays in
// the processor's cache from line to line, where a buffer per line would
// not. GUI thread only, like all drawing.
std::vector<TPixelSegment>& SegmentScratch() {
  static std::vector<TPixelSegment> buf;
  return buf;
}
}  // namespace

namespace {
// Wide solid pens go straight into a 32-bit image: the painter's path
// stroking costs about a microsecond per segment, this a few nanoseconds.
bool DirectPen(const Tsp_LineAttr& la) {
  return la.Width() >= 2 && (la.Style() == psSolid || la.Style() == psInsideFrame);
}
}  // namespace

void Tsp_XYLine::DrawLines(QPainter& p, const std::vector<TPixelSegment>& lines, bool direct) {
  if (lines.empty()) return;
  const Tsp_LineAttr& la = LineAttr();
  if (direct && Plot() && DirectPen(la)) {
    if (QImage* img = Tsp_XYPlot::DirectImage(p)) {
      const QRect clip = Plot()->FieldRect() & img->rect();
      if (!clip.isEmpty()) DirectFill(lines, *img, clip);
      return;
    }
  }
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.setPen(la.Pen());
  p.setBrush(Qt::NoBrush);
  std::vector<QLine> q;
  q.reserve(lines.size());
  for (const TPixelSegment& l : lines) q.emplace_back(l.X1, l.Y1, l.X2, l.Y2);
  p.drawLines(q.data(), static_cast<int>(q.size()));
}

namespace {
std::vector<TPixelSegment>& NotedScratch() {
  static std::vector<TPixelSegment> buf;
  return buf;
}
}  // namespace

void Tsp_XYLine::DirectFill(const std::vector<TPixelSegment>& segs, QImage& img,
                            const QRect& clip) {
  const Tsp_LineAttr& la = LineAttr();
  if (Plot() && Plot()->KeptDrawing()) {
    std::vector<TPixelSegment>& noted = NotedScratch();
    NotedSegments(nullptr, noted);
    FillSegments(img, clip, noted, la.Width() / 2.0, 0xFF000000u | la.Color());
    return;
  }
  FillSegments(img, clip, segs, la.Width() / 2.0, 0xFF000000u | la.Color());
}

Tsp_DataSeries::TDirect Tsp_XYLine::DirectPrepare() {
  Tsp_XYPlot* pl = Plot();
  const int n = Count();
  if (!pl || !pl->Drawing() || pointAttr_.Visible()) return dNo;
  const Tsp_LineAttr& la = LineAttr();
  if (!la.Visible() || la.Style() == psClear || n < 2) return dNothing;
  Tsp_Axis& ax = *HAxis();
  Tsp_Axis& ay = *VAxis();
  double xmin, xmax, ymin, ymax;
  if (!GetXMin(xmin) || !GetXMax(xmax) || !GetYMin(ymin) || !GetYMax(ymax)) return dNothing;
  if (xmin > ax.Max() || xmax < ax.Min() || ymin > ay.Max() || ymax < ay.Min()) return dNothing;
  if (drawing_ != ldReduced || !XSorted() || HasNaNY() || !DirectPen(la)) return dNo;
  return dYes;
}

void Tsp_XYLine::DirectBuild(std::vector<TPixelSegment>& segs) {
  segs.clear();
  const uint64_t serial = Plot() ? Plot()->DrawSerial() : 0;
  if (serial) StartDrawn(serial);
  // A kept drawing fills from the notes, and only where something changed:
  // building every segment would cost more than the rest of it.
  const bool kept = serial != 0 && Plot()->KeptDrawing();
  BuildReduced(*HAxis(), *VAxis(), kept ? nullptr : &segs, serial != 0);
}

void Tsp_XYLine::StartDrawn(uint64_t serial) {
  const Tsp_XYPlot& pl = *Plot();
  const int lo = pl.FieldLeft() - 3;
  const size_t columns = static_cast<size_t>(std::max(pl.FieldRight() - pl.FieldLeft() + 7, 0));
  const QRgb color = 0xFF000000u | LineAttr().Color();
  const double halfWidth = LineAttr().Width() / 2.0;
  TDrawn& d = drawn_;
  const bool same = d.Serial != 0 && d.Lo == lo && d.Columns.size() == columns &&
                    d.Color == color && d.HalfWidth == halfWidth;
  d.Before = same ? d.Serial : 0;
  if (!same) {
    d.Columns.assign(columns, TDrawnColumn());
    d.Lo = lo;
    d.Color = color;
    d.HalfWidth = halfWidth;
    d.HasTail = false;
  }
  d.Serial = serial;
  if (!same) d.LongJoins.clear();
  d.Changes.clear();
  d.TailBefore = d.Tail;
  d.HadTail = d.HasTail;
  d.HasTail = false;
}

void Tsp_XYLine::NotedSegments(const TColumnRuns* runs, std::vector<TPixelSegment>& out) const {
  out.clear();
  const TDrawn& d = drawn_;
  const int n = static_cast<int>(d.Columns.size());
  auto add = [&](const QPoint& a, const QPoint& b) {
    if (!(FarOff(a) && FarOff(b))) out.emplace_back(a, b);
  };
  // What the reducer's Emit added for entry k; the join only when bar is
  // false.
  auto column = [&](int k, bool bar) {
    const TDrawnColumn& e = d.Columns[static_cast<size_t>(k)];
    if (e.Kind == 0) return;
    const int c = d.Lo + k;
    if (e.Kind == 2) add(QPoint(e.PrevX, e.PrevY), QPoint(c, e.YFirst));
    if (bar && e.YMin != e.YMax) add(QPoint(c, e.YMin), QPoint(c, e.YMax));
  };
  if (!runs) {
    for (int k = 0; k < n; ++k) column(k, true);
  } else {
    // Entries near a run: their bar and short join reach at most this far,
    // in columns and in rows. An entry is skipped when its segments stay
    // clear of the rows of every run it can reach (most lines, most runs).
    const int pad = SegmentColumnPad(d.HalfWidth);
    const int reach = pad + TDrawn::kShortJoin;
    const std::vector<TColumnRun>& rs = runs->Runs;
    int next = 0;
    for (size_t r = 0; r < rs.size(); ++r) {
      const int k0 = std::max(next, rs[r].First - reach - d.Lo),
                k1 = std::min(n - 1, rs[r].Last + reach - d.Lo);
      for (int k = k0; k <= k1; ++k) {
        const TDrawnColumn& e = d.Columns[static_cast<size_t>(k)];
        if (e.Kind == 0) continue;
        int top, bottom;
        SegmentRows(e.YMin, e.YMax, pad, top, bottom);
        if (e.Kind == 2) {
          int jt, jb;
          SegmentRows(e.PrevY, e.YFirst, pad, jt, jb);
          top = std::min(top, jt);
          bottom = std::max(bottom, jb);
        }
        // The runs whose reach includes column k: this one and the next
        // few, which start close enough.
        bool near = false;
        for (size_t q = r; q < rs.size() && rs[q].First - reach - d.Lo <= k; ++q)
          if (top <= rs[q].Bottom && rs[q].Top <= bottom && k <= rs[q].Last + reach - d.Lo) {
            near = true;
            break;
          }
        if (near) column(k, true);
      }
      next = std::max(next, k1 + 1);
    }
    // Long joins: the pixels beyond the run are clipped anyway.
    for (int32_t k : d.LongJoins) column(k, false);
  }
  if (d.HasTail) add(QPoint(d.Tail.X1, d.Tail.Y1), QPoint(d.Tail.X2, d.Tail.Y2));
}

namespace {
bool HasBar(const Tsp_XYLine::TDrawnColumn& d) {
  return d.Kind != 0 && d.YMin != d.YMax;
}
bool SameBar(const Tsp_XYLine::TDrawnColumn& a, const Tsp_XYLine::TDrawnColumn& b) {
  return HasBar(a) == HasBar(b) && (!HasBar(a) || (a.YMin == b.YMin && a.YMax == b.YMax));
}
bool SameJoin(const Tsp_XYLine::TDrawnColumn& a, const Tsp_XYLine::TDrawnColumn& b) {
  return (a.Kind == 2) == (b.Kind == 2) &&
         (a.Kind != 2 || (a.PrevX == b.PrevX && a.PrevY == b.PrevY && a.YFirst == b.YFirst));
}
}  // namespace

// A column whose entry changed marks the pixel columns its old and new
// segments reach. With the 2-pixel pen most changes are joins between
// neighbouring columns that moved within the bars around them (the time
// axis slid a point from one column to the next): a join whose every pixel
// lies under an unchanged bar of this line changes nothing.
bool Tsp_XYLine::DirectChanges(uint64_t kept, std::vector<TRowSpan>& changed) {
  const TDrawn& b = drawn_;
  if (kept == 0 || b.Before != kept || b.Serial == 0) return false;
  const int pad = SegmentColumnPad(b.HalfWidth);
  const int w = static_cast<int>(changed.size());
  const size_t n = b.Columns.size();
  auto mark = [&](int x0, int x1, int y0, int y1) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, w - 1);
    int r0, r1;
    SegmentRows(y0, y1, pad, r0, r1);
    for (int x = x0; x <= x1; ++x) changed[static_cast<size_t>(x)].Add(r0, r1);
  };
  auto markJoin = [&](int x0, int y0, int x1, int y1) {
    mark(std::min(x0, x1) - pad, std::max(x0, x1) + pad, y0, y1);
  };
  const bool bars = b.HalfWidth == 1.0;
  // Pass 1: changed bars (old and new); a bar of the 2-pixel pen at c
  // covers c - 1 and c.
  auto markBar = [&](const TDrawnColumn& d, int c) {
    if (!HasBar(d)) return;
    if (bars)
      mark(c - 1, c, d.YMin, d.YMax);
    else
      mark(c - pad, c + pad, d.YMin, d.YMax);
  };
  for (const TDrawn::TChange& ch : b.Changes) {
    const size_t k = static_cast<size_t>(ch.K);
    if (SameBar(ch.Old, b.Columns[k])) continue;
    const int c = b.Lo + ch.K;
    markBar(ch.Old, c);
    markBar(b.Columns[k], c);
  }
  // Whether rows r0..r1 of pixel column x lie under the bars there (those
  // of columns x and x + 1, joined where they touch). Where x is not marked
  // those bars are the same in both drawings.
  auto underBars = [&](int x, int r0, int r1) {
    int lo[2], hi[2], m = 0;
    for (int c = x; c <= x + 1; ++c) {
      const size_t k = static_cast<size_t>(c - b.Lo);
      if (k >= n || !HasBar(b.Columns[k])) continue;
      const TDrawnColumn& d = b.Columns[k];
      lo[m] = std::min(d.YMin, d.YMax) - 1;
      hi[m] = std::max(d.YMin, d.YMax);
      ++m;
    }
    if (m == 2 && lo[1] <= hi[0] + 1 && lo[0] <= hi[1] + 1) {
      lo[0] = std::min(lo[0], lo[1]);
      hi[0] = std::max(hi[0], hi[1]);
    }
    for (int i = 0; i < m; ++i)
      if (lo[i] <= r0 && r1 <= hi[i]) return true;
    return false;
  };
  // Pixels in rows already marked are redrawn anyway.
  auto redrawn = [&](int x, int r0, int r1) {
    return changed[static_cast<size_t>(x)].Covers(r0, r1);
  };
  auto checkJoin = [&](const TDrawnColumn& d, int c) {
    if (d.Kind != 2) return;
    if (!bars || std::abs(d.PrevX - c) > TDrawn::kShortJoin) {
      markJoin(d.PrevX, d.PrevY, c, d.YFirst);
      return;
    }
    const TPixelSegment seg(QPoint(d.PrevX, d.PrevY), QPoint(c, d.YFirst));
    bool hidden = true;
    TStrokeColumns sc;
    if (StrokeColumns(seg, b.HalfWidth, sc)) {
      for (int k = 0; hidden && k < sc.Count; ++k) {
        const int x = sc.First + k;
        const int r0 = sc.Rows[k][0], r1 = sc.Rows[k][1];
        if (x < 0 || x >= w || r0 > r1 || redrawn(x, r0, r1)) continue;
        hidden = underBars(x, r0, r1);
      }
    } else {
      StrokeRows(seg, b.HalfWidth, [&](int row, int c0, int c1) {
        for (int x = c0; hidden && x <= c1; ++x)
          if (x >= 0 && x < w && !redrawn(x, row, row) && !underBars(x, row, row)) hidden = false;
      });
    }
    if (!hidden) markJoin(d.PrevX, d.PrevY, c, d.YFirst);
  };
  // Pass 2: changed joins.
  for (const TDrawn::TChange& ch : b.Changes) {
    const size_t k = static_cast<size_t>(ch.K);
    if (SameJoin(ch.Old, b.Columns[k])) continue;
    const int c = b.Lo + ch.K;
    checkJoin(ch.Old, c);
    checkJoin(b.Columns[k], c);
  }
  const TPixelSegment &t0 = b.TailBefore, &t1 = b.Tail;
  if (b.HadTail != b.HasTail ||
      (b.HasTail && (t0.X1 != t1.X1 || t0.Y1 != t1.Y1 || t0.X2 != t1.X2 || t0.Y2 != t1.Y2))) {
    if (b.HadTail) markJoin(t0.X1, t0.Y1, t0.X2, t0.Y2);
    if (b.HasTail) markJoin(t1.X1, t1.Y1, t1.X2, t1.Y2);
  }
  return true;
}

void Tsp_XYLine::DirectFillRuns(const std::vector<TPixelSegment>& segs, QImage& img,
                                const QRect& clip, const TColumnRuns& runs) {
  const Tsp_LineAttr& la = LineAttr();
  if (Plot() && Plot()->KeptDrawing()) {
    std::vector<TPixelSegment>& noted = NotedScratch();
    NotedSegments(&runs, noted);
    FillSegmentsInRuns(img, clip, noted, la.Width() / 2.0, 0xFF000000u | la.Color(), runs);
    return;
  }
  FillSegmentsInRuns(img, clip, segs, la.Width() / 2.0, 0xFF000000u | la.Color(), runs);
}

void Tsp_XYLine::DrawLineEvery(QPainter& p, Tsp_Axis& ax, Tsp_Axis& ay) {
  std::vector<TPixelSegment>& segs = SegmentScratch();
  segs.clear();
  const int n = Count();
  auto nanAt = [&](int i) {
    const TXY& t = pts_[Phys(i)];
    return std::isnan(t.x) || std::isnan(t.y);
  };
  QPoint prev(ax.ValueToPixel(GetX(0)), ay.ValueToPixel(GetY(0)));
  bool prevNaN = nanAt(0);
  for (int i = 1; i < n; ++i) {
    const TXY& t = pts_[Phys(i)];
    QPoint cur(ax.ValueToPixel(t.x), ay.ValueToPixel(t.y));
    bool curNaN = nanAt(i);
    // A point without a value is a gap, not a jump to the edge.
    if (!prevNaN && !curNaN && !(FarOff(prev) && FarOff(cur))) segs.emplace_back(prev, cur);
    prev = cur;
    prevNaN = curNaN;
  }
  DrawLines(p, segs, drawing_ == ldReduced);
}

void Tsp_XYLine::DrawLineReduced(QPainter& p, Tsp_Axis& ax, Tsp_Axis& ay) {
  std::vector<TPixelSegment>& out = SegmentScratch();
  out.clear();
  BuildReduced(ax, ay, &out, false);
  DrawLines(p, out, true);
}

void Tsp_XYLine::DrawPoint(QPainter& p, int x, int y, double xv, double yv) {
  const int h = pointAttr_.HalfH(), v = pointAttr_.HalfV();
  switch (pointAttr_.Kind()) {
    case ptCustom:
      if (OnDrawCustomPoint) OnDrawCustomPoint(this, xv, yv, x, y);
      break;
    case ptEllipse:
      p.drawEllipse(QRect(x - h, y - v, 2 * h, 2 * v));
      break;
    case ptDiamond:
      p.drawPolygon(
          QPolygon({QPoint(x, y - v), QPoint(x + h, y), QPoint(x, y + v), QPoint(x - h, y)}));
      break;
    case ptCross:
      p.drawLine(x - h, y, x + h, y);
      p.drawLine(x, y - v, x, y + v);
      break;
    case ptTriangle:
      p.drawPolygon(QPolygon({QPoint(x, y - v), QPoint(x + h, y + v), QPoint(x - h, y + v)}));
      break;
    case ptDownTriangle:
      p.drawPolygon(QPolygon({QPoint(x - h, y - v), QPoint(x + h, y - v), QPoint(x, y + v)}));
      break;
    default:
      p.drawRect(QRect(x - h, y - v, 2 * h, 2 * v));
      break;
  }
}

static void SetMarkerPen(QPainter& p, const Tsp_PointAttr& pa) {
  QPen pen(ToQColor(pa.BorderColor()));
  pen.setWidth(pa.BorderWidth());
  pen.setStyle(Qt::SolidLine);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.setPen(pen);
  p.setBrush(QBrush(ToQColor(pa.Color()), pa.BrushStyle()));
}

void Tsp_XYLine::Draw() {
  Tsp_XYPlot* pl = Plot();
  const int n = Count();
  if (!pl || n == 0 || !pl->Canvas()) return;
  const bool lineOn = LineAttr().Visible() && LineAttr().Style() != psClear && n >= 2;
  if (!lineOn && !pointAttr_.Visible()) return;
  Tsp_Axis& ax = *HAxis();
  Tsp_Axis& ay = *VAxis();
  double xmin, xmax, ymin, ymax;
  if (!GetXMin(xmin) || !GetXMax(xmax) || !GetYMin(ymin) || !GetYMax(ymax)) return;
  if (xmin > ax.Max() || xmax < ax.Min() || ymin > ay.Max() || ymax < ay.Min()) return;
  QPainter& p = *pl->Canvas();
  p.save();
  if (lineOn) {
    if (drawing_ == ldReduced && XSorted() && !HasNaNY())
      DrawLineReduced(p, ax, ay);
    else
      DrawLineEvery(p, ax, ay);
  }
  if (pointAttr_.Visible()) {
    SetMarkerPen(p, pointAttr_);
    const QRect field = pl->FieldRect();
    for (int i = 0; i < n; ++i) {
      const TXY& t = pts_[Phys(i)];
      QPoint q(ax.ValueToPixel(t.x), ay.ValueToPixel(t.y));
      if (std::isnan(t.x) || std::isnan(t.y)) continue;
      if (field.contains(q)) DrawPoint(p, q.x(), q.y(), t.x, t.y);
    }
  }
  p.restore();
}

void Tsp_XYLine::QuickAddXY(double x, double y) {
  Store(x, y);
  Tsp_XYPlot* pl = Plot();
  if (!pl || !Active()) return;
  QImage* bmp = pl->Bitmap();
  if (!bmp) {
    // Without the off-screen image there is nothing to draw into outside a
    // paint; the field is repainted instead.
    pl->InvalidateParts(false, false, true);
    return;
  }
  Tsp_Axis& ax = *HAxis();
  Tsp_Axis& ay = *VAxis();
  const QRect field = pl->FieldRect();
  QPainter p(bmp);
  p.setClipRect(field);
  const int n = Count();
  const TXY& last = pts_[Phys(n - 1)];
  QPoint q(ax.ValueToPixel(last.x), ay.ValueToPixel(last.y));
  if (LineAttr().Visible() && LineAttr().Style() != psClear && n >= 2) {
    const TXY& pr = pts_[Phys(n - 2)];
    QPoint o(ax.ValueToPixel(pr.x), ay.ValueToPixel(pr.y));
    if (field.contains(o) || field.contains(q)) {
      std::vector<TPixelSegment>& one = SegmentScratch();
      one.assign(1, TPixelSegment(o, q));
      DrawLines(p, one, drawing_ == ldReduced);
    }
  }
  if (pointAttr_.Visible() && field.contains(q)) {
    SetMarkerPen(p, pointAttr_);
    DrawPoint(p, q.x(), q.y(), last.x, last.y);
  }
  p.end();
  // The field now holds a segment no drawing of it has.
  pl->ForgetKeptField();
  pl->update();
}

void Tsp_XYLine::DrawLegendSample(QPainter& canvas, const QRect& r) {
  const bool lineOn = LineAttr().Visible();
  if (!lineOn && !pointAttr_.Visible()) return;
  const QPen oldPen = canvas.pen();
  const QBrush oldBrush = canvas.brush();
  const int left = r.left(), right = r.left() + r.width();
  const int y = (r.top() + r.top() + r.height()) / 2;
  if (lineOn) {
    canvas.setPen(LineAttr().Pen());
    canvas.drawLine(left + 1, y, right, y);
  }
  if (pointAttr_.Visible()) {
    SetMarkerPen(canvas, pointAttr_);
    DrawPoint(canvas, (left + right) / 2, y, 0, 0);
  }
  canvas.setPen(oldPen);
  canvas.setBrush(oldBrush);
}
