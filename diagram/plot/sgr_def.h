#pragma once
// The XY plot control with its four axes, plot markers and the series base.
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diagram/plot/sgr_scale.h"
#include "diagram/plot/sgr_thread.h"

// The pixels of w's window as Qt paints them, where a widget may write into
// them directly: a shown, plain raster window at one pixel per unit, its
// buffer an image of 32-bit pixels (RGB32 or premultiplied ARGB32, or plain
// ARGB32 where allowed). Null otherwise.
class QBackingStore;
class QWindow;
QImage* WindowBufferImage(QWidget* w, QWindow*& win, QBackingStore*& store, bool plainArgb);

class Tsp_XYPlot;
class Tsp_DataSeries;

enum TZoomPanDir { zpdNone, zpdHorizontal, zpdVertical, zpdBoth };
enum TBorderStyle {
  bs_None,
  bs_Raised,
  bs_Lowered,
  bs_Gutter,
  bs_BlackRect,
  bs_BoldRect,
  bs_FocusRect
};
enum TDSXAxis { dsxBottom, dsxTop };
enum TDSYAxis { dsyLeft, dsyRight };
enum TWhenDraw { dmBeforeSeries, dmAfterSeries };

// What a press of the left button started: a rubber-band zoom that becomes
// one (Zooming) once the pointer has moved more than 3 pixels, or a pan
// that moves the axes (Panning) from the first move on.
enum class TMouseState { Idle = 0, ZoomPending = 1, Zooming = 2, PanPending = 3, Panning = 4 };

// Modifier keys, mouse buttons and the double-click flag of a mouse event.
using TShiftState = unsigned;
enum : unsigned {
  ssShift = 1,
  ssAlt = 2,
  ssCtrl = 4,
  ssLeft = 8,
  ssRight = 16,
  ssMiddle = 32,
  ssDouble = 64,
};

class Tsp_Axis : public Tsp_Scale {
 public:
  Tsp_Axis(Tsp_XYPlot* plot, uint32_t flags);
  ~Tsp_Axis() override;

  Tsp_XYPlot* Plot() const { return plot_; }

  void SetMin(double v);
  void SetMax(double v);
  void SetTicksCount(int n);
  void SetLabelFormat(const std::string& f);
  int Margin() const { return margin_; }
  void SetMargin(int m);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& c);
  bool HasCaption() const { return hasCaption_; }
  Tsp_LineAttr& GridAttr() { return gridAttr_; }
  const Tsp_LineAttr& GridAttr() const { return gridAttr_; }
  void SetLineAttr(const Tsp_CustomLineAttr& a);
  void SetGridAttr(const Tsp_CustomLineAttr& a);

  void SetInversed(bool v);
  void SetTicksLines(bool v);
  void SetNoTicksLabel(bool v);
  void SetTicksAdjusted(bool v);
  void SetAutoMin(bool v);
  void SetAutoMax(bool v);
  void SetLabelAsDataTime(bool v);

  // Scroll without changing the span; switches automatic ranging off and
  // forgets the remembered range. Repaints frame and field.
  void MoveMinMax(double delta);

  // Zoom undo: one remembered range.
  void SaveRange();
  void RestoreRange();
  bool HasSavedRange() const { return saved_; }
  void ForgetRange() { saved_ = false; }

  // Copies the other axis's settings (not its orientation bits' owner).
  void Assign(const Tsp_Axis& other);

  std::string TickLabel(int i) const override;

 private:
  void Invalidate();
  Tsp_XYPlot* plot_;
  int margin_ = 4;
  std::string caption_;
  bool hasCaption_ = false;
  Tsp_LineAttr gridAttr_;
  bool saved_ = false;
  double savedMin_ = 0, savedMax_ = 0;
};

// Something drawn on the field besides the series; subclasses draw.
class Tsp_PlotMarker : public QObject {
  Q_OBJECT
 public:
  explicit Tsp_PlotMarker(QObject* owner = nullptr);
  ~Tsp_PlotMarker() override;
  Tsp_XYPlot* Plot() const { return plot_; }
  void SetPlot(Tsp_XYPlot* p);
  TDSXAxis XAxis() const { return xAxis_; }
  void SetXAxis(TDSXAxis a);
  TDSYAxis YAxis() const { return yAxis_; }
  void SetYAxis(TDSYAxis a);
  TWhenDraw WhenDraw() const { return when_; }
  void SetWhenDraw(TWhenDraw w);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  virtual void Draw() = 0;

 private:
  friend class Tsp_XYPlot;
  Tsp_XYPlot* plot_ = nullptr;
  TDSXAxis xAxis_ = dsxBottom;
  TDSYAxis yAxis_ = dsyLeft;
  TWhenDraw when_ = dmBeforeSeries;
  bool visible_ = true;
};

// A segment in pixels, kept small: the drawing threads pass lists of them
// from one processor to the other. Pixel coordinates are clamped to
// MaxPixelCoord, which 16 bits hold.
struct TPixelSegment {
  int16_t X1, Y1, X2, Y2;
  TPixelSegment() = default;
  TPixelSegment(const QPoint& a, const QPoint& b)
      : X1(static_cast<int16_t>(a.x())),
        Y1(static_cast<int16_t>(a.y())),
        X2(static_cast<int16_t>(b.x())),
        Y2(static_cast<int16_t>(b.y())) {}
};
static_assert(MaxPixelCoord <= 32767, "pixel coordinates must fit 16 bits");

// The rows Top..Bottom of one pixel column where two drawings may differ;
// none while Top > Bottom.
struct TRowSpan {
  int Top = 1, Bottom = 0;
  bool Any() const { return Top <= Bottom; }
  bool Covers(int r0, int r1) const { return Top <= r0 && r1 <= Bottom; }
  void Add(int r0, int r1) {
    if (r0 > r1) return;
    if (!Any()) {
      Top = r0;
      Bottom = r1;
      return;
    }
    Top = std::min(Top, r0);
    Bottom = std::max(Bottom, r1);
  }
};
// Pixel columns First..Last and rows Top..Bottom of the image.
struct TColumnRun {
  int First, Last, Top, Bottom;
  QRect Rect() const { return QRect(First, Top, Last - First + 1, Bottom - Top + 1); }
};
// The places where a new drawing of the field differs from the one the
// off-screen image keeps, as runs of columns from left to right, each only
// as high as the rows that changed in it: a line's reading changes a few
// rows around that line, and the lines elsewhere need not be redrawn.
struct TColumnRuns {
  std::vector<TColumnRun> Runs;
  std::vector<int> FirstFrom;  // per pixel column x: the first run ending at or after x
  int Columns = 0;             // in all runs
  // From the changed rows of each pixel column of the image, within columns
  // first..last and rows top..bottom; runs at most gap columns apart become
  // one.
  void Build(const std::vector<TRowSpan>& changed, int first, int last, int top, int bottom,
             int gap);
};

// A series attached to a plot and to one horizontal and one vertical axis.
class Tsp_DataSeries : public QObject {
  Q_OBJECT
 public:
  explicit Tsp_DataSeries(QObject* owner = nullptr);
  ~Tsp_DataSeries() override;

  Tsp_XYPlot* Plot() const { return plot_; }
  void SetPlot(Tsp_XYPlot* p);
  TDSXAxis XAxis() const { return xAxis_; }
  void SetXAxis(TDSXAxis a);
  TDSYAxis YAxis() const { return yAxis_; }
  void SetYAxis(TDSYAxis a);
  const std::string& Legend() const { return legend_; }
  void SetLegend(const std::string& s);
  virtual bool IsActive() const { return true; }

  virtual void LegendChanged() {}
  virtual void Draw() = 0;
  virtual bool GetXMin(double& v) = 0;
  virtual bool GetXMax(double& v) = 0;
  virtual bool GetYMin(double& v) = 0;
  virtual bool GetYMax(double& v) = 0;
  virtual void DrawLegendSample(QPainter& canvas, const QRect& r) = 0;

  // Drawing straight into the plot's 32-bit image in two steps, so that the
  // plot can draw several series at once on two threads. DirectPrepare (GUI
  // thread, while the plot draws) tells whether the series draws this way,
  // or draws nothing at all; DirectBuild then finds its segments and
  // DirectFill fills their pixels inside clip. These two may run on another
  // thread and touch only the series' own state.
  enum TDirect { dNo, dNothing, dYes };
  virtual TDirect DirectPrepare() { return dNo; }
  virtual void DirectBuild(std::vector<TPixelSegment>& segs) { segs.clear(); }
  virtual void DirectFill(const std::vector<TPixelSegment>& segs, QImage& img, const QRect& clip) {
    (void)segs, (void)img, (void)clip;
  }
  // For a drawing into the plot's off-screen image (DrawSerial() not 0),
  // after DirectBuild: marks in changed (the rows of each pixel column of
  // the image) every pixel where this drawing's pixels may differ from those
  // of the drawing numbered kept. False when the series cannot tell: then
  // they may differ anywhere.
  virtual bool DirectChanges(uint64_t kept, std::vector<TRowSpan>& changed) {
    (void)kept, (void)changed;
    return false;
  }
  // DirectFill limited to the columns of runs.
  virtual void DirectFillRuns(const std::vector<TPixelSegment>& segs, QImage& img,
                              const QRect& clip, const TColumnRuns& runs) {
    for (const TColumnRun& r : runs.Runs) DirectFill(segs, img, clip & r.Rect());
  }

 protected:
  Tsp_Axis* HAxis() const;
  Tsp_Axis* VAxis() const;

 private:
  friend class Tsp_XYPlot;
  Tsp_XYPlot* plot_ = nullptr;
  TDSXAxis xAxis_ = dsxBottom;
  TDSYAxis yAxis_ = dsyLeft;
  std::string legend_;
};

class Tsp_XYPlot : public QWidget {
  Q_OBJECT
 public:
  explicit Tsp_XYPlot(QWidget* parent = nullptr);
  ~Tsp_XYPlot() override;

  Tsp_Axis& LeftAxis() { return *left_; }
  Tsp_Axis& RightAxis() { return *right_; }
  Tsp_Axis& BottomAxis() { return *bottom_; }
  Tsp_Axis& TopAxis() { return *top_; }
  void SetLeftAxis(const Tsp_Axis& a) { left_->Assign(a); }
  void SetRightAxis(const Tsp_Axis& a) { right_->Assign(a); }
  void SetBottomAxis(const Tsp_Axis& a) { bottom_->Assign(a); }
  void SetTopAxis(const Tsp_Axis& a) { top_->Assign(a); }

  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle s);
  TColor FieldColor() const { return fieldColor_; }
  void SetFieldColor(TColor c);
  // Background around the field (default: the button-face colour).
  QColor Color() const;
  void SetColor(const QColor& c);
  bool BufferedDisplay() const { return buffered_ && !bitmap_.isNull(); }
  void SetBufferedDisplay(bool on);
  TZoomPanDir Zoom() const { return zoom_; }
  void SetZoom(TZoomPanDir z) { zoom_ = z; }
  TZoomPanDir Pan() const { return pan_; }
  void SetPan(TZoomPanDir p) { pan_ = p; }
  TShiftState ZoomShiftKeys() const { return zoomKeys_ & ~ssLeft; }
  void SetZoomShiftKeys(TShiftState s) { zoomKeys_ = (s & (ssShift | ssAlt | ssCtrl)) | ssLeft; }
  TShiftState PanShiftKeys() const { return panKeys_ & ~ssLeft; }
  void SetPanShiftKeys(TShiftState s) { panKeys_ = (s & (ssShift | ssAlt | ssCtrl)) | ssLeft; }
  Qt::CursorShape PanCursor() const { return panCursor_; }
  void SetPanCursor(Qt::CursorShape c) { panCursor_ = c; }
  bool XCursorOn() const { return xCursorOn_; }
  void SetXCursorOn(bool on);
  double XCursorVal() const { return xCursorVal_; }
  void SetXCursorVal(double v);

  // Callbacks; an unset one is skipped. The plot passes itself or the axis.
  std::function<void(Tsp_Axis* sender, double& min, double& max, bool& canZoom)> OnAxisZoom;
  std::function<void(Tsp_Axis* sender, int labelNum, double labelVal, std::string& ls)>
      OnGetTickLabel;
  std::function<void(Tsp_XYPlot* sender)> OnFieldDraw;
  std::function<void(Tsp_XYPlot* sender)> OnDrawEnd;
  std::function<void(Tsp_XYPlot* sender)> OnDblClick;
  std::function<void(Tsp_XYPlot* sender, Qt::MouseButton b, TShiftState s, int x, int y)>
      OnMouseDown;
  std::function<void(Tsp_XYPlot* sender, TShiftState s, int x, int y)> OnMouseMove;
  std::function<void(Tsp_XYPlot* sender, Qt::MouseButton b, TShiftState s, int x, int y)> OnMouseUp;

  // Full invalidation and the partial one.
  void Invalidate();
  void InvalidateParts(bool layout, bool frame, bool field);
  // Clears validity flags without requesting a repaint.
  void MarkInvalid(bool layout, bool frame, bool field);
  // The off-screen image while buffered (null otherwise).
  QImage* Bitmap() { return BufferedDisplay() ? &bitmap_ : nullptr; }
  // Runs a pending repaint at once (synchronously).
  void RepaintNow();
  // Whether the changed columns of the kept field may be copied straight
  // into the window's buffer rather than painted through Qt (on by default;
  // off compares the two).
  void SetDirectShow(bool on) { directShow_ = on; }
  // Between BeginUpdate and EndUpdate the synchronous repaints are held back
  // and EndUpdate runs one, so a caller that appends, trims and moves an
  // axis in one step draws the result once. Calls nest.
  void BeginUpdate() { ++updateDepth_; }
  void EndUpdate();

  // Draws the whole plot into any painter of the given size (> 9 pixels).
  void DrawToCanvas(QPainter* canvas, int width, int height);
  void CopyToClipboard();
  // The plot as it is drawn, into a new image of the control's size.
  QImage ToImage();

  void AddSeries(Tsp_DataSeries* s);
  void RemoveSeries(Tsp_DataSeries* s);
  void AddMarker(Tsp_PlotMarker* m, TWhenDraw when);
  void RemoveMarker(Tsp_PlotMarker* m, TWhenDraw when);
  const std::vector<Tsp_DataSeries*>& SeriesList() const { return series_; }
  // After a series added/deleted points or changed activity.
  void SeriesChanged(Tsp_DataSeries* s);

  bool AutoRange(Tsp_Axis* axis);
  void SaveRanges();
  void RestoreRanges();
  void ZoomToRect(const QRect& r, TZoomPanDir dir);
  void PanBy(const QPoint& current, const QPoint& other, TZoomPanDir dir);

  // Field rectangle: right and bottom exclusive.
  QRect FieldRect() const { return QRect(fLeft_, fTop_, fRight_ - fLeft_, fBottom_ - fTop_); }
  int FieldLeft() const { return fLeft_; }
  int FieldTop() const { return fTop_; }
  int FieldRight() const { return fRight_; }
  int FieldBottom() const { return fBottom_; }
  // Current drawing target while the plot draws; null otherwise.
  QPainter* Canvas() const { return canvas_; }
  // A drawing runs: through Canvas(), or into the off-screen image's pixels
  // alone (a kept field at a line's pace, with no painter set up).
  bool Drawing() const { return canvas_ || imageOnly_; }
  int DrawWidth() const { return dWidth_; }
  int DrawHeight() const { return dHeight_; }
  bool LayoutValid() const { return layoutValid_; }
  bool FrameValid() const { return frameValid_; }
  bool FieldValid() const { return fieldValid_; }
  TMouseState MouseState() const { return mouseState_; }

  // The image a painter draws into when series may write its pixels
  // directly (32-bit, no transform, plain source-over); null otherwise.
  static QImage* DirectImage(QPainter& p);
  static bool DirectFormat(const QImage& img);
  // Many lines are drawn on two threads where the machine has two
  // processors (on by default; the picture is the same either way).
  bool TwoThreadDrawing() const { return twoThreads_; }
  void SetTwoThreadDrawing(bool on) { twoThreads_ = on; }
  // The last field drawn had lines drawn on two threads.
  bool DrewOnTwoThreads() const { return drewOnTwo_; }

  // Plot-wide layout of the field, run before painting when invalid.
  void CalcLayout(QPainter& canvas);

  // The kept field: a drawing of the field into the off-screen image that
  // comes at a line's pace (not right after the last one) redraws only the
  // pixel columns where some line changed, and the window is refreshed
  // there only. The picture is the same as a full drawing's. On by default.
  bool KeptField() const { return keptOn_; }
  void SetKeptField(bool on);
  // The next field drawing draws all of it (after anything else drew into
  // the off-screen image).
  void ForgetKeptField() { keptSerial_ = 0; }
  // Number of the drawing into the off-screen image in progress, 0 outside
  // one: series note what they draw under it, to compare next time.
  uint64_t DrawSerial() const { return drawSerial_; }
  // True while the kept field draws: a series may then leave DirectBuild's
  // segments empty and fill from what it noted.
  bool KeptDrawing() const { return keptDrawing_; }
  // Share of the field's columns the last field drawing redrew (0..1).
  double LastRedrawnShare() const { return lastRedrawn_; }

 signals:
  void DblClick();

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  friend class Tsp_Axis;
  friend class Tsp_DataSeries;
  friend class Tsp_PlotMarker;
  void DrawFrame(QPainter& p);
  // tryKept false: the kept field was already tried for this drawing.
  void DrawField(QPainter& p, bool tryKept = true);
  void DrawFieldBackground(QPainter& p);
  void DrawSeries(QPainter& p);
  void DrawDirectRun(QImage& img);
  void DrawBorder(QPainter& p);
  void DrawDirect(QPainter& p);
  void DrawOverlays(QPainter& p);
  bool ShowChanged(const QRegion& region);
  void ZoomAxis(Tsp_Axis& a, int p1, int p2);
  void CreateBitmap();
  void AxisDestroyed() {}
  TShiftState ShiftOf(const QMouseEvent* e, bool dbl) const;
  QPoint ClampedOther(QPoint p) const;
  int CursorColumn() const;

  std::unique_ptr<Tsp_Axis> left_, right_, bottom_, top_;
  TBorderStyle borderStyle_ = bs_None;
  TColor fieldColor_ = clWhite;
  bool buffered_ = false;
  QImage bitmap_;
  bool layoutValid_ = false, frameValid_ = false, fieldValid_ = false;
  TZoomPanDir zoom_ = zpdBoth, pan_ = zpdBoth;
  TShiftState zoomKeys_ = ssShift | ssLeft, panKeys_ = ssCtrl | ssLeft;
  Qt::CursorShape panCursor_ = Qt::ArrowCursor;
  bool xCursorOn_ = false;
  double xCursorVal_ = 0;
  std::vector<Tsp_DataSeries*> series_;
  bool twoThreads_ = true;
  bool drewOnTwo_ = false;  // the last field drawn had lines drawn on two threads
  // Series drawn together straight into the image, and their segments.
  std::vector<Tsp_DataSeries*> directRun_;
  Tsp_InOrderRun<std::vector<TPixelSegment>> directSegs_;
  std::vector<Tsp_PlotMarker*> before_, after_;
  int fLeft_ = 0, fTop_ = 0, fRight_ = 3, fBottom_ = 3;
  QPainter* canvas_ = nullptr;
  bool imageOnly_ = false;
  int dWidth_ = 0, dHeight_ = 0;
  TMouseState mouseState_ = TMouseState::Idle;
  QPoint cur_, other_;
  bool bandShown_ = false;
  QColor bgColor_;
  QImage snapshot_;  // unbuffered picture under the rubber band
  bool destroying_ = false;
  int updateDepth_ = 0;
  bool repaintHeld_ = false;
  // What the frame in the off-screen image was drawn from. A scroll that
  // leaves every tick mark and label where it was (the time axis slides a
  // fraction of a pixel per reading) keeps the frame instead of drawing it
  // again. Any full invalidation counts up the epoch and forces a redraw.
  bool FrameTicksUnchanged();
  void RequestPaint();
  void RenderBitmap(bool& whole);
  uint64_t fullEpoch_ = 0, frameEpoch_ = ~uint64_t(0);
  std::vector<int> frameTickPos_;
  std::vector<double> frameTickValues_;
  std::vector<std::string> frameTickLabels_;
  TBorderStyle frameBorder_ = bs_None;

  // The kept field (see KeptField). keptKey_ is what the kept drawing
  // keptSerial_ was drawn with besides the lines' own state; a drawing with
  // another key draws all of the field.
  struct TFieldKey {
    QRect Field;
    TColor FieldColor = clNone;
    std::vector<int> Grid;  // per axis: visibility, colour, then the lines' positions
    std::vector<const Tsp_DataSeries*> Series;
    bool operator==(const TFieldKey& o) const {
      return Field == o.Field && FieldColor == o.FieldColor && Grid == o.Grid && Series == o.Series;
    }
  };
  // Marks a drawing into the off-screen image under its number while it runs.
  struct TSerialScope {
    uint64_t& Serial;
    TSerialScope(uint64_t& serial, uint64_t value) : Serial(serial) { Serial = value; }
    ~TSerialScope() { Serial = 0; }
  };
  bool MakeFieldKey(TFieldKey& key) const;
  bool AtLinePace() const;
  // p null: into bitmap_, with a painter made only if one is needed.
  bool DrawFieldKept(QPainter* p);
  void FillBackgroundRuns(QImage& img);
  void FieldDrawnInFull();
  double ChangedShare(uint64_t kept, const QImage& img);
  bool keptOn_ = true;
  bool keptDrawing_ = false;
  uint64_t keptSerial_ = 0, drawSerial_ = 0, serialCount_ = 0;
  TFieldKey keptKey_;
  std::vector<Tsp_DataSeries*> drawnDirect_;  // series the last field drawing drew direct
  bool allDirect_ = true;                     // and no other series drew
  double lastRedrawn_ = 1, lastChanged_ = 0;
  int64_t lastFieldEndNs_ = 0;
  std::vector<TRowSpan> changedCols_;
  TColumnRuns runs_;
  QRegion changedRegion_;   // of the window, after RenderBitmap
  bool directShow_ = true;  // changed columns may go straight to the window's buffer
  bool regionSet_ = false;
};
