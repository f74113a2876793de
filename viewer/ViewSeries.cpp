// The pixel columns of each chunk found once per view, the per-column
// reduction to segments, and their drawing.
#include "viewer/ViewSeries.h"

#include <QPainter>
#include <algorithm>

#include "common/ChannelColors.h"

namespace qxview {

void TViewGeometry::Update(const TLogData& data, const Tsp_Axis& ax, int fieldLeft,
                           int fieldRight) {
  const TKey key{data.Stamp(),     ax.PixelsPerUnit(), ax.OriginPixel(),
                 ax.OriginValue(), fieldLeft,          fieldRight};
  if (key == key_ && edges_.size() == data.Segments().size()) return;
  key_ = key;
  const std::vector<TSegment>& segs = data.Segments();
  edges_.assign(segs.size(), {});
  for (size_t s = 0; s < segs.size(); ++s) {
    edges_[s].resize(segs[s].Chunks.size());
    for (size_t k = 0; k < segs[s].Chunks.size(); ++k) {
      const std::vector<double>& ts = segs[s].Chunks[k]->Times();
      TEdges& e = edges_[s][k];
      if (ts.empty()) {
        e.Left = true;
        continue;
      }
      const int p0 = ax.ValueToPixel(ts.front()), p1 = ax.ValueToPixel(ts.back());
      if (p1 < fieldLeft) {
        e.Left = true;
        continue;
      }
      if (p0 >= fieldRight) {
        e.Right = true;
        continue;
      }
      const int x0 = std::max(p0, fieldLeft), x1 = std::min(p1, fieldRight - 1);
      e.X0 = x0;
      e.E.resize(static_cast<size_t>(x1 - x0 + 2));
      // First row at or right of each column's left edge.
      auto first = [&](int x, int64_t from) {
        auto it = std::partition_point(ts.begin() + from, ts.end(),
                                       [&](double t) { return ax.ValueToPixel(t) < x; });
        return static_cast<int64_t>(it - ts.begin());
      };
      int64_t r = 0;
      for (int x = x0; x <= x1 + 1; ++x) {
        r = first(x, r);
        e.E[x - x0] = r;
      }
      // Where a column holds many rows, its inner edges move to the nearest
      // pyramid block edge a sixteenth of a column or less away: a row then
      // lands at most one pixel off, every row still in exactly one column,
      // and the reduction reads only the pyramid's upper levels instead of
      // scattered single readings all over the large arrays.
      const int cols = x1 - x0 + 1;
      if (cols > 1) {
        const int64_t perColumn = ts.size() / static_cast<size_t>(cols);
        int64_t block = 1;
        while (block * TChunk::Fan * TChunk::Fan <= perColumn) block *= TChunk::Fan;
        if (block > 1) {
          for (size_t i = 1; i + 1 < e.E.size(); ++i) {
            const int64_t rounded = (e.E[i] + block / 2) / block * block;
            e.E[i] = std::clamp(rounded, e.E[i - 1], e.E.back());
          }
        }
      }
    }
  }
}

TViewSeries::TViewSeries(const TLogData* data, TViewGeometry* geometry, int column, QObject* owner)
    : Tsp_DataSeries(owner), data_(data), geometry_(geometry), column_(column) {
  pen_.LineAttr().SetColor(ChannelColors[column % MaxChannels]);
  pen_.LineAttr().SetWidth(2);
}

TViewSeries::~TViewSeries() {
  SetPlot(nullptr);
}

void TViewSeries::SetShown(bool on) {
  if (shown_ == on) return;
  shown_ = on;
  if (Plot()) Plot()->SeriesChanged(this);
}

QColor TViewSeries::Color() const {
  return ToQColor(ChannelColors[column_ % MaxChannels]);
}

bool TViewSeries::IsActive() const {
  return shown_ && column_ < data_->Columns();
}

bool TViewSeries::GetXMin(double& v) {
  double t1;
  return data_->TimeRange(v, t1);
}

bool TViewSeries::GetXMax(double& v) {
  double t0;
  return data_->TimeRange(t0, v);
}

bool TViewSeries::GetYMin(double& v) {
  int32_t mn, mx;
  if (!data_->ColumnRange(column_, mn, mx)) return false;
  v = mn / 100.0;
  return true;
}

bool TViewSeries::GetYMax(double& v) {
  int32_t mn, mx;
  if (!data_->ColumnRange(column_, mn, mx)) return false;
  v = mx / 100.0;
  return true;
}

bool TViewSeries::InView() {
  Tsp_XYPlot* pl = Plot();
  if (!pl || !IsActive()) return false;
  int32_t mn, mx;
  double t0, t1;
  if (!data_->ColumnRange(column_, mn, mx) || !data_->TimeRange(t0, t1)) return false;
  const Tsp_Axis& ax = *HAxis();
  const Tsp_Axis& ay = *VAxis();
  if (t1 < ax.Min() || t0 > ax.Max() || mx / 100.0 < ay.Min() || mn / 100.0 > ay.Max())
    return false;
  geometry_->Update(*data_, ax, pl->FieldLeft(), pl->FieldRight());
  return true;
}

void TViewSeries::Build(std::vector<TPixelSegment>& out) {
  out.clear();
  if (!Plot()) return;
  const Tsp_Axis& ax = *HAxis();
  const Tsp_Axis& ay = *VAxis();
  const int c = column_;
  auto Y = [&](int32_t v) { return ay.ValueToPixel(v / 100.0); };
  const std::vector<TSegment>& segs = data_->Segments();
  for (size_t s = 0; s < segs.size(); ++s) {
    const TSegment& seg = segs[s];
    if (seg.Columns <= c) continue;
    bool havePrev = false;
    QPoint prev;
    int64_t prow = -2;
    auto join = [&](int64_t row, const QPoint& q) {
      if (havePrev && prow + 1 == row) out.emplace_back(prev, q);
    };
    const int nChunks = static_cast<int>(seg.Chunks.size());
    for (int k = 0; k < nChunks; ++k) {
      const TChunk& ch = *seg.Chunks[k];
      const int64_t base = seg.ChunkBase[k], n = ch.Rows();
      const TViewGeometry::TEdges& e = geometry_->Edges(static_cast<int>(s), k);
      const std::vector<double>& ts = ch.Times();
      if (e.Left) {
        // Only the last chunk left of the field gives the line coming in.
        if (k + 1 < nChunks && geometry_->Edges(static_cast<int>(s), k + 1).Left) continue;
        const int64_t l = ch.LastValid(c, 0, n);
        if (l >= 0) {
          prev = QPoint(ax.ValueToPixel(ts[l]), Y(ch.Value(c, l)));
          prow = base + l;
          havePrev = true;
        }
        continue;
      }
      int64_t after = 0;
      if (e.Right) {
        after = 0;
      } else {
        if (e.E.front() > 0) {
          const int64_t l = ch.LastValid(c, 0, e.E.front());
          if (l >= 0) {
            prev = QPoint(ax.ValueToPixel(ts[l]), Y(ch.Value(c, l)));
            prow = base + l;
            havePrev = true;
          }
        }
        const int cols = static_cast<int>(e.E.size()) - 1;
        for (int i = 0; i < cols; ++i) {
          const int64_t a = e.E[i], b = e.E[i + 1];
          // The readings at the next columns' edges are far apart in
          // memory: ask for them ahead of use.
          if (i + 4 < cols) __builtin_prefetch(ch.Row(e.E[i + 4] - (e.E[i + 4] > 0)) + c);
          if (a == b) continue;
          // Ends without N/A are the rule; the pyramid is asked only when
          // a column starts or ends in a gap.
          const int64_t f = ch.Value(c, a) != NaCell ? a : ch.FirstValid(c, a, b);
          if (f < 0) continue;
          const int64_t l = ch.Value(c, b - 1) != NaCell ? b - 1 : ch.LastValid(c, f, b);
          int32_t mn = 0, mx = 0;
          ch.MinMax(c, f, l + 1, mn, mx);
          const int x = e.X0 + i;
          join(base + f, QPoint(x, Y(ch.Value(c, f))));
          out.emplace_back(QPoint(x, Y(mx)), QPoint(x, Y(mn)));
          prev = QPoint(x, Y(ch.Value(c, l)));
          prow = base + l;
          havePrev = true;
        }
        after = e.E.back();
      }
      if (after < n) {
        // The line going out on the right, then this segment is done.
        const int64_t f = ch.FirstValid(c, after, after + 1);
        if (f >= 0) join(base + f, QPoint(ax.ValueToPixel(ts[f]), Y(ch.Value(c, f))));
        break;
      }
    }
  }
}

TViewSeries::TDirect TViewSeries::DirectPrepare() {
  if (!Plot() || !Plot()->Canvas()) return dNo;
  return InView() ? dYes : dNothing;
}

void TViewSeries::DirectBuild(std::vector<TPixelSegment>& segs) {
  Build(segs);
}

void TViewSeries::DirectFill(const std::vector<TPixelSegment>& segs, QImage& img,
                             const QRect& clip) {
  pen_.DirectFill(segs, img, clip);
}

void TViewSeries::Draw() {
  Tsp_XYPlot* pl = Plot();
  if (!pl || !pl->Canvas() || !InView()) return;
  std::vector<TPixelSegment> segs;
  Build(segs);
  if (segs.empty()) return;
  QPainter& p = *pl->Canvas();
  p.save();
  p.setClipRect(pl->FieldRect());
  p.setPen(pen_.LineAttr().Pen());
  p.setBrush(Qt::NoBrush);
  std::vector<QLine> lines;
  lines.reserve(segs.size());
  for (const TPixelSegment& s : segs) lines.emplace_back(s.X1, s.Y1, s.X2, s.Y2);
  p.drawLines(lines.data(), static_cast<int>(lines.size()));
  p.restore();
}

void TViewSeries::DrawLegendSample(QPainter& canvas, const QRect& r) {
  canvas.save();
  canvas.setPen(pen_.LineAttr().Pen());
  const int y = r.top() + r.height() / 2;
  canvas.drawLine(r.left() + 1, y, r.right(), y);
  canvas.restore();
}

}  // namespace qxview
