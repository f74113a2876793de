#pragma once
// Diagram measurements: filling the diagram window in virtual time, timing
// AddPoint with its synchronous repaints, and comparing the reduced drawing
// with the every-segment drawing pixel by pixel.
#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/QxClock.h"

class TDiagramm;
class Tsp_XYPlot;

namespace bench {

// One synthetic load: `Channels` lines, each receiving a point every
// `Channels` x `StepMs` of virtual time, `Fill` points in all.
struct TDataSet {
  std::string Name;
  int Channels = 1;
  double StepMs = 62.5;  // between two points of the whole stream
  int64_t Fill = 0;
};

// The three loads of the comparison: one 16 Hz line for 12 hours, 32 lines
// of 21,600 points, and 32 lines with one hour of a 12-hour buffer.
TDataSet DataSetA();
TDataSet DataSetB();
TDataSet DataSetC();

// A spike fed to the diagram, to be found again in the picture.
struct TSpike {
  int Channel;
  double X, Y;
};

// Centre of a channel's curve: lines are stacked so that one line's spike
// does not vanish under its neighbour.
double ChannelCentre(int channel, int channels);

// A diagram window fed from a synthetic stream in virtual time.
class TDiagramFeed {
 public:
  TDiagramFeed(const TDataSet& set, uint64_t seed, double startDays);
  ~TDiagramFeed();
  TDiagramFeed(const TDiagramFeed&) = delete;
  TDiagramFeed& operator=(const TDiagramFeed&) = delete;

  TDiagramm& Window() { return *window_; }
  Tsp_XYPlot& Plot();
  TVirtualClock& VClock() { return clock_; }

  // Feeds the set's fill while the window is hidden (no drawing), then sets
  // the temperature axis around the data.
  void Fill();
  // Advances the clock by one step and feeds the next point through
  // AddPoint.
  void Step();
  // The same step done the plain way: append, drop each expired point and
  // move the time axis one by one, each change repainting at once.
  void StepPlain();
  // Shows the window at its design size and lets it paint.
  void Show();
  void SetTimeRange(double days);
  // Every-segment drawing on all lines when true, the reduced one otherwise.
  void SetNaive(bool naive);
  int64_t Points() const;
  // Spikes that are still stored and inside the visible time range.
  std::vector<TSpike> VisibleSpikes();

 private:
  // Advances the clock and draws the next value of the stream.
  void Next(int& channel, double& x, double& y);

  TDataSet set_;
  TVirtualClock clock_;
  TScopedClock scoped_;
  TSignal signal_;
  std::unique_ptr<TDiagramm> window_;
  std::vector<TSpike> spikes_;
  int64_t fed_ = 0;
  double msCarry_ = 0;
};

// Times n updates (AddPoint, then the pending messages: what the
// measurement loop does per reading); with plain set, StepPlain instead.
std::vector<double> TimeUpdates(TDiagramFeed& feed, int n, bool plain = false);

// Field pixels that differ between two renderings of the same plot.
struct TPixelDiff {
  int64_t Differing = 0, FieldPixels = 0;
  double Percent() const { return FieldPixels ? 100.0 * Differing / FieldPixels : 0; }
};
TPixelDiff CompareField(const QImage& a, const QImage& b, const QRect& field);
// Whether a spike's pixel (or a direct neighbour) shows its line's colour.
bool SpikeVisible(const QImage& img, Tsp_XYPlot& plot, const TSpike& s);

}  // namespace bench
