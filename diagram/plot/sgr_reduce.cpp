// The reduced drawing of a line with sorted X: each pixel column becomes at
// most a join from the previous column and one vertical segment, found with
// a few mappings per column and kept from one drawing to the next.
#include <QPoint>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_raster.h"

namespace {
// A kept column whose points moved by a few at its ends (the time axis slid
// a little, a point arrived or expired) is brought up to date from those
// points alone: new points widen its extremes; a point that left changes
// nothing when its value lay strictly inside them. Otherwise false: scan
// again.
template <typename TColumnT, typename TValue>
bool SlideColumn(TColumnT& col, int64_t seq0, int i, int j, TValue value) {
  constexpr int64_t kMaxMoved = 16;
  if (col.Seq0 < 0) return false;
  const int64_t c0 = col.Seq0 - seq0, c1 = col.Seq1() - seq0;  // kept range, as indexes now
  if (c0 < 0 || c1 <= c0 || c0 >= j || c1 <= i) return false;
  if (std::abs(c0 - i) + std::abs(c1 - j) > kMaxMoved) return false;
  double lo = col.VMin, hi = col.VMax;
  for (int64_t k = c0; k < i; ++k) {  // left at the start
    const double v = value(static_cast<int>(k));
    if (!(v > lo && v < hi)) return false;
  }
  for (int64_t k = j; k < c1; ++k) {  // left at the end
    const double v = value(static_cast<int>(k));
    if (!(v > lo && v < hi)) return false;
  }
  for (int64_t k = i; k < c0; ++k) {  // came at the start
    const double v = value(static_cast<int>(k));
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  for (int64_t k = c1; k < j; ++k) {  // came at the end
    const double v = value(static_cast<int>(k));
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  col.VMin = lo;
  col.VMax = hi;
  return true;
}

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
class Tsp_ColumnReducer {
 public:
  Tsp_ColumnReducer(Tsp_XYLine& line, const Tsp_Axis& ax, const Tsp_Axis& ay,
                    std::vector<TPixelSegment>* out, Tsp_XYLine::TDrawn* drawn)
      : line_(line),
        drawn_(drawn),
        out_(out),
        n_(line.Count()),
        inc_(ax.PixelsPerUnit() >= 0),
        yUp_(ay.PixelsPerUnit() >= 0),
        lo_(line.Plot()->FieldLeft() - 3),
        hi_(line.Plot()->FieldRight() + 3),
        mapX_(ax),
        mapY_(ay),
        pts_(line.pts_.data()),
        head_(line.RingHead()),
        cap_(line.RingCapacity()),
        seq0_(line.FirstSeq()) {}

  void Run(const Tsp_Axis& ax, const Tsp_Axis& ay) {
    const int a = FindFirstVisible();
    line_.firstVisibleSeq_ = seq0_ + a;
    if (a > 0) {
      prev_ = QPoint(Px(a - 1), Py(a - 1));
      havePrev_ = true;
    }
    CheckKeptColumns(ax, ay);
    pass_ = CanPass();
    if (drawn_) {
      drawn_->Up = inc_;
      drawn_->Cursor = inc_ ? 0 : static_cast<int>(drawn_->Columns.size()) - 1;
    }
    EmitColumns(a);
    // The columns beyond the last one noted hold nothing now.
    if (drawn_ && drawn_->Serial != 0 &&
        !drawn_->PassTo(inc_ ? static_cast<int>(drawn_->Columns.size()) : -1))
      drawn_->Serial = 0;
    line_.notesMatch_ = drawn_ && drawn_->Serial != 0;
    line_.staysOv_ = mapX_.ov;
  }

 private:
  using TXY = Tsp_XYLine::TXY;
  using TColumn = Tsp_XYLine::TColumn;
  // Columns of a few points are cheaper to look at again than to look up.
  static constexpr int kKeptRun = 8;

  const TXY& At(int i) const {
    const int p = head_ + i;
    return pts_[p >= cap_ ? p - cap_ : p];
  }
  int Px(int i) const { return mapX_(At(i).x); }
  int Py(int i) const { return mapY_(At(i).y); }
  bool Before(int c) const { return inc_ ? c < lo_ : c > hi_; }
  bool Beyond(int c) const { return inc_ ? c > hi_ : c < lo_; }
  TColumn& Column(int c) { return line_.columns_[static_cast<size_t>(c - lo_)]; }

  // While the time axis only slides, the first visible point is at or next
  // to last time's: searching outwards from there reads a few neighbouring
  // points where a search of the whole buffer would read a dozen scattered
  // ones.
  int FindFirstVisible() const {
    int below = 0, from = n_;  // points before `below` are all before, none from `from` on
    const int64_t hint = line_.firstVisibleSeq_ - seq0_;
    if (line_.firstVisibleSeq_ >= 0 && hint >= 0 && hint <= n_)
      GallopFrom(static_cast<int>(hint), below, from);
    while (below < from) {
      const int m = below + (from - below) / 2;
      if (Before(Px(m)))
        below = m + 1;
      else
        from = m;
    }
    return below;
  }

  void GallopFrom(int h, int& below, int& from) const {
    if (h < n_ && Before(Px(h))) {
      below = h + 1;
      for (int step = 1; h + step < n_; step *= 2) {
        if (!Before(Px(h + step))) {
          from = h + step;
          return;
        }
        below = h + step + 1;
      }
    } else {
      from = h;
      for (int step = 1; h - step >= 0; step *= 2) {
        if (Before(Px(h - step))) {
          below = h - step + 1;
          return;
        }
        from = h - step;
      }
    }
  }

  // Columns of the last drawing are kept while the zoom, the temperature
  // scale and the stored points (apart from the two ends) are the same.
  void CheckKeptColumns(const Tsp_Axis& ax, const Tsp_Axis& ay) {
    Tsp_XYLine::TColumnKey key;
    key.Xppu = ax.PixelsPerUnit();
    key.Xop = ax.OriginPixel();
    key.Yov = ay.OriginValue();
    key.Yppu = ay.PixelsPerUnit();
    key.Yop = ay.OriginPixel();
    key.Lo = lo_;
    key.Hi = hi_;
    key.Stamp = line_.EditStamp();
    std::vector<TColumn>& columns = line_.columns_;
    if (!(key == line_.columnKey_) || columns.size() != static_cast<size_t>(hi_ - lo_ + 1)) {
      columns.assign(static_cast<size_t>(hi_ - lo_ + 1), TColumn());
      line_.stays_.assign(columns.size(), -kInf);
      line_.columnKey_ = key;
      line_.columnsKept_ = false;
    }
    if (line_.columnsKept_) PrefetchMovedEnds();
  }

  // Where a kept column's end no longer maps where it did (the axis slid a
  // point across the column edge), the points there will be read. They lie
  // scattered over a large buffer that is rarely in the cache, so they are
  // asked for now, all at once, rather than waited for one by one.
  // Where the columns' thresholds hold, only a column whose threshold the
  // origin has reached can have a moved end: the others' entries are not
  // read at all (most of them, at a line's pace, a cache line each).
  void PrefetchMovedEnds() const {
    const std::vector<TColumn>& columns = line_.columns_;
    const std::vector<double>& stays = line_.stays_;
    const bool sieve = stays.size() == columns.size() && mapX_.ov >= line_.staysOv_;
    size_t passed = columns.size();  // the last column with points the sieve passes over
    for (size_t k = 0; k < columns.size(); ++k) {
      if (sieve && mapX_.ov < stays[k]) {
        if (stays[k] != kInf) passed = k;
        continue;
      }
      // The walk passes over to here from the last such column, and reads
      // its entry.
      if (passed < k) {
        __builtin_prefetch(&columns[passed]);
        passed = columns.size();
      }
      const TColumn& col = columns[k];
      if (col.Seq0 < 0 || !col.HasNext) continue;
      const int64_t e = col.Seq1() - seq0_;  // the first point after the column
      if (e < 2 || e >= n_) continue;
      const int c = lo_ + static_cast<int>(k);
      const bool lostLast = mapX_(col.XLast) != c, gotNext = mapX_(col.XNext) == c;
      // A column that lost its last point is searched just before it; one
      // that took in the point after it looks on past that point.
      if (lostLast) __builtin_prefetch(&At(static_cast<int>(e) - 2));
      if (gotNext) {
        __builtin_prefetch(&At(static_cast<int>(e)));
        if (e + 1 < n_) __builtin_prefetch(&At(static_cast<int>(e) + 1));
      }
    }
  }

  // A drawing that notes without building segments, after one that noted,
  // with the time axis only slid forward, passes over the columns that
  // cannot have changed: their notes hold.
  bool CanPass() const {
    return drawn_ && !out_ && inc_ && line_.notesMatch_ && drawn_->Before != 0 &&
           drawn_->Serial != 0 && line_.columnsKept_ && mapX_.ov >= line_.staysOv_ &&
           line_.stays_.size() == line_.columns_.size();
  }

  // The origin value from which x, in column k now, maps to a column left
  // of k (the axis slides forward: points only move left). The margin lies
  // far above the rounding of the mapping and of this sum (a few units in
  // the last place of x and the origin) and far below the slide of a
  // reading, a small part of a pixel: a wider one had columns that cannot
  // have changed looked at again.
  double StaysBelow(double x, int k) const {
    constexpr double kMarginPx = 1e-6;
    constexpr double kBits = 16 * std::numeric_limits<double>::epsilon();
    return x - (k - 0.5 + kMarginPx - mapX_.op) / mapX_.ppu -
           kBits * (std::fabs(x) + std::fabs(mapX_.ov));
  }
  double& Stays(int c) { return line_.stays_[static_cast<size_t>(c - lo_)]; }
  void SetStays(int c, const TColumn& col) {
    Stays(c) =
        col.HasNext ? std::min(col.StaysFirst, StaysBelow(col.XNext, mapX_(col.XNext))) : -kInf;
  }
  // Columns after `last` and before c hold no points.
  void MarkEmpty(int last, int c) {
    if (last < lo_) return;
    for (int k = last + 1; k < c && k <= hi_; ++k) Stays(k) = kInf;
  }

  // Passes over the columns from c (that of point i) that cannot have
  // changed, continuing after the last of them; false when c may have.
  bool PassOver(int& i, int& c, int& run, int& last) {
    const double ov = mapX_.ov;
    int k = c, full = -1;
    for (; k <= hi_; ++k) {
      const double t = Stays(k);
      if (!(ov < t)) break;
      if (t != kInf) full = k;
    }
    if (full < 0) return false;
    const TColumn& col = Column(full);
    const int64_t j = col.Seq1() - seq0_;
    if (col.Seq0 < seq0_ || j <= i || j >= n_) return false;  // not expected
    prev_ = QPoint(full, col.YLast);
    havePrev_ = true;
    drawn_->Cursor = full - drawn_->Lo + 1;
    i = static_cast<int>(j);
    // The point after the passed column is known by its X: reading it from
    // the buffer would be a cache miss per changed column.
    c = col.HasNext ? mapX_(col.XNext) : Px(i);
    run = col.Length;
    last = full;
    return true;
  }

  void EmitColumns(int i) {
    int run = 1;
    int c = i < n_ ? Px(i) : 0;  // column of point i
    bool force = true;           // the column before changed: look at this one
    int last = lo_ - 1;          // the last column with points so far
    while (i < n_) {
      if (Beyond(c)) {
        if (havePrev_) {
          const QPoint end(c, Py(i));
          Add(prev_, end);
          if (drawn_ && drawn_->Serial != 0) {
            drawn_->Tail = TPixelSegment(prev_, end);
            drawn_->HasTail = true;
          }
        }
        break;
      }
      MarkEmpty(last, c);
      if (pass_ && !force && PassOver(i, c, run, last)) continue;
      const int here = c;
      if (run < kKeptRun) {
        if (WalkSparse(i, c, run)) {
          Stays(here) = -kInf;
          force = true;
          last = here;
          continue;
        }
        run = kKeptRun;
      }
      int next = 0;
      bool nextKnown = false;
      const int j = FindColumnEnd(i, c, run, next, nextKnown);
      run = j - i;
      TColumn one;
      if (run >= kKeptRun) line_.columnsKept_ = true;
      const bool kept = run >= kKeptRun;
      TColumn& col = kept ? Column(c) : one;
      bool moved = false;
      force = Fetch(col, c, i, j, moved);
      if (!kept)
        Stays(c) = -kInf;
      else if (moved || !(mapX_.ov < Stays(c)))
        SetStays(c, col);
      Emit(c, col.YFirst, col.YMin, col.YMax, col.YLast);
      last = c;
      i = j;
      if (i < n_) c = nextKnown ? next : Px(i);
    }
  }

  // Sparse points (a short time range): the column is walked point by point
  // and emitted. False when it turns out dense, to be looked up instead.
  bool WalkSparse(int& i, int& c, int& run) {
    const int yFirst = Py(i);
    int pmin = yFirst, pmax = yFirst, yLast = yFirst, j = i + 1, cj = c;
    while (j < n_ && j - i < kKeptRun) {
      cj = Px(j);
      if (cj != c) break;
      const int y = Py(j);
      pmin = std::min(pmin, y);
      pmax = std::max(pmax, y);
      yLast = y;
      ++j;
    }
    if (j != n_ && cj == c) return false;
    // The lowest value sits at the lowest pixel when the scale runs upwards.
    Emit(c, yFirst, yUp_ ? pmin : pmax, yUp_ ? pmax : pmin, yLast);
    run = j - i;
    i = j;
    c = cj;
    return true;
  }

  // The index after the last point of column c, which starts at point i.
  // The column ends about where the previous one's length says (evenly
  // spaced readings), or where it ended last time. next is set to the
  // column of that point when it is known on the way (nextKnown).
  int FindColumnEnd(int i, int c, int run, int& next, bool& nextKnown) {
    int g = std::min(i + run, n_);
    const TColumn* kept = nullptr;  // last time's column ending at g
    const TColumn& col = Column(c);
    if (col.Seq0 >= 0 && col.Seq1() - seq0_ > i && col.Seq1() - seq0_ <= n_) {
      g = static_cast<int>(col.Seq1() - seq0_);
      kept = &col;
    }
    // The kept X values are those of the same stored points (the edit stamp
    // is part of the key), so they map exactly as the points would.
    if (g - 1 > i && (kept ? mapX_(kept->XLast) : Px(g - 1)) != c) {
      // A kept column usually lost one point at its end: look there before
      // searching the whole column.
      if (kept && g - 2 > i && Px(g - 2) == c) return g - 1;
      return Split(i, g - 1, c);
    }
    if (g == n_) return n_;
    next = kept && kept->HasNext ? mapX_(kept->XNext) : Px(g);
    if (next != c) {
      nextKnown = true;
      return g;
    }
    return Gallop(g, c);
  }

  // Longer than guessed: gallop on from point l of column c.
  int Gallop(int l, int c) const {
    int h = n_;
    for (int step = 1;; step *= 2) {
      const int k = l + step;
      if (k >= n_) break;
      if (Px(k) != c) {
        h = k;
        break;
      }
      l = k;
    }
    return Split(l, h, c);
  }

  // Index of the first point after l outside column c, given Px(l) == c and
  // Px(h) != c (h == n: past the end).
  int Split(int l, int h, int c) const {
    while (h - l > 1) {
      const int m = l + (h - l) / 2;
      if (Px(m) == c)
        l = m;
      else
        h = m;
    }
    return h;
  }

  // The extremes of points [i, j) of column c into col, unless it holds them
  // already. True when what the next column joins from may have changed:
  // the column's last point, or the point after it; moved when anything
  // changed.
  bool Fetch(TColumn& col, int c, int i, int j, bool& moved) {
    bool changed = false;
    moved = false;
    const int64_t s0 = seq0_ + i, s1 = seq0_ + j;
    if (col.Seq0 != s0 || col.Seq1() != s1) {
      moved = true;
      // An end that is the same point keeps what was found of it (the same
      // stored points, mapped the same way): at a line's pace most columns
      // move at one end only, and the other end's point is rarely cached.
      const bool sameStart = col.Seq0 == s0;
      const bool sameEnd = col.Seq1() == s1;
      const int yLast = col.YLast;
      if (j - i == 1) {
        const double v = At(i).y;
        col.VMin = col.VMax = v;
        col.YMin = col.YMax = col.YLast = static_cast<int16_t>(mapY_(v));
      } else {
        if (!SlideColumn(col, seq0_, i, j, [this](int k) { return At(k).y; })) {
          double mn, mx;
          const bool found = line_.RangeMinMaxY(i, j, mn, mx);
          col.VMin = found ? mn : At(i).y;
          col.VMax = found ? mx : At(i).y;
        }
        col.YMin = static_cast<int16_t>(mapY_(col.VMin));
        col.YMax = static_cast<int16_t>(mapY_(col.VMax));
        if (!sameEnd) col.YLast = static_cast<int16_t>(Py(j - 1));
      }
      if (!sameStart) {
        const TXY& first = At(i);
        col.StaysFirst = StaysBelow(first.x, c);
        col.YFirst = static_cast<int16_t>(mapY_(first.y));
      }
      col.Seq0 = s0;
      col.Length = j - i;
      if (!sameEnd) {
        col.XLast = At(j - 1).x;
        col.HasNext = false;
      }
      changed = !sameEnd || col.YLast != yLast;
    }
    if (!col.HasNext && j < n_) {
      col.XNext = At(j).x;
      col.HasNext = true;
      changed = moved = true;
    }
    return changed;
  }

  void Emit(int c, int yFirst, int yMin, int yMax, int yLast) {
    if (drawn_) Note(c, yFirst, yMin, yMax);
    if (havePrev_) Add(prev_, QPoint(c, yFirst));
    if (yMin != yMax) Add(QPoint(c, yMin), QPoint(c, yMax));
    prev_ = QPoint(c, yLast);
    havePrev_ = true;
  }

  void Note(int c, int yFirst, int yMin, int yMax) {
    Tsp_XYLine::TDrawn& dr = *drawn_;
    if (dr.Serial == 0) return;
    const int k = c - dr.Lo;
    // Outside the noted columns, or out of order (not expected): nothing
    // can be kept.
    if (k < 0 || k >= static_cast<int>(dr.Columns.size()) || !dr.PassTo(k)) {
      dr.Serial = 0;
      return;
    }
    Tsp_XYLine::TDrawnColumn d;
    d.PrevX = static_cast<int16_t>(havePrev_ ? prev_.x() : 0);
    d.PrevY = static_cast<int16_t>(havePrev_ ? prev_.y() : 0);
    d.YFirst = static_cast<int16_t>(yFirst);
    d.YMin = static_cast<int16_t>(yMin);
    d.YMax = static_cast<int16_t>(yMax);
    d.Kind = havePrev_ ? 2 : 1;
    dr.Set(k, d);
    dr.Cursor = k + (dr.Up ? 1 : -1);
  }

  void Add(const QPoint& s, const QPoint& e) {
    if (out_ && !(FarOff(s) && FarOff(e))) out_->emplace_back(s, e);
  }

  Tsp_XYLine& line_;
  Tsp_XYLine::TDrawn* const drawn_;        // null: not noted
  std::vector<TPixelSegment>* const out_;  // null: noted only
  const int n_;
  const bool inc_, yUp_;
  const int lo_, hi_;
  const TPixMap mapX_, mapY_;
  // The ring's fields as copies: the segment stores could otherwise alias
  // them, and they would be loaded again for every point.
  const TXY* const pts_;
  const int head_, cap_;
  const int64_t seq0_;
  QPoint prev_;
  bool havePrev_ = false;
  bool pass_ = false;  // columns that cannot have changed are passed over
  static constexpr double kInf = std::numeric_limits<double>::infinity();
};

void Tsp_XYLine::BuildReduced(Tsp_Axis& ax, Tsp_Axis& ay, std::vector<TPixelSegment>* out,
                              bool note) {
  Tsp_ColumnReducer(*this, ax, ay, out, note ? &drawn_ : nullptr).Run(ax, ay);
}
