// The plot's axes (a scale that repaints its plot and lets it label the
// ticks), the plot markers and the series base: their link to the plot.
#include "diagram/plot/sgr_def.h"

Tsp_Axis::Tsp_Axis(Tsp_XYPlot* plot, uint32_t flags) : Tsp_Scale(flags), plot_(plot) {
  gridAttr_.SetColor(clGray);
  gridAttr_.SetVisible(false);
  lineAttr_.SetOnChange([this] { Invalidate(); });
  gridAttr_.SetOnChange([this] {
    if (plot_) plot_->InvalidateParts(false, false, true);
  });
}

Tsp_Axis::~Tsp_Axis() {
  lineAttr_.SetOnChange(nullptr);
  gridAttr_.SetOnChange(nullptr);
}

void Tsp_Axis::Invalidate() {
  if (plot_) plot_->Invalidate();
}

void Tsp_Axis::SetMin(double v) {
  SetFlag(sfAutoMin, false);
  saved_ = false;
  if (v != min_) SetMinMax(max_, v);
  Invalidate();
}

void Tsp_Axis::SetMax(double v) {
  SetFlag(sfAutoMax, false);
  saved_ = false;
  if (v != max_) SetMinMax(v, min_);
  Invalidate();
}

void Tsp_Axis::SetTicksCount(int n) {
  n = std::max(0, std::min(MaxTicks, n));
  if (n != ticksCount_) SetTicksCountRaw(n);
  Invalidate();
}

void Tsp_Axis::SetLabelFormat(const std::string& f) {
  if (f == labelFormat_) return;
  labelFormat_ = f;
  Invalidate();
}

void Tsp_Axis::SetMargin(int m) {
  if (m == margin_) return;
  margin_ = m;
  Invalidate();
}

void Tsp_Axis::SetCaption(const std::string& c) {
  if (c == caption_) return;
  caption_ = c;
  hasCaption_ =
      std::any_of(c.begin(), c.end(), [](char ch) { return static_cast<unsigned char>(ch) > 32; });
  Invalidate();
}

void Tsp_Axis::SetLineAttr(const Tsp_CustomLineAttr& a) {
  if (lineAttr_.SameAs(a)) return;
  lineAttr_.Assign(a);
  Invalidate();
}

void Tsp_Axis::SetGridAttr(const Tsp_CustomLineAttr& a) {
  if (gridAttr_.SameAs(a)) return;
  gridAttr_.Assign(a);
  if (plot_) plot_->InvalidateParts(false, false, true);
}

void Tsp_Axis::SetInversed(bool v) {
  if (v == Inversed()) return;
  SetFlag(sfInversed, v);
  CalcMapping();
  CalcTicks();
  Invalidate();
}

void Tsp_Axis::SetTicksLines(bool v) {
  if (v == TicksLines()) return;
  SetFlag(sfNoTicksLines, !v);
  CalcTicks();
  Invalidate();
}

void Tsp_Axis::SetNoTicksLabel(bool v) {
  if (v == NoTicksLabel()) return;
  SetFlag(sfNoTicksLabel, v);
  CalcTicks();
  Invalidate();
}

void Tsp_Axis::SetTicksAdjusted(bool v) {
  if (v == TicksAdjusted()) return;
  SetFlag(sfNoTicksAdjusted, !v);
  CalcTicks();
  Invalidate();
}

void Tsp_Axis::SetAutoMin(bool v) {
  if (v == AutoMin()) return;
  SetFlag(sfAutoMin, v);
  if (plot_ && plot_->AutoRange(this)) plot_->Invalidate();
}

void Tsp_Axis::SetAutoMax(bool v) {
  if (v == AutoMax()) return;
  SetFlag(sfAutoMax, v);
  if (plot_ && plot_->AutoRange(this)) plot_->Invalidate();
}

void Tsp_Axis::SetLabelAsDataTime(bool v) {
  if (v == LabelAsDataTime()) return;
  SetFlag(sfLabelAsDateTime, v);
  Invalidate();
}

void Tsp_Axis::MoveMinMax(double delta) {
  ScrollByValue(delta);
  SetFlag(sfAutoMin | sfAutoMax, false);
  saved_ = false;
  if (plot_) plot_->InvalidateParts(false, true, true);
}

void Tsp_Axis::SaveRange() {
  if (saved_) return;
  savedMin_ = min_;
  savedMax_ = max_;
  saved_ = true;
}

void Tsp_Axis::RestoreRange() {
  if (!saved_) return;
  SetMinMax(savedMin_, savedMax_);
  saved_ = false;
}

void Tsp_Axis::Assign(const Tsp_Axis& o) {
  // Orientation and side belong to this axis's place in the plot.
  const uint32_t fixed = sfVertical | sfOpposite;
  flags_ = (flags_ & fixed) | (o.flags_ & ~fixed);
  x_ = o.x_;
  y_ = o.y_;
  length_ = o.length_;
  ticksCount_ = o.ticksCount_;
  labelFormat_ = o.labelFormat_;
  margin_ = o.margin_;
  caption_ = o.caption_;
  hasCaption_ = o.hasCaption_;
  SetMinMax(o.min_, o.max_);
  CalcMapping();
  CalcTicks();
  lineAttr_.Assign(o.lineAttr_);
  gridAttr_.Assign(o.gridAttr_);
  saved_ = false;
  Invalidate();
}

std::string Tsp_Axis::TickLabel(int i) const {
  double v = TickValue(i);
  std::string s = FormatLabel(v);
  if (plot_ && plot_->OnGetTickLabel) plot_->OnGetTickLabel(const_cast<Tsp_Axis*>(this), i, v, s);
  return s;
}

// ---- markers ----

Tsp_PlotMarker::Tsp_PlotMarker(QObject* owner) : QObject(owner) {}
Tsp_PlotMarker::~Tsp_PlotMarker() {
  if (plot_) plot_->RemoveMarker(this, when_);
}
void Tsp_PlotMarker::SetPlot(Tsp_XYPlot* p) {
  if (p == plot_) return;
  if (plot_) plot_->RemoveMarker(this, when_);
  plot_ = p;
  if (plot_) plot_->AddMarker(this, when_);
}
void Tsp_PlotMarker::SetXAxis(TDSXAxis a) {
  xAxis_ = a;
  if (plot_) plot_->InvalidateParts(false, false, true);
}
void Tsp_PlotMarker::SetYAxis(TDSYAxis a) {
  yAxis_ = a;
  if (plot_) plot_->InvalidateParts(false, false, true);
}
void Tsp_PlotMarker::SetWhenDraw(TWhenDraw w) {
  if (w == when_) return;
  Tsp_XYPlot* p = plot_;
  if (p) p->RemoveMarker(this, when_);
  when_ = w;
  if (p) p->AddMarker(this, when_);
}
void Tsp_PlotMarker::SetVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  if (plot_) plot_->InvalidateParts(false, false, true);
}

// ---- series base ----

Tsp_DataSeries::Tsp_DataSeries(QObject* owner) : QObject(owner) {}
Tsp_DataSeries::~Tsp_DataSeries() {
  if (plot_) plot_->RemoveSeries(this);
}
void Tsp_DataSeries::SetPlot(Tsp_XYPlot* p) {
  if (p == plot_) return;
  if (plot_) plot_->RemoveSeries(this);
  plot_ = p;
  if (plot_) plot_->AddSeries(this);
}
void Tsp_DataSeries::SetXAxis(TDSXAxis a) {
  if (a == xAxis_) return;
  xAxis_ = a;
  if (plot_ && IsActive()) plot_->SeriesChanged(this);
}
void Tsp_DataSeries::SetYAxis(TDSYAxis a) {
  if (a == yAxis_) return;
  yAxis_ = a;
  if (plot_ && IsActive()) plot_->SeriesChanged(this);
}
void Tsp_DataSeries::SetLegend(const std::string& s) {
  legend_ = s;
  LegendChanged();
}
Tsp_Axis* Tsp_DataSeries::HAxis() const {
  if (!plot_) return nullptr;
  return xAxis_ == dsxBottom ? &plot_->BottomAxis() : &plot_->TopAxis();
}
Tsp_Axis* Tsp_DataSeries::VAxis() const {
  if (!plot_) return nullptr;
  return yAxis_ == dsyLeft ? &plot_->LeftAxis() : &plot_->RightAxis();
}
