// The plot's kept field: a drawing at a line's pace compares what each line
// draws with what it drew last time and redraws only the pixel columns
// where something changed; everything else in the off-screen image already
// shows what a full drawing would draw there.
#include <QPainter>
#include <array>
#include <chrono>
#include <optional>

#include "diagram/plot/sgr_def.h"

namespace {
// Drawings closer together than this come back to back (a burst of
// readings, a pan): the lines are drawn in full, on two threads.
constexpr int64_t kPaceNs = 1'000'000;
// Above this share of changed columns a full drawing is as cheap.
constexpr double kMostChanged = 0.5;
// Changed columns this close are redrawn as one run.
constexpr int kRunGap = 3;
// Runs this close are copied to the window as one rectangle, and more
// rectangles than this as one. The copy is a plain one per row, so a gap
// costs its pixels: wide joins copied ten times the changed pixels.
constexpr int kWindowGap = 8, kWindowRects = 12;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The grids the runs can redraw pixel by pixel: solid and one pixel wide,
// which the field drawing fills as rectangles.
bool PlainGrid(const Tsp_LineAttr& g) {
  return (g.Style() == psSolid || g.Style() == psInsideFrame) && g.Width() <= 1;
}

void FillRect(QImage& img, const QRect& r, QRgb c) {
  uchar* base = const_cast<uchar*>(img.constBits());
  const qsizetype bpl = img.bytesPerLine();
  for (int y = r.top(); y <= r.bottom(); ++y) {
    QRgb* row = reinterpret_cast<QRgb*>(base + y * bpl);
    for (int x = r.left(); x <= r.right(); ++x) row[x] = c;
  }
}
}  // namespace

bool Tsp_XYPlot::AtLinePace() const {
  return SteadyNs() - lastFieldEndNs_ >= kPaceNs;
}

void Tsp_XYPlot::SetKeptField(bool on) {
  keptOn_ = on;
  ForgetKeptField();
}

// False where the field holds more than plain grids and directly drawn
// lines (markers, callbacks, other series, patterned grids): such a field is
// always drawn in full.
bool Tsp_XYPlot::MakeFieldKey(TFieldKey& key) const {
  if (fieldColor_ == clNone || OnFieldDraw || OnDrawEnd || !allDirect_) return false;
  for (const std::vector<Tsp_PlotMarker*>* list : {&before_, &after_})
    for (const Tsp_PlotMarker* m : *list)
      if (m->Visible()) return false;
  key.Field = FieldRect();
  key.FieldColor = fieldColor_;
  key.Grid.clear();
  for (const Tsp_Axis* a : {left_.get(), bottom_.get(), right_.get(), top_.get()}) {
    const Tsp_LineAttr& g = a->GridAttr();
    if (!g.Visible() || a->TicksCount() == 0 || g.Style() == psClear) {
      key.Grid.push_back(0);
      continue;
    }
    if (!PlainGrid(g)) return false;
    key.Grid.push_back(1);
    key.Grid.push_back(static_cast<int>(g.Color()));
    key.Grid.push_back(a->TicksCount());
    for (int i = 0; i < a->TicksCount(); ++i) key.Grid.push_back(a->TickPos(i));
  }
  key.Series.assign(drawnDirect_.begin(), drawnDirect_.end());
  return true;
}

// Collects in runs_ the columns where the series drawn now differ from the
// kept drawing; returns their share of the field (1 when a series cannot
// tell).
double Tsp_XYPlot::ChangedShare(uint64_t kept, const QImage& img) {
  runs_.Runs.clear();
  runs_.Columns = 0;
  const QRect clip = FieldRect() & img.rect();
  if (clip.isEmpty()) return 0;
  changedCols_.assign(static_cast<size_t>(img.width()), TRowSpan());
  for (Tsp_DataSeries* s : drawnDirect_)
    if (!s->DirectChanges(kept, changedCols_)) return 1;
  runs_.Build(changedCols_, clip.left(), clip.right(), clip.top(), clip.bottom(), kRunGap);
  return static_cast<double>(runs_.Columns) / clip.width();
}

bool Tsp_XYPlot::DrawFieldKept(QPainter* p) {
  if (!keptOn_ || keptSerial_ == 0 || lastChanged_ > kMostChanged) return false;
  if (!AtLinePace()) return false;
  QImage* img = p ? DirectImage(*p) : DirectFormat(bitmap_) ? &bitmap_ : nullptr;
  if (!img) return false;
  // The pixels are written through constBits(): the image must not share
  // them (a painter's begin detaches it likewise).
  if (!p) img->bits();
  directRun_.clear();
  drawnDirect_.clear();
  allDirect_ = true;
  for (Tsp_DataSeries* s : series_) {
    if (!s->IsActive()) continue;
    const Tsp_DataSeries::TDirect d = s->DirectPrepare();
    if (d == Tsp_DataSeries::dNo) {
      allDirect_ = false;
      break;
    }
    if (d == Tsp_DataSeries::dYes) drawnDirect_.push_back(s);
  }
  TFieldKey key;
  if (!MakeFieldKey(key) || !(key == keptKey_)) return false;

  const uint64_t kept = keptSerial_;
  keptSerial_ = 0;  // until this drawing is complete
  TSerialScope serial(drawSerial_, ++serialCount_);
  struct TKeptScope {
    bool& On;
    explicit TKeptScope(bool& on) : On(on) { On = true; }
    ~TKeptScope() { On = false; }
  } keptScope(keptDrawing_);
  drewOnTwo_ = false;
  const int n = static_cast<int>(drawnDirect_.size());
  directSegs_.Reserve(n);
  for (int i = 0; i < n; ++i)
    drawnDirect_[static_cast<size_t>(i)]->DirectBuild(directSegs_.Item(i));
  const double share = ChangedShare(kept, *img);
  const QRect clip = FieldRect() & img->rect();
  regionSet_ = true;
  changedRegion_ = QRegion();
  if (share > kMostChanged) {
    std::optional<QPainter> own;
    QPainter* bp = p;
    if (!bp) {
      bp = &own.emplace(&bitmap_);
      canvas_ = bp;
    }
    bp->save();
    bp->setClipRect(FieldRect());
    DrawFieldBackground(*bp);
    bp->restore();
    for (int i = 0; i < n; ++i)
      drawnDirect_[static_cast<size_t>(i)]->DirectFill(directSegs_.Item(i), *img, clip);
    changedRegion_ = FieldRect();
    if (!p) canvas_ = nullptr;
    lastRedrawn_ = 1;
  } else {
    if (runs_.Columns > 0) {
      FillBackgroundRuns(*img);
      for (int i = 0; i < n; ++i)
        drawnDirect_[static_cast<size_t>(i)]->DirectFillRuns(directSegs_.Item(i), *img, clip,
                                                             runs_);
      // The window gets a few rectangles, near runs joined: a rectangle
      // costs a region join and, where the window is painted rather than
      // copied into, a painter's set-up. Joined into a region only when they
      // are few: each join of a region costs more than the rectangle it adds.
      QRect rect = runs_.Runs.front().Rect(), all = rect;
      std::array<QRect, kWindowRects> rects;
      int count = 0;
      auto flush = [&] {
        if (count < kWindowRects) rects[static_cast<size_t>(count)] = rect;
        ++count;
      };
      for (size_t k = 1; k < runs_.Runs.size(); ++k) {
        const TColumnRun& r = runs_.Runs[k];
        all |= r.Rect();
        if (r.First - rect.right() > kWindowGap) {
          flush();
          rect = r.Rect();
        } else {
          rect |= r.Rect();
        }
      }
      flush();
      if (count > kWindowRects)
        changedRegion_ = all;
      else
        for (int k = 0; k < count; ++k) changedRegion_ += rects[static_cast<size_t>(k)];
    }
    lastRedrawn_ = share;
  }
  lastChanged_ = share;
  keptKey_ = std::move(key);
  keptSerial_ = drawSerial_;
  lastFieldEndNs_ = SteadyNs();
  return true;
}

// The field's colour and its grid lines in the columns of runs_, pixel for
// pixel as the painter fills them in a full drawing (plain grids only).
void Tsp_XYPlot::FillBackgroundRuns(QImage& img) {
  const QRect clip = FieldRect() & img.rect();
  const QRgb field = ToQColor(fieldColor_).rgba();
  for (const TColumnRun& r : runs_.Runs) {
    const QRect run = r.Rect() & clip;
    FillRect(img, run, field);
    for (Tsp_Axis* a : {left_.get(), bottom_.get(), right_.get(), top_.get()}) {
      const Tsp_LineAttr& g = a->GridAttr();
      if (!g.Visible() || a->TicksCount() == 0 || g.Style() == psClear) continue;
      const QRgb c = ToQColor(g.Color()).rgba();
      for (int i = 0; i < a->TicksCount(); ++i) {
        const int t = a->TickPos(i);
        if (a->IsVertical()) {
          if (fTop_ < t && t < fBottom_ - 1)
            FillRect(img, run & QRect(fLeft_, t, fRight_ - fLeft_, 1), c);
        } else if (fLeft_ < t && t < fRight_ - 1) {
          FillRect(img, run & QRect(t, fTop_, 1, fBottom_ - fTop_), c);
        }
      }
    }
  }
}

// After a full drawing of the field into the off-screen image: it is kept
// for the next drawing. What changed is not worked out here (drawings in a
// burst would pay for it on every line): the next drawing at a line's pace
// finds out.
void Tsp_XYPlot::FieldDrawnInFull() {
  lastRedrawn_ = 1;
  lastChanged_ = 0;
  lastFieldEndNs_ = SteadyNs();
  TFieldKey key;
  if (drawSerial_ == 0 || !MakeFieldKey(key)) return;
  keptKey_ = std::move(key);
  keptSerial_ = drawSerial_;
}
