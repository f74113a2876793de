// The plot's kept field: between drawings the off-screen image keeps what
// its field shows, and a new drawing compares each line's segments with the
// last ones and refills only the columns where some line's pixels differ.
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "diagram/plot/sgr_def.h"
#include "diagram/plot/sgr_raster.h"
#include "diagram/plot/sgr_thread.h"

namespace {
// Segments of a reduced line run from left to right: each starts where or
// after the last one started and ends where or after it ended.
bool SegsSorted(const std::vector<TPixelSegment>& segs) {
  int x1 = INT_MIN, x2 = INT_MIN;
  for (const TPixelSegment& s : segs) {
    if (s.X1 > s.X2 || s.X1 < x1 || s.X2 < x2) return false;
    x1 = s.X1;
    x2 = s.X2;
  }
  return true;
}

bool SameSeg(const TPixelSegment& a, const TPixelSegment& b) {
  uint64_t x, y;
  static_assert(sizeof(TPixelSegment) == sizeof x, "a segment is compared as one word");
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}
}  // namespace

void Tsp_XYPlot::MarkChanged(int c0, int c1) {
  c0 = std::max(c0, keptClip_.left());
  c1 = std::min(c1, keptClip_.right());
  for (int c = c0; c <= c1; ++c) changedCols_[static_cast<size_t>(c - keptClip_.left())] = 1;
}

// Marks the columns where line i's pixels differ between the kept drawing
// and the new segments. A segment found in only one of the two drawings
// changes nothing where all its pixels lie under bars (vertical segments)
// found in both: with the columns sliding under dense readings that is
// where most joins between neighbouring columns lie.
void Tsp_XYPlot::DiffLine(int i, const QRect& clip) {
  const TKeptLine& kl = kept_.Lines[static_cast<size_t>(i)];
  const std::vector<TPixelSegment>& n = directSegs_.Item(i);
  const bool sorted = SegsSorted(n);
  keptSorted_[static_cast<size_t>(i)] = sorted;
  if (!sorted || !kl.Sorted) {
    MarkChanged(clip.left(), clip.right());
    return;
  }
  const double h = kl.HalfWidth;
  // A bar at column k covers pixel columns k - 1 and k with the 2-pixel pen.
  const bool bars = h == 1.0;
  if (bars) {
    const size_t w = static_cast<size_t>(clip.width()) + 2;
    barLo_.assign(w, INT_MAX);
    barHi_.assign(w, INT_MIN);
  }
  DiffSegments(kl.Segs, n, bars, clip.left());
  if (bars) CoverColumns(clip.width());
  MarkOnlyOne(h, bars, clip);
}

// Joins the bar s (a segment within one column) to the rows its column's
// common bars cover; a bar apart from them is left out.
void Tsp_XYPlot::NoteCommonBar(const TPixelSegment& s, int left) {
  if (s.X1 != s.X2) return;
  const int k = s.X1 - left;
  if (k < 0 || static_cast<size_t>(k) >= barLo_.size()) return;
  const int lo = std::min<int>(s.Y1, s.Y2) - 1, hi = std::max<int>(s.Y1, s.Y2);
  int& bl = barLo_[static_cast<size_t>(k)];
  int& bh = barHi_[static_cast<size_t>(k)];
  if (bl == INT_MAX) {
    bl = lo;
    bh = hi;
  } else if (lo <= bh + 1 && hi >= bl - 1) {
    bl = std::min(bl, lo);
    bh = std::max(bh, hi);
  }
}

// Walks the kept segments o and the new ones n side by side: the bars found
// in both are noted, the segments found in only one go to onlyOne_.
void Tsp_XYPlot::DiffSegments(const std::vector<TPixelSegment>& o,
                              const std::vector<TPixelSegment>& n, bool bars, int left) {
  auto common = [&](const TPixelSegment& s) {
    if (bars) NoteCommonBar(s, left);
  };
  onlyOne_.clear();
  constexpr size_t kGroup = 16;
  size_t a = 0, b = 0;
  while (a < o.size() || b < n.size()) {
    // Most of the two lists is the same, side by side.
    while (a < o.size() && b < n.size() && SameSeg(o[a], n[b])) {
      common(o[a]);
      ++a;
      ++b;
    }
    if (a == o.size() && b == n.size()) break;
    if (b == n.size() || (a < o.size() && o[a].X2 < n[b].X2)) {
      onlyOne_.push_back(o[a++]);
      continue;
    }
    if (a == o.size() || n[b].X2 < o[a].X2) {
      onlyOne_.push_back(n[b++]);
      continue;
    }
    // The segments ending in the same column: a join and a bar, usually.
    const int x = o[a].X2;
    size_t a2 = a, b2 = b;
    while (a2 < o.size() && o[a2].X2 == x) ++a2;
    while (b2 < n.size() && n[b2].X2 == x) ++b2;
    bool matched[kGroup] = {};
    const bool small = b2 - b <= kGroup;
    for (; a < a2; ++a) {
      bool found = false;
      for (size_t k = b; small && k < b2 && !found; ++k)
        if (!matched[k - b] && SameSeg(o[a], n[k])) found = matched[k - b] = true;
      if (found)
        common(o[a]);
      else
        onlyOne_.push_back(o[a]);
    }
    for (size_t k = b; k < b2; ++k)
      if (!small || !matched[k - b]) onlyOne_.push_back(n[k]);
    b = b2;
  }
}

// The rows of each of the cw pixel columns the common bars cover, as one
// interval (of two that do not touch, one: what is left out only counts as
// shown).
void Tsp_XYPlot::CoverColumns(int cw) {
  covLo_.resize(static_cast<size_t>(cw));
  covHi_.resize(static_cast<size_t>(cw));
  for (size_t k = 0; k < static_cast<size_t>(cw); ++k) {
    int lo = barLo_[k], hi = barHi_[k];
    const int lo2 = barLo_[k + 1], hi2 = barHi_[k + 1];
    if (lo2 != INT_MAX) {
      if (lo == INT_MAX) {
        lo = lo2;
        hi = hi2;
      } else if (lo2 <= hi + 1 && hi2 >= lo - 1) {
        lo = std::min(lo, lo2);
        hi = std::max(hi, hi2);
      }
    }
    covLo_[k] = lo;
    covHi_[k] = hi;
  }
}

bool Tsp_XYPlot::BarCovered(int r, int x, int left) const {
  const size_t k = static_cast<size_t>(x - left);
  return covLo_[k] <= r && r <= covHi_[k];
}

// Whether every pixel the 2-pixel pen draws for s lies under the common
// bars: they lie in columns X - 1 .. X and rows Y - 1 .. Y of its ends' box,
// so that box covered at its top and bottom rows hides it as a whole.
bool Tsp_XYPlot::HiddenUnderBars(const TPixelSegment& s, const QRect& clip) const {
  const int x0 = std::max(std::min<int>(s.X1, s.X2) - 1, clip.left());
  const int x1 = std::min<int>(std::max<int>(s.X1, s.X2), clip.right());
  const int y0 = std::max(std::min<int>(s.Y1, s.Y2) - 1, clip.top());
  const int y1 = std::min<int>(std::max<int>(s.Y1, s.Y2), clip.bottom());
  bool hidden = true;
  for (int x = x0; x <= x1 && hidden; ++x)
    hidden = y0 > y1 || (BarCovered(y0, x, clip.left()) && BarCovered(y1, x, clip.left()));
  return hidden;
}

// Marks the columns of the segments in onlyOne_ whose pixels show, drawn
// with half width h; with bars, those hidden under the common bars do not.
void Tsp_XYPlot::MarkOnlyOne(double h, bool bars, const QRect& clip) {
  // How far a segment's pixels may reach beyond its ends.
  const int pad = static_cast<int>(std::ceil(1.5 * h)) + 2;
  for (const TPixelSegment& s : onlyOne_) {
    // Nothing to judge where all its columns are to be drawn anyway.
    const int l = std::max(std::min<int>(s.X1, s.X2) - pad, clip.left());
    const int r = std::min(std::max<int>(s.X1, s.X2) + pad, clip.right());
    bool open = false;
    for (int x = l; x <= r && !open; ++x)
      open = !changedCols_[static_cast<size_t>(x - clip.left())];
    if (!open) continue;
    if (bars && HiddenUnderBars(s, clip)) continue;
    spans_.clear();
    SegmentSpans(s, h, clip, spans_);
    int c0 = INT_MAX, c1 = INT_MIN;
    bool shows = !bars;
    for (const TRowSpan& sp : spans_) {
      c0 = std::min(c0, sp.C0);
      c1 = std::max(c1, sp.C1);
      for (int x = sp.C0; x <= sp.C1 && !shows; ++x) shows = !BarCovered(sp.Row, x, clip.left());
    }
    if (shows) MarkChanged(c0, c1);
  }
}

// Only the background, the grid and lines drawn straight into the image can
// be kept: nothing else may draw on the field.
bool Tsp_XYPlot::KeptFieldDrawable() const {
  if (fieldColor_ == clNone || OnFieldDraw || OnDrawEnd) return false;
  for (const std::vector<Tsp_PlotMarker*>* list : {&before_, &after_})
    for (Tsp_PlotMarker* m : *list)
      if (m->Visible()) return false;
  return true;
}

// What the grid draws, by axis, into grid; false where a grid line may draw
// differently under another clip.
bool Tsp_XYPlot::KeptGridKey(std::vector<int>& grid) const {
  for (const Tsp_Axis* a : {left_.get(), bottom_.get(), right_.get(), top_.get()}) {
    const Tsp_LineAttr& g = a->GridAttr();
    if (!g.Visible() || a->TicksCount() == 0) {
      grid.push_back(-1);
      continue;
    }
    // Filled rectangles only: they draw the same pixels under any clip.
    if (g.Style() != psClear &&
        !((g.Style() == psSolid || g.Style() == psInsideFrame) && g.Width() <= 1))
      return false;
    grid.push_back(static_cast<int>(g.Style()));
    grid.push_back(static_cast<int>(g.Color()));
    grid.push_back(a->TicksCount());
    for (int i = 0; i < a->TicksCount(); ++i) grid.push_back(a->TickPos(i));
  }
  return true;
}

// Gathers the active series into keptRun_ (keptDraws_: which of them draw
// something); false where one cannot be drawn straight into the image.
// drawing: how many draw something.
bool Tsp_XYPlot::KeptPrepareSeries(int& drawing) {
  keptRun_.clear();
  keptDraws_.clear();
  drawing = 0;
  for (Tsp_DataSeries* s : series_) {
    if (!s->IsActive()) continue;
    const Tsp_DataSeries::TDirect d = s->DirectPrepare();
    if (d == Tsp_DataSeries::dNo) return false;
    keptRun_.push_back(s);
    keptDraws_.push_back(d == Tsp_DataSeries::dYes);
    drawing += d == Tsp_DataSeries::dYes;
  }
  return true;
}

// Whether the kept field was drawn on the same field, background, grid and
// line pens: only then may its segments be compared with the new ones.
bool Tsp_XYPlot::KeptMatches(const QRect& field, const std::vector<int>& grid,
                             const std::vector<double>& widths,
                             const std::vector<QRgb>& colours) const {
  const size_t n = widths.size();
  bool same = kept_.Epoch == fullEpoch_ && kept_.Field == field &&
              kept_.FieldColor == fieldColor_ && kept_.Grid == grid && kept_.Lines.size() == n;
  for (size_t i = 0; same && i < n; ++i)
    same = kept_.Lines[i].HalfWidth == widths[i] && kept_.Lines[i].Colour == colours[i];
  return same;
}

// Finds the segments of keptRun_'s lines into directSegs_ and, where the
// kept field is compared, marks the changed columns line by line.
void Tsp_XYPlot::KeptBuildLines(const QRect& clip, int drawing) {
  // If the lines were drawn on two threads last time, they likely will be
  // again: the helper wakes up while this thread starts.
  Tsp_DrawHelper* helper = twoThreads_ && drawing >= 2 ? Tsp_DrawHelper::Get() : nullptr;
  if (helper && drewOnTwo_) helper->Prepare();
  drewOnTwo_ = false;
  const int count = static_cast<int>(keptRun_.size());
  directSegs_.Reserve(count);
  auto make = [&](int i, std::vector<TPixelSegment>& segs) {
    if (keptDraws_[static_cast<size_t>(i)])
      keptRun_[static_cast<size_t>(i)]->DirectBuild(segs);
    else
      segs.clear();
  };
  auto use = [&](int i, std::vector<TPixelSegment>& segs) {
    if (keptDiff_)
      DiffLine(i, clip);
    else
      keptSorted_[static_cast<size_t>(i)] = SegsSorted(segs);
  };
  if (helper) {
    drewOnTwo_ = true;
    directSegs_.Run(*helper, count, make, use,
                    [](std::vector<TPixelSegment>& segs) { segs.clear(); });
  } else {
    for (int i = 0; i < count; ++i) {
      make(i, directSegs_.Item(i));
      use(i, directSegs_.Item(i));
    }
  }
}

// The changed columns as a few rectangles into rects: close ones are
// joined, and when most of the field changed it is drawn whole.
void Tsp_XYPlot::KeptChangedRects(const QRect& clip, std::vector<QRect>& rects) {
  if (!keptDiff_) {
    rects.push_back(clip);
    return;
  }
  constexpr int kJoin = 8;
  int total = 0;
  for (int c = 0; c < clip.width();) {
    if (!changedCols_[static_cast<size_t>(c)]) {
      ++c;
      continue;
    }
    int e = c + 1, gap = 0;
    for (int k = e; k < clip.width() && gap <= kJoin; ++k) {
      if (changedCols_[static_cast<size_t>(k)]) {
        e = k + 1;
        gap = 0;
      } else {
        ++gap;
      }
    }
    rects.emplace_back(clip.left() + c, clip.top(), e - c, clip.height());
    total += e - c;
    c = e;
  }
  if (4 * total > 3 * clip.width()) {
    rects.assign(1, clip);
    keptRest_ = 8;
  }
}

// Refills each of rects with the background, the grid and the lines (pens
// widths wide) in img, the field clip of it.
void Tsp_XYPlot::KeptFill(QPainter& p, QImage& img, const QRect& clip,
                          const std::vector<QRect>& rects, const std::vector<double>& widths) {
  // How far a segment's pixels may reach beyond its ends.
  double widest = 0;
  for (double w : widths) widest = std::max(widest, w);
  const int pad = static_cast<int>(std::ceil(1.5 * widest)) + 2;
  for (const QRect& r : rects) {
    p.save();
    p.setClipRect(r);
    p.fillRect(r, ToQColor(fieldColor_));
    DrawGrid(p);
    p.restore();
    for (size_t i = 0; i < keptRun_.size(); ++i) {
      const std::vector<TPixelSegment>& segs = directSegs_.Item(static_cast<int>(i));
      if (!keptDraws_[i] || segs.empty()) continue;
      if (!keptSorted_[i] || r == clip) {
        keptRun_[i]->DirectFill(segs, img, r);
        continue;
      }
      // Only the segments that can reach the rectangle.
      const int left = r.left() - pad, right = r.right() + pad;
      auto it = std::lower_bound(segs.begin(), segs.end(), left,
                                 [](const TPixelSegment& s, int x) { return s.X2 < x; });
      fillScratch_.clear();
      for (; it != segs.end() && it->X1 <= right; ++it) fillScratch_.push_back(*it);
      if (!fillScratch_.empty()) keptRun_[i]->DirectFill(fillScratch_, img, r);
    }
  }
}

// Keeps what the field now shows for the next drawing; the lines' segments
// move out of directSegs_.
void Tsp_XYPlot::KeptStore(const QRect& field, std::vector<int>& grid,
                           const std::vector<double>& widths, const std::vector<QRgb>& colours) {
  const size_t n = keptRun_.size();
  kept_.Epoch = fullEpoch_;
  kept_.Field = field;
  kept_.FieldColor = fieldColor_;
  kept_.Grid.swap(grid);
  kept_.Lines.resize(n);
  for (size_t i = 0; i < n; ++i) {
    TKeptLine& kl = kept_.Lines[i];
    kl.Series = keptRun_[i];
    kl.HalfWidth = widths[i];
    kl.Colour = colours[i];
    kl.Sorted = keptSorted_[i];
    kl.Segs.swap(directSegs_.Item(static_cast<int>(i)));
  }
  kept_.Valid = true;
}

// Draws the field into the off-screen image when it holds only the
// background, the grid and lines drawn straight into it, keeping what it
// shows for the next time; refills only the changed columns when the last
// drawing was kept. changed: the part of the field drawn. False (nothing
// drawn) where the field must be drawn the usual way.
bool Tsp_XYPlot::DrawFieldKept(QPainter& p, QRect& changed) {
  keptLast_ = false;
  const bool was = kept_.Valid;
  kept_.Valid = false;
  QImage* img = DirectImage(p);
  if (img != &bitmap_ || !KeptFieldDrawable()) return false;
  std::vector<int> grid;
  if (!KeptGridKey(grid)) return false;
  int drawing = 0;
  if (!KeptPrepareSeries(drawing)) return false;
  const QRect field = FieldRect();
  const QRect clip = field & img->rect();
  if (clip.isEmpty()) return false;
  const size_t n = keptRun_.size();
  std::vector<double> widths(n, -1);
  std::vector<QRgb> colours(n, 0);
  for (size_t i = 0; i < n; ++i)
    if (!keptRun_[i]->DirectStroke(widths[i], colours[i]) && keptDraws_[i]) return false;
  keptDiff_ = was && KeptMatches(field, grid, widths, colours);
  // Where the last comparison found most of the field changed (a short time
  // range, back-to-back drawings), the next few are drawn whole without one.
  if (keptDiff_ && keptRest_ > 0) {
    --keptRest_;
    keptDiff_ = false;
  }
  keptClip_ = clip;
  changedCols_.assign(static_cast<size_t>(clip.width()), 0);
  keptSorted_.assign(n, 0);
  KeptBuildLines(clip, drawing);

  std::vector<QRect> rects;
  KeptChangedRects(clip, rects);
  KeptFill(p, *img, clip, rects, widths);
  changed = QRect();
  for (const QRect& r : rects) changed |= r;
  lastChange_ = changed;
  lastColumns_ = 0;
  for (const QRect& r : rects) lastColumns_ += r.width();
  KeptStore(field, grid, widths, colours);
  keptLast_ = keptDiff_;
  return true;
}
