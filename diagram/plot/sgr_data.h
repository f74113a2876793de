#pragma once
// Line series: point storage with extremes, drawing as connected segments
// with optional point markers.
#include <QColor>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "diagram/plot/sgr_def.h"

class Tsp_XYLine;
class Tsp_ColumnReducer;

enum TPointKind {
  ptRectangle,
  ptEllipse,
  ptDiamond,
  ptCross,
  ptCustom,
  ptTriangle,
  ptDownTriangle
};

// Point marker: a fill brush plus shape, size and outline.
class Tsp_PointAttr {
 public:
  Tsp_PointAttr() = default;
  Tsp_PointAttr(const Tsp_PointAttr&) = delete;
  Tsp_PointAttr& operator=(const Tsp_PointAttr&) = delete;

  TPointKind Kind() const { return kind_; }
  void SetKind(TPointKind k);
  // Sizes are kept as halves: an even size reads back as the next odd one.
  int HSize() const { return 2 * h_ + 1; }
  void SetHSize(int s);
  int VSize() const { return 2 * v_ + 1; }
  void SetVSize(int s);
  int HalfH() const { return h_; }
  int HalfV() const { return v_; }
  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int w);
  TColor BorderColor() const { return borderColor_; }
  void SetBorderColor(TColor c);
  // Brush of the marker's interior.
  TColor Color() const { return color_; }
  void SetColor(TColor c);
  Qt::BrushStyle BrushStyle() const { return brushStyle_; }
  void SetBrushStyle(Qt::BrushStyle s);

  // Copies kind, visibility, sizes and brush (not the outline), notifying.
  void Assign(const Tsp_PointAttr& other);
  void SetOnChange(std::function<void()> notify) { onChange_ = std::move(notify); }

 private:
  void Changed();
  void LimitBorder();
  TPointKind kind_ = ptRectangle;
  int h_ = 2, v_ = 2;
  bool visible_ = false;
  int borderWidth_ = 1;
  TColor borderColor_ = clBlack;
  TColor color_ = clWhite;
  Qt::BrushStyle brushStyle_ = Qt::SolidPattern;
  std::function<void()> onChange_;
};

// Storage for large point buffers on the system's large memory pages. The
// drawing reads single points scattered over megabytes (where the time axis
// cuts the columns); on small pages nearly each such read also misses the
// processor's address cache. Buffers below a megabyte are allocated as usual.
void* AllocateLargeBuffer(size_t bytes);
void FreeLargeBuffer(void* p, size_t bytes);
template <typename T>
struct TLargeBufferAllocator {
  using value_type = T;
  TLargeBufferAllocator() = default;
  template <typename U>
  TLargeBufferAllocator(const TLargeBufferAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(AllocateLargeBuffer(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { FreeLargeBuffer(p, n * sizeof(T)); }
  bool operator==(const TLargeBufferAllocator&) const { return true; }
  bool operator!=(const TLargeBufferAllocator&) const { return false; }
};

// Point storage. Points live in a ring so that dropping the oldest one is
// O(1); per-block Y extremes let drawing reduce a pixel column to its
// first/min/max/last without visiting every point.
class Tsp_XYDataSeries : public Tsp_DataSeries {
  Q_OBJECT
 public:
  explicit Tsp_XYDataSeries(QObject* owner = nullptr);
  ~Tsp_XYDataSeries() override;

  bool Active() const { return active_; }
  void SetActive(bool a);
  bool IsActive() const override { return active_; }

  void AddXY(double x, double y);
  void Delete(int index);
  // Removes all points at once (one repaint).
  void Clear();
  int Count() const { return count_; }
  double GetX(int index) const;
  double GetY(int index) const;
  // Room for points (grows in multiples of 32).
  int Capacity() const { return cap_; }

  bool GetXMin(double& v) override;
  bool GetXMax(double& v) override;
  bool GetYMin(double& v) override;
  bool GetYMax(double& v) override;

  Tsp_LineAttr& LineAttr() { return lineAttr_; }
  const Tsp_LineAttr& LineAttr() const { return lineAttr_; }
  void SetLineAttr(const Tsp_CustomLineAttr& a);

  // True while the X values never decrease (and none is NaN).
  bool XSorted() const { return descents_ == 0; }
  bool HasNaNY() const { return nanY_ > 0; }
  // Min/max of Y over points [a, b); false if the range is empty.
  bool RangeMinMaxY(int a, int b, double& mn, double& mx) const;
  // Running number of point 0: dropping the oldest point advances it, so a
  // stored point keeps its number (SeqOf) for as long as it is stored.
  int64_t FirstSeq() const { return firstSeq_; }
  // Changes with every edit other than appending and dropping the oldest.
  uint64_t EditStamp() const { return editStamp_; }

 protected:
  virtual void AttrChanged(bool pointAttr);
  void Store(double x, double y);
  void NotifyPlot();
  int Phys(int i) const {
    int p = head_ + i;
    return p >= cap_ ? p - cap_ : p;
  }
  int RingHead() const { return head_; }
  int RingCapacity() const { return cap_; }

  struct TXY {
    double x, y;
  };
  std::vector<TXY, TLargeBufferAllocator<TXY>> pts_;

 private:
  void Grow();
  void RebuildBlocks();
  void MergeBlock(int phys, double y);
  void CalcExtremes();
  void ScanPhysMinMax(int p, int q, double& mn, double& mx) const;
  static bool InOrder(double a, double b) { return a <= b; }

  bool active_ = true;
  int head_ = 0, count_ = 0, cap_ = 0;
  int descents_ = 0;  // pairs of neighbours with decreasing (or NaN) X
  int64_t firstSeq_ = 0;
  uint64_t editStamp_ = 0;
  int nanY_ = 0;
  // Y extremes per block of 32 and of 1024 physical slots.
  std::vector<double> bmin0_, bmax0_, bmin1_, bmax1_;
  bool extValid_ = false;
  bool hasX_ = false, hasY_ = false;  // a finite X / Y value exists
  double xMin_ = 0, xMax_ = 0, yMin_ = 0, yMax_ = 0;
  Tsp_LineAttr lineAttr_;
};

enum TLineDrawing {
  ldReduced,      // per pixel column: first, min, max, last (sorted X only)
  ldEverySegment  // every stored segment as it is
};

class Tsp_XYLine : public Tsp_XYDataSeries {
  Q_OBJECT
 public:
  explicit Tsp_XYLine(QObject* owner = nullptr);
  ~Tsp_XYLine() override;

  Tsp_PointAttr& PointAttr() { return pointAttr_; }
  void SetPointAttr(const Tsp_PointAttr& a) { pointAttr_.Assign(a); }
  std::function<void(Tsp_XYLine* line, double xv, double yv, int x, int y)> OnDrawCustomPoint;

  // Reduced drawing is used for sorted X; every-segment drawing is kept for
  // unsorted data and for comparison.
  TLineDrawing LineDrawing() const { return drawing_; }
  void SetLineDrawing(TLineDrawing d);

  void Draw() override;
  virtual void QuickAddXY(double x, double y);
  void DrawLegendSample(QPainter& canvas, const QRect& r) override;
  TDirect DirectPrepare() override;
  void DirectBuild(std::vector<TPixelSegment>& segs) override;
  void DirectFill(const std::vector<TPixelSegment>& segs, QImage& img, const QRect& clip) override;
  bool DirectChanges(uint64_t kept, std::vector<TRowSpan>& changed) override;
  void DirectFillRuns(const std::vector<TPixelSegment>& segs, QImage& img, const QRect& clip,
                      const TColumnRuns& runs) override;

 protected:
  void AttrChanged(bool pointAttr) override;

 private:
  friend class Tsp_ColumnReducer;
  void DrawLineEvery(QPainter& p, Tsp_Axis& ax, Tsp_Axis& ay);
  void DrawLineReduced(QPainter& p, Tsp_Axis& ax, Tsp_Axis& ay);
  // Appends the segments to out (unless null); notes them in drawn_ when
  // drawing into the plot's off-screen image.
  void BuildReduced(Tsp_Axis& ax, Tsp_Axis& ay, std::vector<TPixelSegment>* out, bool note);
  // The segments of the noted columns that reach into runs (all of them
  // when runs is null), as the reducer emitted them.
  void NotedSegments(const TColumnRuns* runs, std::vector<TPixelSegment>& out) const;
  void DrawLines(QPainter& p, const std::vector<TPixelSegment>& lines, bool direct);
  void DrawPoint(QPainter& p, int x, int y, double xv, double yv);

  Tsp_PointAttr pointAttr_;
  TLineDrawing drawing_ = ldReduced;

  // The reduced columns of the last drawing, by pixel column. While the
  // scales keep their zoom (the time axis only slides) and the points only
  // grow at the end and drop at the start, a column holding the same points
  // as before reuses its extremes instead of visiting them again.
  // One cache line each: a drawing after a line's pause finds few of them
  // cached, and reads many.
  struct alignas(64) TColumn {
    int64_t Seq0 = -1;   // running number of its first point (-1: none)
    int32_t Length = 0;  // its points: [Seq0, Seq0 + Length)
    int16_t YFirst = 0, YMin = 0, YMax = 0, YLast = 0;
    bool HasNext = false;
    // The lowest and highest value: a point that leaves the column changes
    // neither unless it held one of them (many points share the extreme
    // pixel, few the extreme value).
    double VMin = 0, VMax = 0;
    // X of its last point and of the point after it, so that checking its
    // ends on the next drawing does not reach into the (large, by then no
    // longer cached) point buffer.
    double XLast = 0, XNext = 0;
    // The axis origin from which its first point maps one column left.
    double StaysFirst = 0;
    int64_t Seq1() const { return Seq0 < 0 ? -1 : Seq0 + Length; }
  };
  static_assert(sizeof(TColumn) == 64, "a column entry is one cache line");
  struct TColumnKey {
    double Xppu = 0, Xop = 0, Yov = 0, Yppu = 0, Yop = 0;
    int Lo = 0, Hi = -1;
    uint64_t Stamp = 0;
    bool operator==(const TColumnKey& o) const {
      return Xppu == o.Xppu && Xop == o.Xop && Yov == o.Yov && Yppu == o.Yppu && Yop == o.Yop &&
             Lo == o.Lo && Hi == o.Hi && Stamp == o.Stamp;
    }
  };
  std::vector<TColumn> columns_;
  TColumnKey columnKey_;

 public:
  // What a drawing into the off-screen image drew, per pixel column from Lo:
  // the join into the column from (PrevX, PrevY) when Kind is 2, and the
  // bar from YMin to YMax. The segments are a function of these alone, so a
  // column whose entry is the same drew the same pixels.
  struct TDrawnColumn {
    int16_t PrevX = 0, PrevY = 0, YFirst = 0, YMin = 0, YMax = 0, Kind = 0;
    bool operator==(const TDrawnColumn& o) const {
      return PrevX == o.PrevX && PrevY == o.PrevY && YFirst == o.YFirst && YMin == o.YMin &&
             YMax == o.YMax && Kind == o.Kind;
    }
  };
  struct TDrawn {
    // Kept from one drawing to the next and brought up to date in place:
    // Changes lists the entries this drawing changed, with their values
    // before, so that only those are compared.
    std::vector<TDrawnColumn> Columns;
    TPixelSegment Tail{};  // the join to the first point beyond the field
    bool HasTail = false;
    int Lo = 0;
    uint64_t Serial = 0;  // the plot's DrawSerial
    uint64_t Before = 0;  // the Serial the entries held before; 0: all new
    QRgb Color = 0;
    double HalfWidth = 0;
    struct TChange {
      int32_t K;
      TDrawnColumn Old;
    };
    std::vector<TChange> Changes;
    // The entries whose join reaches further than kShortJoin columns.
    std::vector<int32_t> LongJoins;
    TPixelSegment TailBefore{};
    bool HadTail = false;
    // The reducer's walk, by rising or falling column: entries it passed
    // without noting are emptied.
    int Cursor = 0;
    bool Up = true;
    static constexpr int kShortJoin = 4;
    bool LongJoin(const TDrawnColumn& e, int k) const {
      return e.Kind == 2 && std::abs(e.PrevX - (Lo + k)) > kShortJoin;
    }
    void Set(int k, const TDrawnColumn& d) {
      TDrawnColumn& e = Columns[static_cast<size_t>(k)];
      if (e == d) return;
      Changes.push_back({k, e});
      const bool was = LongJoin(e, k), now = LongJoin(d, k);
      e = d;
      if (was == now) return;
      if (now)
        LongJoins.push_back(k);
      else
        LongJoins.erase(std::find(LongJoins.begin(), LongJoins.end(), k));
    }
    // Empties the entries from the cursor up to k, k not included; false
    // when k lies behind the cursor.
    bool PassTo(int k) {
      const TDrawnColumn none;
      if (Up ? k < Cursor : k > Cursor) return false;
      for (; Cursor != k; Cursor += Up ? 1 : -1) Set(Cursor, none);
      return true;
    }
  };

 private:
  TDrawn drawn_;  // what the last drawing that noted drew
  void StartDrawn(uint64_t serial);
  bool columnsKept_ = false;  // some entry of columns_ holds a kept column
  // By column, the time axis's origin value from which the column's points
  // may map elsewhere (its first point, or the point after it, moving one
  // column to the left); below it the column stays as it is. -inf: look at
  // it every time; +inf: a column without points.
  std::vector<double> stays_;
  // The mapping's origin value at the last drawing (its origin pixel is
  // part of the column key).
  double staysOv_ = 0;
  bool notesMatch_ = false;       // drawn_ holds the columns of the last drawing
  int64_t firstVisibleSeq_ = -1;  // running number of last drawing's first visible point
};
