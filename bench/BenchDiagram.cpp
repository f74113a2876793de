// The three data sets, the feed that drives a real diagram window on a
// virtual clock, and the pixel checks behind the comparison.
#include "bench/BenchDiagram.h"

#include <QApplication>
#include <algorithm>
#include <cmath>

#include "common/ChannelColors.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

namespace bench {

namespace {
constexpr double kMsPerDay = 86400000.0;
constexpr double kBufferHours = 12.0;
}  // namespace

TDataSet DataSetA() {
  return {"A 1x691200", 1, 62.5, 691200};
}
TDataSet DataSetB() {
  return {"B 32x21600", 32, 2000.0 / 32.0, 32 * 21600};
}
TDataSet DataSetC() {
  return {"C 32x1h/12h", 32, 2000.0 / 32.0, 32 * 1800};
}

double ChannelCentre(int channel, int channels) {
  return channels <= 1 ? 100.0 : 20.0 + 12.0 * channel;
}

TDiagramFeed::TDiagramFeed(const TDataSet& set, uint64_t seed, double startDays)
    : set_(set), clock_(startDays), scoped_(&clock_), signal_(seed) {
  window_ = std::make_unique<TDiagramm>();
  window_->BufferHours = [] { return kBufferHours; };
}

TDiagramFeed::~TDiagramFeed() {
  window_.reset();
  QApplication::processEvents();
}

Tsp_XYPlot& TDiagramFeed::Plot() {
  return *window_->Plot1;
}

void TDiagramFeed::Next(int& channel, double& x, double& y) {
  // Whole milliseconds on the clock; the fractions are carried over.
  msCarry_ += set_.StepMs;
  const int64_t ms = static_cast<int64_t>(msCarry_);
  msCarry_ -= static_cast<double>(ms);
  clock_.Advance(ms);
  channel = static_cast<int>(fed_ % set_.Channels);
  bool spike = false;
  y = signal_.Next(channel, ChannelCentre(channel, set_.Channels), &spike);
  x = Clock().Now();
  if (spike) spikes_.push_back({channel, x, y});
  ++fed_;
}

void TDiagramFeed::Step() {
  int ch;
  double x, y;
  Next(ch, x, y);
  window_->AddPoint(ch, x, y);
}

void TDiagramFeed::StepPlain() {
  int ch;
  double x, y;
  Next(ch, x, y);
  Tsp_XYLine* line = window_->Line(ch);
  line->AddXY(x, y);
  while (line->Count() > 0 && Clock().Now() - kBufferHours / 24.0 > line->GetX(0)) line->Delete(0);
  Tsp_Axis& bottom = Plot().BottomAxis();
  bottom.MoveMinMax(Clock().Now() - bottom.Max());
}

void TDiagramFeed::Fill() {
  for (int64_t i = 0; i < set_.Fill; ++i) Step();
  // Temperature axis around all lines, spikes included.
  double lo = 1e300, hi = -1e300;
  for (int c = 0; c < set_.Channels; ++c) {
    Tsp_XYLine* l = window_->Line(c);
    double v;
    if (l->GetYMin(v)) lo = std::min(lo, v);
    if (l->GetYMax(v)) hi = std::max(hi, v);
  }
  if (lo < hi) {
    const double pad = (hi - lo) * 0.05;
    Plot().LeftAxis().SetMinMax(lo - pad, hi + pad);
  }
}

void TDiagramFeed::Show() {
  window_->resize(635, 419);
  window_->show();
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
  Plot().RepaintNow();
}

void TDiagramFeed::SetTimeRange(double days) {
  window_->SetTimeRange(days);
  QApplication::processEvents();
}

void TDiagramFeed::SetNaive(bool naive) {
  for (int c = 0; c < MaxChannels; ++c)
    window_->Line(c)->SetLineDrawing(naive ? ldEverySegment : ldReduced);
  QApplication::processEvents();
}

int64_t TDiagramFeed::Points() const {
  int64_t n = 0;
  for (int c = 0; c < MaxChannels; ++c) n += window_->Line(c)->Count();
  return n;
}

std::vector<TSpike> TDiagramFeed::VisibleSpikes() {
  const Tsp_Axis& ax = Plot().BottomAxis();
  std::vector<TSpike> out;
  for (const TSpike& s : spikes_) {
    Tsp_XYLine* l = window_->Line(s.Channel);
    if (l->Count() == 0 || s.X < l->GetX(0)) continue;  // trimmed
    if (s.X < ax.Min() || s.X > ax.Max()) continue;
    out.push_back(s);
  }
  return out;
}

std::vector<double> TimeUpdates(TDiagramFeed& feed, int n, bool plain) {
  std::vector<double> t;
  t.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t0 = NowMs();
    if (plain)
      feed.StepPlain();
    else
      feed.Step();
    // Whatever the update left for the message queue runs here, as in the
    // measurement loop right after the point.
    QApplication::processEvents();
    t.push_back(NowMs() - t0);
  }
  return t;
}

TPixelDiff CompareField(const QImage& a, const QImage& b, const QRect& field) {
  TPixelDiff d;
  const QRect r = field.intersected(a.rect()).intersected(b.rect());
  const QImage ca = a.convertToFormat(QImage::Format_RGB32);
  const QImage cb = b.convertToFormat(QImage::Format_RGB32);
  for (int y = r.top(); y <= r.bottom(); ++y) {
    const QRgb* pa = reinterpret_cast<const QRgb*>(ca.constScanLine(y));
    const QRgb* pb = reinterpret_cast<const QRgb*>(cb.constScanLine(y));
    for (int x = r.left(); x <= r.right(); ++x) {
      ++d.FieldPixels;
      if ((pa[x] & 0xFFFFFF) != (pb[x] & 0xFFFFFF)) ++d.Differing;
    }
  }
  return d;
}

bool SpikeVisible(const QImage& img, Tsp_XYPlot& plot, const TSpike& s) {
  const int x = plot.BottomAxis().ValueToPixel(s.X);
  const int y = plot.LeftAxis().ValueToPixel(s.Y);
  const QRgb want = 0xFF000000u | ChannelColors[s.Channel];
  const QRect field = plot.FieldRect();
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const QPoint p(x + dx, y + dy);
      if (!field.contains(p) || !img.rect().contains(p)) continue;
      if ((img.pixel(p) | 0xFF000000u) == want) return true;
    }
  return false;
}

}  // namespace bench
