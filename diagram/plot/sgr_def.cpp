// The plot widget: invalidation and repainting through its off-screen
// image, drawing the field and its series, zoom, pan and the mouse.
#include "diagram/plot/sgr_def.h"

#include <QApplication>
#include <QBackingStore>
#include <QClipboard>
#include <QEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>

#include "diagram/plot/sgr_thread.h"

Tsp_XYPlot::Tsp_XYPlot(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  resize(180, 120);
  bgColor_ = palette().color(QPalette::Button);
  left_ = std::make_unique<Tsp_Axis>(this, sfVertical);
  right_ =
      std::make_unique<Tsp_Axis>(this, sfVertical | sfOpposite | sfNoTicksLines | sfNoTicksLabel);
  bottom_ = std::make_unique<Tsp_Axis>(this, 0);
  top_ = std::make_unique<Tsp_Axis>(this, sfOpposite | sfNoTicksLines | sfNoTicksLabel);
  for (Tsp_Axis* a : {left_.get(), right_.get(), bottom_.get(), top_.get()}) {
    a->SetMinMax(0, 10);
  }
  left_->GridAttr().SetVisible(true);
  bottom_->GridAttr().SetVisible(true);
  layoutValid_ = frameValid_ = fieldValid_ = false;
}

Tsp_XYPlot::~Tsp_XYPlot() {
  destroying_ = true;
  for (Tsp_DataSeries* s : series_) s->plot_ = nullptr;
  for (Tsp_PlotMarker* m : before_) m->plot_ = nullptr;
  for (Tsp_PlotMarker* m : after_) m->plot_ = nullptr;
  series_.clear();
  before_.clear();
  after_.clear();
}

void Tsp_XYPlot::SetBorderStyle(TBorderStyle s) {
  if (s == borderStyle_) return;
  borderStyle_ = s;
  if (BufferedDisplay()) {
    frameValid_ = false;
    fieldValid_ = false;
  }
  // The new border shows at once; it is drawn last on every paint anyway.
  update();
}

void Tsp_XYPlot::SetFieldColor(TColor c) {
  if (c == fieldColor_) return;
  fieldColor_ = c;
  InvalidateParts(false, false, true);
}

QColor Tsp_XYPlot::Color() const {
  return bgColor_;
}
void Tsp_XYPlot::SetColor(const QColor& c) {
  bgColor_ = c;
  Invalidate();
}

void Tsp_XYPlot::CreateBitmap() {
  ++fullEpoch_;  // a new image holds no frame yet
  keptSerial_ = 0;
  if (width() > 0 && height() > 0)
    bitmap_ = QImage(size(), QImage::Format_RGB32);
  else
    bitmap_ = QImage();
}

void Tsp_XYPlot::SetBufferedDisplay(bool on) {
  buffered_ = on;
  if (on)
    CreateBitmap();
  else
    bitmap_ = QImage();
  Invalidate();
}

void Tsp_XYPlot::SetXCursorOn(bool on) {
  if (on == xCursorOn_) return;
  xCursorOn_ = on;
  update();
}

void Tsp_XYPlot::SetXCursorVal(double v) {
  int old = CursorColumn();
  xCursorVal_ = v;
  if (xCursorOn_ && CursorColumn() != old) update();
}

int Tsp_XYPlot::CursorColumn() const {
  return bottom_->ValueToPixel(xCursorVal_);
}

void Tsp_XYPlot::Invalidate() {
  layoutValid_ = frameValid_ = fieldValid_ = false;
  ++fullEpoch_;
  RequestPaint();
}

// Inside BeginUpdate/EndUpdate the widget is not marked again and again for
// a later repaint: EndUpdate repaints it once, at once.
void Tsp_XYPlot::RequestPaint() {
  if (updateDepth_ > 0)
    repaintHeld_ = true;
  else
    update();
}

bool Tsp_XYPlot::FrameTicksUnchanged() {
  // A label is a function of its tick value while the axis settings stay
  // (any change to them starts a new epoch), so the values are compared
  // instead of formatting every label; a label callback may say otherwise.
  const bool callback = OnGetTickLabel != nullptr;
  std::vector<int> pos;
  std::vector<double> values;
  std::vector<std::string> labels;
  for (Tsp_Axis* a : {top_.get(), right_.get(), left_.get(), bottom_.get()}) {
    pos.push_back(a->TicksCount());
    for (int i = 0; i < a->TicksCount(); ++i) {
      pos.push_back(a->TickPos(i));
      values.push_back(a->TickValue(i));
      if (callback && !a->NoTicksLabel()) labels.push_back(a->TickLabel(i));
    }
  }
  const bool same = frameEpoch_ == fullEpoch_ && frameBorder_ == borderStyle_ &&
                    pos == frameTickPos_ && values == frameTickValues_ &&
                    labels == frameTickLabels_;
  frameEpoch_ = fullEpoch_;
  frameBorder_ = borderStyle_;
  frameTickPos_.swap(pos);
  frameTickValues_.swap(values);
  frameTickLabels_.swap(labels);
  return same;
}

void Tsp_XYPlot::InvalidateParts(bool layout, bool frame, bool field) {
  if (layout) layoutValid_ = false;
  if (frame) frameValid_ = false;
  if (field) fieldValid_ = false;
  RequestPaint();
}

void Tsp_XYPlot::MarkInvalid(bool layout, bool frame, bool field) {
  if (layout) layoutValid_ = false;
  if (frame) frameValid_ = false;
  if (field) fieldValid_ = false;
}

void Tsp_XYPlot::RepaintNow() {
  if (updateDepth_ > 0) {
    repaintHeld_ = true;
    return;
  }
  if (!isVisible() || destroying_) return;
  if (buffered_ && bitmap_.size() == size() && !bitmap_.isNull()) {
    // The image first, then only the part of the window that can differ:
    // with the frame kept, the field.
    dWidth_ = width();
    dHeight_ = height();
    bool whole;
    RenderBitmap(whole);
    if (whole)
      repaint(rect());
    else if (!regionSet_)
      repaint(FieldRect());
    else if (!changedRegion_.isEmpty() && !ShowChanged(changedRegion_))
      // Only the columns the kept field redrew; none when nothing changed.
      repaint(changedRegion_);
    return;
  }
  repaint();
}

// The kept field's changed columns are copied from the image into the
// window's buffer and sent to the screen without a paint event: the paint
// would set up a painter on that buffer, clip it and pass through the widget
// tree for what is a copy of a few rectangles. Only where the copy is all a
// paint would do: no overlay drawn, nothing over the plot, a plain raster
// window at one pixel per unit in a format the image's pixels fit.
QImage* WindowBufferImage(QWidget* w, QWindow*& win, QBackingStore*& store, bool plainArgb) {
  QWidget* top = w->window();
  win = top->windowHandle();
  store = top->backingStore();
  if (!win || !store || !win->isExposed() || win->surfaceType() != QSurface::RasterSurface)
    return nullptr;
  QPaintDevice* dev = store->paintDevice();
  if (!dev || dev->devType() != QInternal::Image) return nullptr;
  auto* img = static_cast<QImage*>(dev);
  const QImage::Format f = img->format();
  if (img->devicePixelRatio() != 1 ||
      (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32_Premultiplied &&
       !(plainArgb && f == QImage::Format_ARGB32)))
    return nullptr;
  return img;
}

bool Tsp_XYPlot::ShowChanged(const QRegion& region) {
  if (!directShow_ || xCursorOn_ || bandShown_) return false;
  QWidget* top = window();
  QWindow* win = nullptr;
  QBackingStore* store = nullptr;
  QImage* img = WindowBufferImage(this, win, store, true);
  if (!img || bitmap_.devicePixelRatio() != 1) return false;
  QPaintDevice* dev = img;
  const QImage::Format f = img->format();
  for (const QObject* o : children())
    if (o->isWidgetType() && static_cast<const QWidget*>(o)->isVisible()) return false;
  const QPoint off = mapTo(top, QPoint(0, 0));
  // The changed parts lie in the field as a rule: no region operation then.
  const QRegion shown = rect().contains(region.boundingRect()) ? region : region & rect();
  if (!QRect(off, size()).isValid() || !img->rect().contains(QRect(off, size())) ||
      visibleRegion() != QRegion(rect()))
    return false;
  const QRegion out = shown.translated(off);
  store->beginPaint(out);
  // The buffer may be replaced on its way into a paint (a resize).
  if (store->paintDevice() != dev || img->format() != f) {
    store->endPaint();
    return false;
  }
  // An image's RGB32 pixels carry an opaque alpha byte: a plain copy is
  // right for either format.
  const int bpl = img->bytesPerLine(), sbpl = bitmap_.bytesPerLine();
  uchar* dst = img->bits();
  const uchar* src = bitmap_.constBits();
  for (const QRect& r : shown) {
    const size_t bytes = static_cast<size_t>(r.width()) * 4;
    for (int y = r.top(); y <= r.bottom(); ++y)
      std::memcpy(dst + static_cast<ptrdiff_t>(y + off.y()) * bpl + (r.left() + off.x()) * 4,
                  src + static_cast<ptrdiff_t>(y) * sbpl + r.left() * 4, bytes);
  }
  store->endPaint();
  store->flush(out, win);
  return true;
}

void Tsp_XYPlot::EndUpdate() {
  if (updateDepth_ == 0 || --updateDepth_ > 0 || !repaintHeld_) return;
  repaintHeld_ = false;
  RepaintNow();
}

namespace {
void GridLine(QPainter& p, const Tsp_LineAttr& g, int x1, int y1, int x2, int y2) {
  if (g.Style() == psClear) return;
  if ((g.Style() == psSolid || g.Style() == psInsideFrame) && g.Width() <= 1) {
    QColor c = ToQColor(g.Color());
    if (y1 == y2)
      p.fillRect(x1, y1, x2 - x1, 1, c);
    else
      p.fillRect(x1, y1, 1, y2 - y1, c);
    return;
  }
  QPen pen = g.Pen();
  pen.setCapStyle(Qt::FlatCap);
  p.setPen(pen);
  if (y1 == y2)
    p.drawLine(QPointF(x1, y1 + 0.5), QPointF(x2, y1 + 0.5));
  else
    p.drawLine(QPointF(x1 + 0.5, y1), QPointF(x1 + 0.5, y2));
}
}  // namespace

void Tsp_XYPlot::DrawField(QPainter& p, bool tryKept) {
  const bool intoBitmap = p.device() == &bitmap_;
  if (intoBitmap && tryKept && DrawFieldKept(&p)) return;
  // If the lines were drawn on two threads last time, they likely will be
  // again below: the helper wakes up while the background is filled.
  if (twoThreads_ && drewOnTwo_)
    if (Tsp_DrawHelper* h = Tsp_DrawHelper::Get()) h->Prepare();
  drewOnTwo_ = false;
  keptSerial_ = 0;  // until this drawing is complete
  // Drawings in a burst note nothing for the kept field: it would cost them
  // on every line, and the next one comes in a burst as well.
  const bool note = intoBitmap && keptOn_ && AtLinePace();
  TSerialScope serial(drawSerial_, note ? ++serialCount_ : 0);
  drawnDirect_.clear();
  allDirect_ = true;
  p.save();
  const QRect field = FieldRect();
  p.setClipRect(field);
  DrawFieldBackground(p);
  for (Tsp_PlotMarker* m : before_)
    if (m->Visible()) m->Draw();
  DrawSeries(p);
  for (Tsp_PlotMarker* m : after_)
    if (m->Visible()) m->Draw();
  p.restore();
  if (intoBitmap) FieldDrawnInFull();
}

void Tsp_XYPlot::DrawFieldBackground(QPainter& p) {
  if (fieldColor_ != clNone) p.fillRect(FieldRect(), ToQColor(fieldColor_));
  if (OnFieldDraw) OnFieldDraw(this);
  for (Tsp_Axis* a : {left_.get(), bottom_.get(), right_.get(), top_.get()}) {
    const Tsp_LineAttr& g = a->GridAttr();
    if (!g.Visible() || a->TicksCount() == 0) continue;
    for (int i = 0; i < a->TicksCount(); ++i) {
      int t = a->TickPos(i);
      if (a->IsVertical()) {
        if (fTop_ < t && t < fBottom_ - 1) GridLine(p, g, fLeft_, t, fRight_, t);
      } else {
        if (fLeft_ < t && t < fRight_ - 1) GridLine(p, g, t, fTop_, t, fBottom_);
      }
    }
  }
}

QImage* Tsp_XYPlot::DirectImage(QPainter& p) {
  QPaintDevice* dev = p.device();
  if (!dev || dev->devType() != QInternal::Image || !p.transform().isIdentity() ||
      p.compositionMode() != QPainter::CompositionMode_SourceOver)
    return nullptr;
  QImage* img = static_cast<QImage*>(dev);
  return DirectFormat(*img) ? img : nullptr;
}

bool Tsp_XYPlot::DirectFormat(const QImage& img) {
  const QImage::Format f = img.format();
  return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 ||
         f == QImage::Format_ARGB32_Premultiplied;
}

// Series in the order added; those that write straight into the image are
// gathered into runs and each run is drawn at once.
void Tsp_XYPlot::DrawSeries(QPainter& p) {
  QImage* img = DirectImage(p);
  directRun_.clear();
  for (Tsp_DataSeries* s : series_) {
    if (!s->IsActive()) continue;
    const Tsp_DataSeries::TDirect d = img ? s->DirectPrepare() : Tsp_DataSeries::dNo;
    if (d == Tsp_DataSeries::dNothing) continue;
    if (d == Tsp_DataSeries::dYes) {
      directRun_.push_back(s);
      drawnDirect_.push_back(s);
      continue;
    }
    allDirect_ = false;
    if (!directRun_.empty()) DrawDirectRun(*img);
    s->Draw();
  }
  if (!directRun_.empty()) DrawDirectRun(*img);
}

// Draws directRun_ (and empties it). With two threads the helper finds the
// segments of the lines while this thread fills their pixels in the lines'
// order. The image stays with this thread: the field is a megabyte, and
// moving it between the processors' caches would cost more than filling it.
void Tsp_XYPlot::DrawDirectRun(QImage& img) {
  const std::vector<Tsp_DataSeries*>& run = directRun_;
  const int n = static_cast<int>(run.size());
  const QRect clip = FieldRect() & img.rect();
  Tsp_DrawHelper* helper = twoThreads_ && n >= 2 ? Tsp_DrawHelper::Get() : nullptr;
  if (clip.isEmpty()) {
    // Nothing of the field is in the image.
  } else if (!helper) {
    // One buffer for all lines: it stays in the cache from line to line.
    directSegs_.Reserve(1);
    std::vector<TPixelSegment>& segs = directSegs_.Item(0);
    for (Tsp_DataSeries* s : run) {
      s->DirectBuild(segs);
      s->DirectFill(segs, img, clip);
    }
  } else {
    drewOnTwo_ = true;
    // A line the helper fails on (out of memory) is left without segments,
    // and the failure is raised here afterwards.
    directSegs_.Run(
        *helper, n, [&](int i, std::vector<TPixelSegment>& segs) { run[i]->DirectBuild(segs); },
        [&](int i, const std::vector<TPixelSegment>& segs) { run[i]->DirectFill(segs, img, clip); },
        [](std::vector<TPixelSegment>& segs) { segs.clear(); });
  }
  directRun_.clear();
}

void Tsp_XYPlot::DrawDirect(QPainter& p) {
  if (!layoutValid_) CalcLayout(p);
  DrawFrame(p);
  DrawField(p);
  if (OnDrawEnd) OnDrawEnd(this);
  DrawBorder(p);
}

void Tsp_XYPlot::DrawOverlays(QPainter& p) {
  p.save();
  p.setClipping(false);
  p.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
  p.setBrush(Qt::NoBrush);
  if (xCursorOn_) {
    int c = CursorColumn();
    if (fLeft_ < c && c < fRight_) p.fillRect(c, fTop_ + 1, 1, fBottom_ - fTop_ - 2, Qt::black);
  }
  if (bandShown_) {
    QPen pen(Qt::black);
    pen.setStyle(Qt::DotLine);
    pen.setWidth(1);
    p.setPen(pen);
    p.drawRect(QRect(cur_, other_).normalized());
  }
  p.restore();
}

// Brings the buffered image up to date. whole: more than the field changed
// (layout, frame or what OnDrawEnd draws), so all of it must be shown.
void Tsp_XYPlot::RenderBitmap(bool& whole) {
  whole = false;
  regionSet_ = false;
  if (bitmap_.size() != size()) {
    CreateBitmap();
    layoutValid_ = frameValid_ = fieldValid_ = false;
  }
  if (bitmap_.isNull() || (layoutValid_ && frameValid_ && fieldValid_)) return;
  // At a line's pace only the field changes, and the kept field writes its
  // changed columns straight into the image. Setting up a painter on the
  // image costs more than that on cold caches, so it is set up only when
  // something is drawn through it.
  std::optional<QPainter> bp;
  struct TCanvasScope {
    QPainter*& Canvas;
    ~TCanvasScope() { Canvas = nullptr; }
  } scope{canvas_};
  auto painter = [&]() -> QPainter& {
    if (!bp) canvas_ = &bp.emplace(&bitmap_);
    return *bp;
  };
  if (!layoutValid_) {
    CalcLayout(painter());
    whole = true;
  }
  if (!frameValid_) {
    if (!FrameTicksUnchanged()) {
      DrawFrame(painter());
      whole = true;
    }
    frameValid_ = true;
  }
  if (!fieldValid_) {
    bool drawn = false;
    if (!bp && !OnDrawEnd) {
      imageOnly_ = true;
      drawn = DrawFieldKept(nullptr);
      imageOnly_ = false;
    }
    if (!drawn) DrawField(painter(), bp.has_value());
    fieldValid_ = true;
  }
  if (OnDrawEnd) {
    painter();
    OnDrawEnd(this);
    whole = true;
  }
  // The border lies outside the field: only a new frame can have covered it.
  if (whole) DrawBorder(painter());
}

void Tsp_XYPlot::paintEvent(QPaintEvent* e) {
  dWidth_ = width();
  dHeight_ = height();
  if (buffered_) {
    bool whole;
    RenderBitmap(whole);
  }
  if (buffered_ && !bitmap_.isNull()) {
    QPainter wp(this);
    const QRegion& region = e->region();
    for (const QRect& r : region) {
      // Under a clip of several rectangles the painter copies an image row
      // span by row span, handing tall ones to a pool of threads: a few
      // narrow columns woke it a dozen times per drawing. Under a single
      // rectangle it copies the rows directly.
      if (region.rectCount() > 1) wp.setClipRect(r);
      wp.drawImage(r.topLeft(), bitmap_, r);
    }
    wp.setClipping(false);
    DrawOverlays(wp);
    return;
  }
  QPainter wp(this);
  if (mouseState_ == TMouseState::Zooming && !snapshot_.isNull()) {
    // The rubber band moves over the picture taken when it appeared.
    wp.drawImage(0, 0, snapshot_);
  } else {
    canvas_ = &wp;
    DrawDirect(wp);
    canvas_ = nullptr;
  }
  DrawOverlays(wp);
}

void Tsp_XYPlot::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  Invalidate();
}

void Tsp_XYPlot::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::FontChange) {
    Invalidate();
  } else if (e->type() == QEvent::PaletteChange && buffered_) {
    CreateBitmap();
    Invalidate();
    RepaintNow();
  }
}

void Tsp_XYPlot::DrawToCanvas(QPainter* canvas, int width, int height) {
  if (!canvas || width <= 9 || height <= 9) return;
  QPainter* oldCanvas = canvas_;
  canvas_ = canvas;
  dWidth_ = width;
  dHeight_ = height;
  layoutValid_ = false;
  auto restore = [&] {
    layoutValid_ = false;
    canvas_ = oldCanvas;
    dWidth_ = this->width();
    dHeight_ = this->height();
  };
  try {
    DrawDirect(*canvas);
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

QImage Tsp_XYPlot::ToImage() {
  QImage img(size(), QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  DrawToCanvas(&p, width(), height());
  p.end();
  return img;
}

void Tsp_XYPlot::CopyToClipboard() {
  QImage img = ToImage();
  if (QClipboard* cb = QGuiApplication::clipboard()) cb->setImage(img);
}

void Tsp_XYPlot::AddSeries(Tsp_DataSeries* s) {
  if (!s || std::find(series_.begin(), series_.end(), s) != series_.end()) return;
  series_.push_back(s);
  if (s->IsActive()) SeriesChanged(s);
}

void Tsp_XYPlot::RemoveSeries(Tsp_DataSeries* s) {
  auto it = std::find(series_.begin(), series_.end(), s);
  if (it == series_.end()) return;
  series_.erase(it);
  if (!destroying_ && s->IsActive()) SeriesChanged(s);
}

void Tsp_XYPlot::AddMarker(Tsp_PlotMarker* m, TWhenDraw when) {
  auto& list = when == dmBeforeSeries ? before_ : after_;
  if (!m || std::find(list.begin(), list.end(), m) != list.end()) return;
  list.push_back(m);
  if (m->Visible()) InvalidateParts(false, false, true);
}

void Tsp_XYPlot::RemoveMarker(Tsp_PlotMarker* m, TWhenDraw when) {
  auto& list = when == dmBeforeSeries ? before_ : after_;
  auto it = std::find(list.begin(), list.end(), m);
  if (it == list.end()) return;
  list.erase(it);
  if (!destroying_ && m->Visible()) InvalidateParts(false, false, true);
}

void Tsp_XYPlot::SeriesChanged(Tsp_DataSeries* s) {
  bool a = AutoRange(s->HAxis());
  bool b = AutoRange(s->VAxis());
  if (a || b)
    Invalidate();
  else
    InvalidateParts(false, false, true);
}

bool Tsp_XYPlot::AutoRange(Tsp_Axis* axis) {
  if (!axis || (!axis->AutoMin() && !axis->AutoMax())) return false;
  const bool vert = axis->IsVertical();
  bool foundMin = false, foundMax = false;
  double mn = 0, mx = 0;
  for (Tsp_DataSeries* s : series_) {
    if (!s->IsActive() || (vert ? s->VAxis() : s->HAxis()) != axis) continue;
    double v;
    if (axis->AutoMin() && (vert ? s->GetYMin(v) : s->GetXMin(v)) && (!foundMin || v < mn)) {
      mn = v;
      foundMin = true;
    }
    if (axis->AutoMax() && (vert ? s->GetYMax(v) : s->GetXMax(v)) && (!foundMax || v > mx)) {
      mx = v;
      foundMax = true;
    }
  }
  if (!foundMin && !foundMax) return false;
  if (!foundMin) mn = axis->Min();
  if (!foundMax) mx = axis->Max();
  double d = (mx - mn) * 0.025;
  if (foundMin) mn -= d;
  if (foundMax) mx += d;
  if (mn != axis->Min() || mx != axis->Max()) axis->SetMinMax(mn, mx);
  return true;
}

void Tsp_XYPlot::SaveRanges() {
  Tsp_Axis* axes[] = {left_.get(), right_.get(), bottom_.get(), top_.get()};
  if (std::all_of(std::begin(axes), std::end(axes), [](Tsp_Axis* a) { return a->HasSavedRange(); }))
    return;
  for (Tsp_Axis* a : axes) a->SaveRange();
}

void Tsp_XYPlot::RestoreRanges() {
  Tsp_Axis* axes[] = {left_.get(), right_.get(), bottom_.get(), top_.get()};
  if (!std::all_of(std::begin(axes), std::end(axes),
                   [](Tsp_Axis* a) { return a->HasSavedRange(); }))
    return;
  for (Tsp_Axis* a : axes) a->RestoreRange();
  Invalidate();
}

void Tsp_XYPlot::ZoomAxis(Tsp_Axis& a, int p1, int p2) {
  double v1 = a.PixelToValue(p1), v2 = a.PixelToValue(p2);
  double mn = std::min(v1, v2), mx = std::max(v1, v2);
  bool can = true;
  if (OnAxisZoom) OnAxisZoom(&a, mn, mx, can);
  if (can) a.SetMinMax(mn, mx);
}

void Tsp_XYPlot::ZoomToRect(const QRect& r, TZoomPanDir dir) {
  if (dir == zpdNone || r.width() <= 2 || r.height() <= 2) return;
  SaveRanges();
  const int l = r.left(), rt = r.left() + r.width(), t = r.top(), b = r.top() + r.height();
  if (dir == zpdHorizontal || dir == zpdBoth) {
    ZoomAxis(*bottom_, l, rt);
    ZoomAxis(*top_, l, rt);
  }
  if (dir == zpdVertical || dir == zpdBoth) {
    ZoomAxis(*left_, b, t);
    ZoomAxis(*right_, b, t);
  }
  Invalidate();
}

void Tsp_XYPlot::PanBy(const QPoint& current, const QPoint& other, TZoomPanDir dir) {
  SaveRanges();
  if (current.x() != other.x() && (dir == zpdHorizontal || dir == zpdBoth)) {
    bottom_->ScrollByPixels(other.x() - current.x());
    top_->ScrollByPixels(other.x() - current.x());
    InvalidateParts(false, true, true);
  }
  if (current.y() != other.y() && (dir == zpdVertical || dir == zpdBoth)) {
    left_->ScrollByPixels(other.y() - current.y());
    right_->ScrollByPixels(other.y() - current.y());
    InvalidateParts(false, true, true);
  }
}

TShiftState Tsp_XYPlot::ShiftOf(const QMouseEvent* e, bool dbl) const {
  TShiftState s = 0;
  Qt::KeyboardModifiers m = e->modifiers();
  if (m & Qt::ShiftModifier) s |= ssShift;
  if (m & Qt::AltModifier) s |= ssAlt;
  if (m & Qt::ControlModifier) s |= ssCtrl;
  Qt::MouseButtons b = e->buttons() | e->button();
  if (b & Qt::LeftButton) s |= ssLeft;
  if (b & Qt::RightButton) s |= ssRight;
  if (b & Qt::MiddleButton) s |= ssMiddle;
  if (dbl) s |= ssDouble;
  return s;
}

QPoint Tsp_XYPlot::ClampedOther(QPoint p) const {
  if (zoom_ == zpdHorizontal) p.setY(fBottom_);
  if (zoom_ == zpdVertical) p.setX(fRight_);
  return p;
}

void Tsp_XYPlot::mousePressEvent(QMouseEvent* e) {
  const bool dbl = e->type() == QEvent::MouseButtonDblClick;
  const TShiftState st = ShiftOf(e, dbl);
  const QPoint pos = e->position().toPoint();
  if (e->button() == Qt::LeftButton && mouseState_ == TMouseState::Idle) {
    if (st == zoomKeys_ && zoom_ != zpdNone) {
      cur_ = pos;
      if (zoom_ == zpdHorizontal) cur_.setY(fTop_);
      if (zoom_ == zpdVertical) cur_.setX(fLeft_);
      mouseState_ = TMouseState::ZoomPending;
    } else if (st == panKeys_ && pan_ != zpdNone) {
      cur_ = pos;
      setCursor(panCursor_);
      mouseState_ = TMouseState::PanPending;
    }
  }
  if (OnMouseDown) OnMouseDown(this, e->button(), st, pos.x(), pos.y());
}

void Tsp_XYPlot::mouseMoveEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  switch (mouseState_) {
    case TMouseState::ZoomPending:
      if (std::abs(pos.x() - cur_.x()) <= 3 && std::abs(pos.y() - cur_.y()) <= 3) break;
      setCursor(Qt::CrossCursor);
      other_ = ClampedOther(pos);
      if (!BufferedDisplay()) snapshot_ = ToImage();
      bandShown_ = true;
      mouseState_ = TMouseState::Zooming;
      update();
      break;
    case TMouseState::Zooming:
      other_ = ClampedOther(pos);
      update();
      break;
    case TMouseState::PanPending:
      if (pos == cur_) break;
      other_ = cur_;
      cur_ = pos;
      PanBy(cur_, other_, pan_);
      mouseState_ = TMouseState::Panning;
      break;
    case TMouseState::Panning:
      other_ = cur_;
      cur_ = pos;
      PanBy(cur_, other_, pan_);
      break;
    default:
      break;
  }
  if (OnMouseMove) OnMouseMove(this, ShiftOf(e, false), pos.x(), pos.y());
}

void Tsp_XYPlot::mouseReleaseEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  if (mouseState_ == TMouseState::ZoomPending) {
    RestoreRanges();
  } else if (mouseState_ == TMouseState::Zooming) {
    bandShown_ = false;
    snapshot_ = QImage();
    int x1 = cur_.x(), y1 = cur_.y(), x2 = other_.x(), y2 = other_.y();
    int l, r, t, b;
    if (x2 < x1) {
      l = x2 + 1;
      r = x1 + 1;
    } else {
      l = x1;
      r = x2;
    }
    if (y2 < y1) {
      t = y2 + 1;
      b = y1 + 1;
    } else {
      t = y1;
      b = y2;
    }
    ZoomToRect(QRect(l, t, r - l, b - t), zoom_);
    update();
  }
  if (mouseState_ != TMouseState::Idle) {
    mouseState_ = TMouseState::Idle;
    unsetCursor();
  }
  if (OnMouseUp) OnMouseUp(this, e->button(), ShiftOf(e, false), pos.x(), pos.y());
}

void Tsp_XYPlot::mouseDoubleClickEvent(QMouseEvent* e) {
  mousePressEvent(e);
  // Only the left button's double-click is one; the others are presses.
  if (e->button() != Qt::LeftButton) return;
  emit DblClick();
  if (OnDblClick) OnDblClick(this);
}
