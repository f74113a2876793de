// The diagram at a line's pace: full 12-hour buffers, one reading at a time
// with an idle spell between readings, as over a real port, in virtual time.
// Separates the drawing's share of a reading from the serial path and gives
// a repeatable run to profile (callgrind counts only the measured updates).
#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "bench/BenchDiagram.h"
#include "bench/BenchSections.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_def.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

namespace bench {

namespace {

struct TPaceResult {
  std::vector<double> Cpu, All;  // per update (ms): this thread, all threads
  std::vector<double> Redrawn;   // share of the field's columns drawn again (%)
};

// n updates, each after an idle spell of idleMs (the time a real line takes
// to answer): the drawing then starts with caches another program could
// have used, and the drawing helper has gone to sleep.
TPaceResult PaceUpdates(TDiagramFeed& feed, int n, int idleMs) {
  TPaceResult r;
  for (int i = 0; i < n; ++i) {
    if (idleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
    const double c0 = ThreadCpuMs(), a0 = ProcessCpuMs();
    feed.Step();
    QApplication::processEvents();
    r.Cpu.push_back(ThreadCpuMs() - c0);
    r.All.push_back(ProcessCpuMs() - a0);
    r.Redrawn.push_back(100.0 * feed.Plot().LastRedrawnShare());
  }
  return r;
}

// The field as the plot shows it now, and as a full drawing of the same
// state shows it: the two must not differ in a single pixel.
TPixelDiff KeptAgainstFull(Tsp_XYPlot& plot) {
  QImage* bmp = plot.Bitmap();
  if (!bmp) return {};
  const QImage shown = bmp->copy();
  plot.ForgetKeptField();
  plot.InvalidateParts(false, true, true);
  plot.RepaintNow();
  if (getenv("QX_PACE_DUMP")) {
    shown.save("/tmp/pace-shown.png");
    plot.Bitmap()->save("/tmp/pace-full.png");
  }
  return CompareField(shown, *plot.Bitmap(), plot.FieldRect());
}

}  // namespace

void RunPace(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  const int n = opt.Quick ? 150 : 600;
  constexpr int kIdleMs = 5;
  std::cout << "\nDiagram at a line's pace: 12 hours of full buffers (691,200 points) on the "
               "635 x 419 window,\n"
            << n << " readings one by one with " << kIdleMs
            << " ms idle before each, in virtual time (62.5 ms per reading);\n"
               "CPU ms per reading of the window thread and of all threads, with the lines "
               "drawn as shipped and on one thread;\n"
               "diff = field pixels where the picture after the readings differs from a full "
               "drawing of the same state.\n\n";
  TTable t({{"lines", 6},
            {"cpu med", 9},
            {"p95", 7},
            {"all med", 9},
            {"p95", 7},
            {"1 thr all", 9},
            {"redrawn %", 9},
            {"diff px", 8}});
  t.Header();
  for (int channels : {8, 32}) {
    TDataSet set{"pace", channels, 62.5, 691200};
    TDiagramFeed feed(set, 7, 46000.5);
    feed.Fill();
    feed.Show();
    feed.SetTimeRange(0.5);
    PaceUpdates(feed, 20, kIdleMs);  // settle the layout and the kept state
    CALLGRIND_ZERO_STATS;
    const TPaceResult shipped = PaceUpdates(feed, n, kIdleMs);
    CALLGRIND_DUMP_STATS_AT("pace");
    feed.Plot().SetTwoThreadDrawing(false);
    const TPaceResult one = PaceUpdates(feed, n / 3, kIdleMs);
    feed.Plot().SetTwoThreadDrawing(true);
    PaceUpdates(feed, 5, kIdleMs);
    const TPixelDiff diff = KeptAgainstFull(feed.Plot());
    const TStats c = Summarize(shipped.Cpu), a = Summarize(shipped.All);
    t.Row({std::to_string(channels), Fmt(c.Median, 3), Fmt(c.P95, 3), Fmt(a.Median, 3),
           Fmt(a.P95, 3), Fmt(Summarize(one.All).Median, 3),
           Fmt(Summarize(shipped.Redrawn).Median, 1), std::to_string(diff.Differing)});
    targets.push_back(
        {"pace " + std::to_string(channels) + " lines: same picture as a full drawing",
         std::to_string(diff.Differing) + " pixels", "0", diff.Differing == 0});
  }
}

}  // namespace bench
