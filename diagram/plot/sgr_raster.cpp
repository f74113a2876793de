// The rasteriser of the direct drawing: the pixels a wide square-ended pen
// covers, worked out per row, with the short joins of reduced lines taken
// from a table of precomputed shapes.
#include "diagram/plot/sgr_raster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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
  int32_t ColRows = -1;  // index of its first column's row range in ColRows
};
constexpr int kMemoDx = 2, kMemoDy = 96;
struct TShapeTable {
  TShape Shapes[(2 * kMemoDx + 1) * (2 * kMemoDy + 1)];
  std::vector<TSpan> Spans;
  // Per shape, for each column ColMin..ColMax, its first and last row.
  std::vector<int16_t> ColRows;
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
  if (m.Count == 0) return;
  m.ColRows = static_cast<int32_t>(t.ColRows.size());
  for (int c = cmin; c <= cmax; ++c) {
    int r0 = 1 << 20, r1 = -(1 << 20);
    for (int k = m.First; k < m.First + m.Count; ++k)
      if (t.Spans[static_cast<size_t>(k)].C0 <= c && c <= t.Spans[static_cast<size_t>(k)].C1) {
        r0 = std::min<int>(r0, t.Spans[static_cast<size_t>(k)].Row);
        r1 = std::max<int>(r1, t.Spans[static_cast<size_t>(k)].Row);
      }
    t.ColRows.push_back(static_cast<int16_t>(r0 > r1 ? 1 : r0));  // an empty column reads 1..0
    t.ColRows.push_back(static_cast<int16_t>(r0 > r1 ? 0 : r1));
  }
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

void FillSegments(QImage& img, const QRect& clip, const std::vector<TPixelSegment>& segs,
                  double halfWidth, QRgb c) {
  // Writing through constBits: bits() would copy an image shared elsewhere.
  uchar* base = const_cast<uchar*>(img.constBits());
  const qsizetype bpl = img.bytesPerLine();
  for (const TPixelSegment& l : segs) FillStroke(base, bpl, clip, l, halfWidth, c);
}

void FillSegmentsInRuns(QImage& img, const QRect& clip, const std::vector<TPixelSegment>& segs,
                        double halfWidth, QRgb c, const TColumnRuns& runs) {
  uchar* base = const_cast<uchar*>(img.constBits());
  const qsizetype bpl = img.bytesPerLine();
  const int pad = SegmentColumnPad(halfWidth);
  const std::vector<TColumnRun>& r = runs.Runs;
  const int n = static_cast<int>(r.size()), width = static_cast<int>(runs.FirstFrom.size());
  for (const TPixelSegment& s : segs) {
    const int e0 = std::max(std::min<int>(s.X1, s.X2) - pad, 0);
    const int e1 = std::max<int>(s.X1, s.X2) + pad;
    if (e0 >= width || e1 < 0) continue;
    int t0, t1;
    SegmentRows(s.Y1, s.Y2, pad, t0, t1);
    for (int k = runs.FirstFrom[static_cast<size_t>(e0)]; k < n && r[k].First <= e1; ++k) {
      if (t1 < r[k].Top || t0 > r[k].Bottom) continue;
      const QRect part = r[k].Rect() & clip;
      if (!part.isEmpty()) FillStroke(base, bpl, part, s, halfWidth, c);
    }
  }
}

void TColumnRuns::Build(const std::vector<TRowSpan>& changed, int first, int last, int top,
                        int bottom, int gap) {
  Runs.clear();
  Columns = 0;
  for (int x = first; x <= last; ++x) {
    TRowSpan rows = changed[static_cast<size_t>(x)];
    rows.Top = std::max(rows.Top, top);
    rows.Bottom = std::min(rows.Bottom, bottom);
    if (!rows.Any()) continue;
    // Runs a few columns apart are drawn as one: each run costs a pass
    // over the background and the segments.
    if (!Runs.empty() && x - Runs.back().Last <= gap) {
      TColumnRun& b = Runs.back();
      Columns += x - b.Last;
      b.Last = x;
      b.Top = std::min(b.Top, rows.Top);
      b.Bottom = std::max(b.Bottom, rows.Bottom);
    } else {
      Runs.push_back({x, x, rows.Top, rows.Bottom});
      Columns += 1;
    }
  }
  FirstFrom.resize(changed.size());
  size_t k = 0;
  for (size_t x = 0; x < changed.size(); ++x) {
    while (k < Runs.size() && Runs[k].Last < static_cast<int>(x)) ++k;
    FirstFrom[x] = static_cast<int>(k);
  }
}

void StrokeRows(const TPixelSegment& s, double halfWidth,
                const std::function<void(int row, int c0, int c1)>& span) {
  const QLine l(s.X1, s.Y1, s.X2, s.Y2);
  const int dx = l.x2() - l.x1(), dy = l.y2() - l.y1();
  if (halfWidth == 1.0 && dx == 0) {
    const int r1 = std::max(l.y1(), l.y2());
    for (int r = std::min(l.y1(), l.y2()) - 1; r <= r1; ++r) span(r, l.x1() - 1, l.x1());
    return;
  }
  if (halfWidth == 1.0 && std::abs(dx) <= kMemoDx && std::abs(dy) <= kMemoDy) {
    const TShapeTable& t = Shapes();
    const TShape& m = ShapeOf(t, dx, dy);
    const TSpan* sp = t.Spans.data() + m.First;
    for (const TSpan* const se = sp + m.Count; sp != se; ++sp)
      span(l.y1() + sp->Row, l.x1() + sp->C0, l.x1() + sp->C1);
    return;
  }
  StrokeSpans(l, halfWidth, -(1 << 20), 1 << 20, [&](int r, int c0, int c1) {
    if (c0 <= c1) span(r, c0, c1);
  });
}

bool StrokeColumns(const TPixelSegment& s, double halfWidth, TStrokeColumns& out) {
  const int dx = s.X2 - s.X1, dy = s.Y2 - s.Y1;
  if (halfWidth != 1.0 || dx == 0 || std::abs(dx) > kMemoDx || std::abs(dy) > kMemoDy) return false;
  const TShapeTable& t = Shapes();
  const TShape& m = ShapeOf(t, dx, dy);
  const int width = m.ColMax - m.ColMin + 1;
  if (m.Count == 0 || width > 8) return false;
  out.First = s.X1 + m.ColMin;
  out.Count = width;
  const int16_t* r = t.ColRows.data() + m.ColRows;
  for (int k = 0; k < width; ++k, r += 2) {
    out.Rows[k][0] = s.Y1 + r[0];
    out.Rows[k][1] = s.Y1 + r[1];
  }
  return true;
}
