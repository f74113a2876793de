#include "diagram/plot/sgr_data.h"

#include <sys/mman.h>

#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kFar = 16000;
bool FarOff(const QPoint& p) {
  return p.x() < -kFar || p.x() > kFar || p.y() < -kFar || p.y() > kFar;
}
}  // namespace

// ---- point attributes ----

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

// ---- storage ----

Tsp_XYDataSeries::Tsp_XYDataSeries(QObject* owner) : Tsp_DataSeries(owner) {
  lineAttr_.SetOnChange([this] { AttrChanged(false); });
}

Tsp_XYDataSeries::~Tsp_XYDataSeries() {
  lineAttr_.SetOnChange(nullptr);
  SetPlot(nullptr);
}

void Tsp_XYDataSeries::SetActive(bool a) {
  if (a == active_) return;
  active_ = a;
  if (Plot()) Plot()->SeriesChanged(this);
}

void Tsp_XYDataSeries::SetLineAttr(const Tsp_CustomLineAttr& a) {
  if (lineAttr_.SameAs(a)) return;
  lineAttr_.Assign(a);
  AttrChanged(false);
}

void Tsp_XYDataSeries::AttrChanged(bool) {
  if (Plot() && active_) Plot()->InvalidateParts(false, false, true);
}

namespace {
constexpr size_t kLargePage = size_t(2) << 20;
constexpr size_t kLargeFrom = size_t(1) << 20;
}  // namespace

void* AllocateLargeBuffer(size_t bytes) {
  if (bytes < kLargeFrom) return ::operator new(bytes);
  const size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
  void* p = std::aligned_alloc(kLargePage, rounded);
  if (!p) throw std::bad_alloc();
  // Only a request: without large pages the buffer works the same.
  ::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void FreeLargeBuffer(void* p, size_t bytes) {
  if (bytes < kLargeFrom)
    ::operator delete(p);
  else
    std::free(p);
}

void Tsp_XYDataSeries::Grow() {
  // Room grows in multiples of 32 points, by half of what it has, so that
  // appending stays cheap at hundreds of thousands of points.
  long long extra = std::max(32LL, ((static_cast<long long>(cap_) / 2 + 31) / 32) * 32);
  long long ncap = cap_ + extra;
  if (ncap > std::numeric_limits<int>::max() / 2) throw std::bad_alloc();
  std::vector<TXY, TLargeBufferAllocator<TXY>> n(static_cast<size_t>(ncap));
  for (int i = 0; i < count_; ++i) n[i] = pts_[Phys(i)];
  pts_.swap(n);
  cap_ = static_cast<int>(ncap);
  head_ = 0;
  bmin0_.assign((cap_ + 31) / 32, kInf);
  bmax0_.assign((cap_ + 31) / 32, -kInf);
  bmin1_.assign((cap_ + 1023) / 1024, kInf);
  bmax1_.assign((cap_ + 1023) / 1024, -kInf);
  RebuildBlocks();
}

void Tsp_XYDataSeries::RebuildBlocks() {
  std::fill(bmin0_.begin(), bmin0_.end(), kInf);
  std::fill(bmax0_.begin(), bmax0_.end(), -kInf);
  std::fill(bmin1_.begin(), bmin1_.end(), kInf);
  std::fill(bmax1_.begin(), bmax1_.end(), -kInf);
  for (int i = 0; i < count_; ++i) {
    int p = Phys(i);
    double y = pts_[p].y;
    if (y < bmin0_[p >> 5]) bmin0_[p >> 5] = y;
    if (y > bmax0_[p >> 5]) bmax0_[p >> 5] = y;
    if (y < bmin1_[p >> 10]) bmin1_[p >> 10] = y;
    if (y > bmax1_[p >> 10]) bmax1_[p >> 10] = y;
  }
}

// Slots are written in ring order, so the first slot of a block starts the
// block afresh; a block that still holds older live points at that moment
// also holds the ring's head and is never used whole until the head passes.
void Tsp_XYDataSeries::MergeBlock(int p, double y) {
  int b0 = p >> 5, b1 = p >> 10;
  if ((p & 31) == 0) {
    bmin0_[b0] = kInf;
    bmax0_[b0] = -kInf;
  }
  if ((p & 1023) == 0) {
    bmin1_[b1] = kInf;
    bmax1_[b1] = -kInf;
  }
  if (y < bmin0_[b0]) bmin0_[b0] = y;
  if (y > bmax0_[b0]) bmax0_[b0] = y;
  if (y < bmin1_[b1]) bmin1_[b1] = y;
  if (y > bmax1_[b1]) bmax1_[b1] = y;
}

void Tsp_XYDataSeries::Store(double x, double y) {
  if (count_ == cap_) Grow();
  if (count_ == 0) {
    extValid_ = true;
    hasX_ = hasY_ = false;
  } else if (!InOrder(pts_[Phys(count_ - 1)].x, x)) {
    ++descents_;
  }
  if (std::isnan(y)) ++nanY_;
  int p = Phys(count_);
  pts_[p] = {x, y};
  MergeBlock(p, y);
  if (extValid_) {
    if (std::isfinite(x)) {
      if (!hasX_) {
        xMin_ = xMax_ = x;
        hasX_ = true;
      } else if (x < xMin_) {
        xMin_ = x;
      } else if (x > xMax_) {
        xMax_ = x;
      }
    }
    if (std::isfinite(y)) {
      if (!hasY_) {
        yMin_ = yMax_ = y;
        hasY_ = true;
      } else if (y < yMin_) {
        yMin_ = y;
      } else if (y > yMax_) {
        yMax_ = y;
      }
    }
  }
  ++count_;
}

void Tsp_XYDataSeries::NotifyPlot() {
  Tsp_XYPlot* pl = Plot();
  if (!pl) return;
  if (active_) pl->SeriesChanged(this);
  pl->RepaintNow();
}

void Tsp_XYDataSeries::AddXY(double x, double y) {
  Store(x, y);
  NotifyPlot();
}

void Tsp_XYDataSeries::Delete(int index) {
  if (index < 0 || index >= count_) return;
  extValid_ = false;
  auto descAt = [&](int i) {
    return i >= 0 && i + 1 < count_ && !InOrder(GetX(i), GetX(i + 1)) ? 1 : 0;
  };
  int before = descAt(index - 1) + descAt(index);
  int after = index > 0 && index + 1 < count_ && !InOrder(GetX(index - 1), GetX(index + 1)) ? 1 : 0;
  if (std::isnan(GetY(index))) --nanY_;
  descents_ += after - before;
  if (index == 0) {
    // Dropping the oldest point only moves the start.
    head_ = Phys(1);
    --count_;
    ++firstSeq_;
  } else {
    for (int i = index; i + 1 < count_; ++i) pts_[Phys(i)] = pts_[Phys(i + 1)];
    --count_;
    ++editStamp_;
    RebuildBlocks();
  }
  if (count_ == 0) {
    head_ = 0;
    descents_ = 0;
    nanY_ = 0;
  }
  NotifyPlot();
}

void Tsp_XYDataSeries::Clear() {
  if (count_ == 0) return;
  firstSeq_ += count_;
  count_ = 0;
  head_ = 0;
  descents_ = 0;
  nanY_ = 0;
  extValid_ = false;
  NotifyPlot();
}

double Tsp_XYDataSeries::GetX(int index) const {
  if (index < 0 || index >= count_) return 0;
  return pts_[Phys(index)].x;
}

double Tsp_XYDataSeries::GetY(int index) const {
  if (index < 0 || index >= count_) return 0;
  return pts_[Phys(index)].y;
}

void Tsp_XYDataSeries::CalcExtremes() {
  // After the oldest points of a long line were dropped, sorted X keeps its
  // finite extremes at the two ends and the block summaries give Y, so the
  // next repaint does not pay a pass over every stored point. Infinite Y
  // values would hide the finite extremes in the summaries: full pass then.
  double mn = 0, mx = 0;
  const bool anyY = RangeMinMaxY(0, count_, mn, mx);
  if (XSorted() && (!anyY || (std::isfinite(mn) && std::isfinite(mx)))) {
    int a = 0, b = count_ - 1;
    while (a <= b && !std::isfinite(GetX(a))) ++a;
    while (b >= a && !std::isfinite(GetX(b))) --b;
    hasX_ = a <= b;
    if (hasX_) {
      xMin_ = GetX(a);
      xMax_ = GetX(b);
    }
    hasY_ = anyY;
    if (hasY_) {
      yMin_ = mn;
      yMax_ = mx;
    }
    extValid_ = true;
    return;
  }
  hasX_ = hasY_ = false;
  for (int i = 0; i < count_; ++i) {
    const TXY& t = pts_[Phys(i)];
    if (std::isfinite(t.x)) {
      if (!hasX_) {
        xMin_ = xMax_ = t.x;
        hasX_ = true;
      } else if (t.x < xMin_) {
        xMin_ = t.x;
      } else if (t.x > xMax_) {
        xMax_ = t.x;
      }
    }
    if (std::isfinite(t.y)) {
      if (!hasY_) {
        yMin_ = yMax_ = t.y;
        hasY_ = true;
      } else if (t.y < yMin_) {
        yMin_ = t.y;
      } else if (t.y > yMax_) {
        yMax_ = t.y;
      }
    }
  }
  extValid_ = true;
}

bool Tsp_XYDataSeries::GetXMin(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasX_) v = xMin_;
  return hasX_;
}
bool Tsp_XYDataSeries::GetXMax(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasX_) v = xMax_;
  return hasX_;
}
bool Tsp_XYDataSeries::GetYMin(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasY_) v = yMin_;
  return hasY_;
}
bool Tsp_XYDataSeries::GetYMax(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasY_) v = yMax_;
  return hasY_;
}

namespace {
// Min and max of the Y values of len contiguous points (NaN is passed over).
// Four running pairs keep the comparisons independent of each other, so the
// scan is not held up by one long chain of dependent minimums.
template <typename TPoint>
void ScanMinMaxY(const TPoint* pt, int len, double& mn, double& mx) {
  double a0 = mn, a1 = mn, a2 = mn, a3 = mn, b0 = mx, b1 = mx, b2 = mx, b3 = mx;
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const double y0 = pt[k].y, y1 = pt[k + 1].y, y2 = pt[k + 2].y, y3 = pt[k + 3].y;
    a0 = y0 < a0 ? y0 : a0;
    a1 = y1 < a1 ? y1 : a1;
    a2 = y2 < a2 ? y2 : a2;
    a3 = y3 < a3 ? y3 : a3;
    b0 = y0 > b0 ? y0 : b0;
    b1 = y1 > b1 ? y1 : b1;
    b2 = y2 > b2 ? y2 : b2;
    b3 = y3 > b3 ? y3 : b3;
  }
  for (; k < len; ++k) {
    const double y = pt[k].y;
    a0 = y < a0 ? y : a0;
    b0 = y > b0 ? y : b0;
  }
  a0 = a1 < a0 ? a1 : a0;
  a2 = a3 < a2 ? a3 : a2;
  mn = a2 < a0 ? a2 : a0;
  b0 = b1 > b0 ? b1 : b0;
  b2 = b3 > b2 ? b3 : b2;
  mx = b2 > b0 ? b2 : b0;
}
}  // namespace

void Tsp_XYDataSeries::ScanPhysMinMax(int p, int q, double& mn, double& mx) const {
  if (q - p < 64) {
    if (p < q) ScanMinMaxY(&pts_[p], q - p, mn, mx);
    return;
  }
  auto one = [&](double y) {
    if (y < mn) mn = y;
    if (y > mx) mx = y;
  };
  while (p < q && (p & 31)) one(pts_[p++].y);
  while (p + 32 <= q) {
    if ((p & 1023) == 0 && p + 1024 <= q) {
      mn = std::min(mn, bmin1_[p >> 10]);
      mx = std::max(mx, bmax1_[p >> 10]);
      p += 1024;
    } else {
      mn = std::min(mn, bmin0_[p >> 5]);
      mx = std::max(mx, bmax0_[p >> 5]);
      p += 32;
    }
  }
  while (p < q) one(pts_[p++].y);
}

bool Tsp_XYDataSeries::RangeMinMaxY(int a, int b, double& mn, double& mx) const {
  a = std::max(a, 0);
  b = std::min(b, count_);
  if (a >= b) return false;
  mn = kInf;
  mx = -kInf;
  int p0 = Phys(a), len = b - a;
  if (p0 + len <= cap_) {
    ScanPhysMinMax(p0, p0 + len, mn, mx);
  } else {
    ScanPhysMinMax(p0, cap_, mn, mx);
    ScanPhysMinMax(0, p0 + len - cap_, mn, mx);
  }
  return mn <= mx;
}

// ---- line ----

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
// The pixels whose centres lie inside the segment's stroke: a rectangle of
// the pen's width with square ends, as the painter's wide pen draws it,
// without building a path per segment. Rows r0..r1 are considered; each
// covered row is handed to span(row, first column, last column).
template <typename TSpan>
void StrokeSpans(const QLine& l, double h, int r0lim, int r1lim, TSpan&& span) {
  const int hw = static_cast<int>(h * 2);
  if (l.x1() == l.x2() && (hw & 1) == 0) {
    // Vertical (the columns of a reduced line): a plain rectangle.
    const int half = hw / 2;
    const int r0 = std::max(std::min(l.y1(), l.y2()) - half, r0lim);
    const int r1 = std::min(std::max(l.y1(), l.y2()) + half - 1, r1lim);
    for (int r = r0; r <= r1; ++r) span(r, l.x1() - half, l.x1() + half - 1);
    return;
  }
  const double x0 = l.x1(), y0 = l.y1(), x1 = l.x2(), y1 = l.y2();
  const double dx = x1 - x0, dy = y1 - y0, len = std::sqrt(dx * dx + dy * dy);
  const double ux = len == 0 ? 1 : dx / len, uy = len == 0 ? 0 : dy / len;
  const double nx = -uy, ny = ux;
  const double px[4] = {x0 - ux * h - nx * h, x1 + ux * h - nx * h, x1 + ux * h + nx * h,
                        x0 - ux * h + nx * h};
  const double py[4] = {y0 - uy * h - ny * h, y1 + uy * h - ny * h, y1 + uy * h + ny * h,
                        y0 - uy * h + ny * h};
  struct Edge {
    double ylo, yhi, x, slope, ya;
  } edges[4];
  int ne = 0;
  for (int e = 0; e < 4; ++e) {
    const int f = (e + 1) & 3;
    if (py[e] == py[f]) continue;
    edges[ne++] = {std::min(py[e], py[f]), std::max(py[e], py[f]), px[e],
                   (px[f] - px[e]) / (py[f] - py[e]), py[e]};
  }
  const double ymin = std::min({py[0], py[1], py[2], py[3]});
  const double ymax = std::max({py[0], py[1], py[2], py[3]});
  const int r0 = std::max(static_cast<int>(std::ceil(ymin - 0.5)), r0lim);
  const int r1 = std::min(static_cast<int>(std::ceil(ymax - 0.5)) - 1, r1lim);
  for (int r = r0; r <= r1; ++r) {
    const double yc = r + 0.5;
    double xa = 1e18, xb = -1e18;
    for (int e = 0; e < ne; ++e) {
      const Edge& E = edges[e];
      if (yc < E.ylo || yc > E.yhi) continue;
      const double x = E.x + (yc - E.ya) * E.slope;
      xa = std::min(xa, x);
      xb = std::max(xb, x);
    }
    if (xa > xb) continue;
    span(r, static_cast<int>(std::ceil(xa - 0.5)), static_cast<int>(std::ceil(xb - 0.5)) - 1);
  }
}

// Short slanted segments of the 2-pixel pen (the joins between the columns
// of a reduced line) come in few shapes; each shape's spans are worked out
// once, relative to the segment's start, and then only copied. The shapes
// sit in one flat table with their bounding boxes, so a segment well inside
// the clip is drawn without a test per row.
struct TSpan {
  int16_t Row, C0, C1;
};
struct TShape {
  int32_t First = -1;  // index of the first span; -1: none (upright segments)
  int16_t Count = 0, RowMin = 0, RowMax = 0, ColMin = 0, ColMax = 0;
};
constexpr int kMemoDx = 2, kMemoDy = 96;
struct TShapeTable {
  TShape Shapes[(2 * kMemoDx + 1) * (2 * kMemoDy + 1)];
  std::vector<TSpan> Spans;
};
void AddShape(TShapeTable& t, int dx, int dy) {
  TShape& m = t.Shapes[(dx + kMemoDx) * (2 * kMemoDy + 1) + (dy + kMemoDy)];
  m.First = static_cast<int32_t>(t.Spans.size());
  int rmin = 1 << 20, rmax = -(1 << 20), cmin = 1 << 20, cmax = -(1 << 20);
  StrokeSpans(QLine(0, 0, dx, dy), 1.0, -(1 << 20), 1 << 20, [&](int r, int c0, int c1) {
    if (c0 > c1) return;
    t.Spans.push_back(
        {static_cast<int16_t>(r), static_cast<int16_t>(c0), static_cast<int16_t>(c1)});
    rmin = std::min(rmin, r);
    rmax = std::max(rmax, r);
    cmin = std::min(cmin, c0);
    cmax = std::max(cmax, c1);
  });
  m.Count = static_cast<int16_t>(static_cast<int32_t>(t.Spans.size()) - m.First);
  m.RowMin = static_cast<int16_t>(rmin);
  m.RowMax = static_cast<int16_t>(rmax);
  m.ColMin = static_cast<int16_t>(cmin);
  m.ColMax = static_cast<int16_t>(cmax);
}

// All shapes are worked out before first use (a millisecond), so that the
// drawing threads only read the table. The short ones, drawn most, come
// first and share cache lines.
const TShapeTable& Shapes() {
  static const TShapeTable table = [] {
    TShapeTable t;
    for (int ady = 0; ady <= kMemoDy; ++ady)
      for (int dy : {-ady, ady}) {
        for (int dx = -kMemoDx; dx <= kMemoDx; ++dx)
          if (dx != 0) AddShape(t, dx, dy);
        if (ady == 0) break;
      }
    return t;
  }();
  return table;
}

const TShape& ShapeOf(const TShapeTable& t, int dx, int dy) {
  return t.Shapes[(dx + kMemoDx) * (2 * kMemoDy + 1) + (dy + kMemoDy)];
}

void FillStroke(uchar* base, qsizetype bpl, const QRect& clip, const TPixelSegment& s, double h,
                QRgb c) {
  const QLine l(s.X1, s.Y1, s.X2, s.Y2);
  auto span = [&](int r, int c0, int c1) {
    c0 = std::max(c0, clip.left());
    c1 = std::min(c1, clip.right());
    QRgb* row = reinterpret_cast<QRgb*>(base + r * bpl);
    for (int x = c0; x <= c1; ++x) row[x] = c;
  };
  const int dx = l.x2() - l.x1(), dy = l.y2() - l.y1();
  if (h == 1.0) {
    if (dx == 0) {
      // Vertical, two pixels wide: rows from one above the top end down to
      // the bottom end, as the general rule gives.
      const int x = l.x1();
      if (x - 1 >= clip.left() && x <= clip.right()) {
        const int r0 = std::max(std::min(l.y1(), l.y2()) - 1, clip.top());
        const int r1 = std::min(std::max(l.y1(), l.y2()), clip.bottom());
        uchar* p = base + r0 * bpl + (x - 1) * static_cast<qsizetype>(sizeof(QRgb));
        for (int r = r0; r <= r1; ++r, p += bpl) {
          QRgb* q = reinterpret_cast<QRgb*>(p);
          q[0] = c;
          q[1] = c;
        }
        return;
      }
    } else if (std::abs(dx) <= kMemoDx && std::abs(dy) <= kMemoDy) {
      const TShapeTable& t = Shapes();
      const TShape& m = ShapeOf(t, dx, dy);
      const uint64_t c2 = (static_cast<uint64_t>(c) << 32) | c;
      const int x0 = l.x1(), y0 = l.y1();
      const TSpan* sp = t.Spans.data() + m.First;
      const TSpan* const se = sp + m.Count;
      if (y0 + m.RowMin >= clip.top() && y0 + m.RowMax <= clip.bottom() &&
          x0 + m.ColMin >= clip.left() && x0 + m.ColMax <= clip.right()) {
        uchar* const p0 = base + y0 * bpl + x0 * static_cast<qsizetype>(sizeof(QRgb));
        for (; sp != se; ++sp) {
          QRgb* row = reinterpret_cast<QRgb*>(p0 + sp->Row * bpl) + sp->C0;
          const int last = sp->C1 - sp->C0;
          if (last == 0) {
            row[0] = c;
          } else if (last < 4) {
            // Two to four pixels with two overlapping double-pixel stores
            // and no loop: the span lengths vary from row to row and would
            // defeat branch guessing.
            std::memcpy(row, &c2, sizeof c2);
            std::memcpy(row + last - 1, &c2, sizeof c2);
          } else {
            for (int x = 0; x <= last; ++x) row[x] = c;
          }
        }
        return;
      }
      for (; sp != se; ++sp) {
        const int r = y0 + sp->Row;
        if (r < clip.top() || r > clip.bottom()) continue;
        span(r, x0 + sp->C0, x0 + sp->C1);
      }
      return;
    }
  }
  StrokeSpans(l, h, clip.top(), clip.bottom(), span);
}
}  // namespace

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

void Tsp_XYLine::DirectFill(const std::vector<TPixelSegment>& segs, QImage& img,
                            const QRect& clip) {
  // Writing through constBits: bits() would copy an image shared elsewhere.
  uchar* base = const_cast<uchar*>(img.constBits());
  const qsizetype bpl = img.bytesPerLine();
  const Tsp_LineAttr& la = LineAttr();
  const QRgb c = 0xFF000000u | la.Color();
  const double h = la.Width() / 2.0;
  for (const TPixelSegment& l : segs) FillStroke(base, bpl, clip, l, h, c);
}

Tsp_DataSeries::TDirect Tsp_XYLine::DirectPrepare() {
  Tsp_XYPlot* pl = Plot();
  const int n = Count();
  if (!pl || !pl->Canvas() || pointAttr_.Visible()) return dNo;
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
  BuildReduced(*HAxis(), *VAxis(), segs);
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

namespace {
// A kept column whose points moved by a few at its ends (the time axis slid
// a little, a point arrived or expired) is brought up to date from those
// points alone: new points widen its extremes; a point that left changes
// nothing when it lay strictly inside them. Otherwise false: scan again.
template <typename TColumnT, typename TPy>
bool SlideColumn(TColumnT& col, int64_t seq0, int i, int j, TPy py, bool yUp) {
  constexpr int64_t kMaxMoved = 16;
  if (col.Seq0 < 0) return false;
  const int64_t c0 = col.Seq0 - seq0, c1 = col.Seq1 - seq0;  // kept range, as indexes now
  if (c0 < 0 || c1 <= c0 || c0 >= j || c1 <= i) return false;
  if (std::abs(c0 - i) + std::abs(c1 - j) > kMaxMoved) return false;
  int lo = std::min(col.YMin, col.YMax), hi = std::max(col.YMin, col.YMax);
  for (int64_t k = c0; k < i; ++k) {  // left at the start
    const int y = py(static_cast<int>(k));
    if (y <= lo || y >= hi) return false;
  }
  for (int64_t k = j; k < c1; ++k) {  // left at the end
    const int y = py(static_cast<int>(k));
    if (y <= lo || y >= hi) return false;
  }
  for (int64_t k = i; k < c0; ++k) {  // came at the start
    const int y = py(static_cast<int>(k));
    lo = std::min(lo, y);
    hi = std::max(hi, y);
  }
  for (int64_t k = c1; k < j; ++k) {  // came at the end
    const int y = py(static_cast<int>(k));
    lo = std::min(lo, y);
    hi = std::max(hi, y);
  }
  // The lowest value sits at the lowest pixel when the scale runs upwards.
  col.YMin = yUp ? lo : hi;
  col.YMax = yUp ? hi : lo;
  return true;
}
}  // namespace

// Every stored segment whose ends share a pixel column is vertical, so a
// column is fully described by its first, lowest, highest and last point.
// The columns are found by searching the sorted X values with the same
// value-to-pixel mapping the exact drawing uses, so the bins match it.
namespace {
// ValueToPixel's own arithmetic, inline: the same product and sum, rounded
// half to even as nearbyint does in the default rounding mode (the constant
// is 1.5 * 2^52; exact for every value the clamp lets through), clamped the
// same way. The reduction maps every visible point, so the call matters.
struct TPixMap {
  double ov, ppu, op;
  explicit TPixMap(const Tsp_Scale& s)
      : ov(s.OriginValue()), ppu(s.PixelsPerUnit()), op(s.OriginPixel()) {}
  int operator()(double v) const {
    const double q = (v - ov) * ppu + op;
    if (!(q >= -MaxPixelCoord)) return -MaxPixelCoord;  // NaN too
    if (q > MaxPixelCoord) return MaxPixelCoord;
    constexpr double kRound = 6755399441055744.0;
    return static_cast<int>((q + kRound) - kRound);
  }
};
}  // namespace

// Every stored segment whose ends share a pixel column is vertical, so a
// column is fully described by its first, lowest, highest and last point.
// The columns are found on the sorted X values with the same value-to-pixel
// mapping the exact drawing uses, so the bins match it. The end of a column
// is first guessed from the length of the previous one, which for evenly
// spaced readings is right or one off, so a column costs a few mappings.
void Tsp_XYLine::DrawLineReduced(QPainter& p, Tsp_Axis& ax, Tsp_Axis& ay) {
  std::vector<TPixelSegment>& out = SegmentScratch();
  out.clear();
  BuildReduced(ax, ay, out);
  DrawLines(p, out, true);
}

// Appends the segments to out.
void Tsp_XYLine::BuildReduced(Tsp_Axis& ax, Tsp_Axis& ay, std::vector<TPixelSegment>& out) {
  Tsp_XYPlot* pl = Plot();
  const int n = Count();
  const bool inc = ax.PixelsPerUnit() >= 0;
  const int lo = pl->FieldLeft() - 3, hi = pl->FieldRight() + 3;
  const TPixMap mapX(ax), mapY(ay);
  // The ring's fields in locals: the segment stores below could otherwise
  // alias them, and they would be loaded again for every point.
  const TXY* const pts = pts_.data();
  const int head = RingHead(), cap = RingCapacity();
  auto at = [pts, head, cap](int i) -> const TXY& {
    const int p = head + i;
    return pts[p >= cap ? p - cap : p];
  };
  auto px = [&](int i) { return mapX(at(i).x); };
  auto py = [&](int i) { return mapY(at(i).y); };
  auto before = [&](int c) { return inc ? c < lo : c > hi; };
  auto beyond = [&](int c) { return inc ? c > hi : c < lo; };
  // First point not before the visible columns. While the time axis only
  // slides, it is at or next to last time's: searching outwards from there
  // reads a few neighbouring points where a search of the whole buffer would
  // read a dozen scattered ones.
  auto isBefore = [&](int m) { return before(px(m)); };
  int below = 0, from = n;  // points before `below` are all before, none from `from` on
  const int64_t hint = firstVisibleSeq_ - FirstSeq();
  if (firstVisibleSeq_ >= 0 && hint >= 0 && hint <= n) {
    const int h = static_cast<int>(hint);
    if (h < n && isBefore(h)) {
      below = h + 1;
      for (int step = 1; h + step < n; step *= 2) {
        if (!isBefore(h + step)) {
          from = h + step;
          break;
        }
        below = h + step + 1;
      }
    } else {
      from = h;
      for (int step = 1; h - step >= 0; step *= 2) {
        if (isBefore(h - step)) {
          below = h - step + 1;
          break;
        }
        from = h - step;
      }
    }
  }
  while (below < from) {
    const int m = below + (from - below) / 2;
    if (isBefore(m))
      below = m + 1;
    else
      from = m;
  }
  const int a = below;
  firstVisibleSeq_ = FirstSeq() + a;
  auto add = [&](const QPoint& s, const QPoint& e) {
    if (!(FarOff(s) && FarOff(e))) out.emplace_back(s, e);
  };
  // Index of the first point after l outside column c, given px(l) == c and
  // px(h) != c (h == n: past the end).
  auto split = [&](int l, int h, int c) {
    while (h - l > 1) {
      int m = l + (h - l) / 2;
      if (px(m) == c)
        l = m;
      else
        h = m;
    }
    return h;
  };
  QPoint prev;
  bool havePrev = false;
  if (a > 0) {
    prev = QPoint(px(a - 1), py(a - 1));
    havePrev = true;
  }
  // Columns of the last drawing are kept while the zoom, the temperature
  // scale and the stored points (apart from the two ends) are the same.
  TColumnKey key;
  key.Xppu = ax.PixelsPerUnit();
  key.Yov = ay.OriginValue();
  key.Yppu = ay.PixelsPerUnit();
  key.Yop = ay.OriginPixel();
  key.Lo = lo;
  key.Hi = hi;
  key.Stamp = EditStamp();
  if (!(key == columnKey_) || columns_.size() != static_cast<size_t>(hi - lo + 1)) {
    columns_.assign(static_cast<size_t>(hi - lo + 1), TColumn());
    columnKey_ = key;
    columnsKept_ = false;
  }
  const int64_t seq0 = FirstSeq();
  // Where a kept column's end no longer maps where it did (the axis slid a
  // point across the column edge), the points there will be read below.
  // They lie scattered over a large buffer that is rarely in the cache, so
  // they are asked for now, all at once, rather than waited for one by one.
  for (size_t k = 0; columnsKept_ && k < columns_.size(); ++k) {
    const TColumn& col = columns_[k];
    if (col.Seq0 < 0 || !col.HasNext) continue;
    const int64_t e = col.Seq1 - seq0;  // the first point after the column
    if (e < 2 || e >= n) continue;
    const int c = lo + static_cast<int>(k);
    if (mapX(col.XLast) == c && mapX(col.XNext) != c) continue;
    __builtin_prefetch(&at(static_cast<int>(e) - 2));
    __builtin_prefetch(&at(static_cast<int>(e)));
  }
  // Columns of a few points are cheaper to look at again than to look up.
  constexpr int kKeptRun = 8;
  const bool yUp = ay.PixelsPerUnit() >= 0;
  int i = a, run = 1;
  int c = i < n ? px(i) : 0;  // column of point i
  while (i < n) {
    if (beyond(c)) {
      if (havePrev) add(prev, QPoint(c, py(i)));
      break;
    }
    if (run < kKeptRun) {
      // Sparse points (a short time range): walk the column point by point;
      // a column that turns out dense is looked up below instead.
      const int yFirst = py(i);
      int pmin = yFirst, pmax = yFirst, yLast = yFirst, j = i + 1, cj = c;
      while (j < n && j - i < kKeptRun) {
        cj = px(j);
        if (cj != c) break;
        const int y = py(j);
        pmin = std::min(pmin, y);
        pmax = std::max(pmax, y);
        yLast = y;
        ++j;
      }
      if (j == n || cj != c) {
        if (havePrev) add(prev, QPoint(c, yFirst));
        // The lowest value sits at the lowest pixel when the scale runs upwards.
        const int yMin = yUp ? pmin : pmax, yMax = yUp ? pmax : pmin;
        if (yMin != yMax) add(QPoint(c, yMin), QPoint(c, yMax));
        prev = QPoint(c, yLast);
        havePrev = true;
        run = j - i;
        i = j;
        c = cj;
        continue;
      }
      run = kKeptRun;
    }
    // The column ends about where the previous one's length says (evenly
    // spaced readings), or where it ended last time.
    int g = std::min(i + run, n);
    const TColumn* kept = nullptr;  // last time's column ending at g
    if (run >= kKeptRun) {
      const TColumn& col = columns_[static_cast<size_t>(c - lo)];
      if (col.Seq0 >= 0 && col.Seq1 - seq0 > i && col.Seq1 - seq0 <= n) {
        g = static_cast<int>(col.Seq1 - seq0);
        kept = &col;
      }
    }
    // The kept X values are those of the same stored points (the edit stamp
    // is part of the key), so they map exactly as the points would.
    const int lastC = kept ? mapX(kept->XLast) : 0;
    int j, next = 0;
    bool nextKnown = false;
    if (g - 1 > i && (kept ? lastC : px(g - 1)) != c) {
      // A kept column usually lost one point at its end: look there before
      // searching the whole column.
      if (kept && g - 2 > i && px(g - 2) == c)
        j = g - 1;
      else
        j = split(i, g - 1, c);
    } else if (g == n) {
      j = n;
    } else if ((next = kept && kept->HasNext ? mapX(kept->XNext) : px(g)) != c) {
      j = g;
      nextKnown = true;
    } else {
      // Longer than guessed: gallop on.
      int l = g, h = n, step = 1;
      for (;;) {
        int k = l + step;
        if (k >= n) break;
        if (px(k) != c) {
          h = k;
          break;
        }
        l = k;
        step *= 2;
      }
      j = split(l, h, c);
    }
    run = j - i;
    TColumn one;
    if (run >= kKeptRun) columnsKept_ = true;
    TColumn& col = run >= kKeptRun ? columns_[static_cast<size_t>(c - lo)] : one;
    if (col.Seq0 != seq0 + i || col.Seq1 != seq0 + j) {
      const int yFirst = py(i);
      if (run == 1) {
        col.YMin = col.YMax = col.YLast = yFirst;
      } else {
        if (!SlideColumn(col, seq0, i, j, py, yUp)) {
          col.YMin = col.YMax = yFirst;
          double mn, mx;
          if (RangeMinMaxY(i, j, mn, mx)) {
            col.YMin = mapY(mn);
            col.YMax = mapY(mx);
          }
        }
        col.YLast = py(j - 1);
      }
      col.Seq0 = seq0 + i;
      col.Seq1 = seq0 + j;
      col.YFirst = yFirst;
      col.XLast = at(j - 1).x;
      col.HasNext = false;
    }
    if (!col.HasNext && j < n) {
      col.XNext = at(j).x;
      col.HasNext = true;
    }
    if (havePrev) add(prev, QPoint(c, col.YFirst));
    if (col.YMin != col.YMax) add(QPoint(c, col.YMin), QPoint(c, col.YMax));
    prev = QPoint(c, col.YLast);
    havePrev = true;
    i = j;
    if (i < n) c = nextKnown ? next : px(i);
  }
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
