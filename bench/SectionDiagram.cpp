// Diagram update and trim.
#include <QApplication>
#include <iostream>

#include "bench/BenchDiagram.h"
#include "bench/BenchSections.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_def.h"

namespace bench {

namespace {

constexpr double kStartDays = 46000.5;
struct TRange {
  const char* Name;
  double Days;
};
const TRange kRanges[] = {{"10 min", 1.0 / 144.0}, {"12 h", 0.5}};

}  // namespace

void RunDiagram(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  const int nOurs = opt.Quick ? 45 : 345;
  const int nNaive = opt.Quick ? 3 : 15;
  std::cout
      << "\nDiagram update on the 635 x 419 diagram window, 2-pixel pens; ms per reading.\n"
         "  ours:  AddPoint (append, trim, axis move, one synchronous repaint), reduced drawing\n"
         "  1 thr: ours with the lines drawn on one thread only; gain = 1 thr / ours\n"
         "  plain: every stored segment drawn, and a repaint after the append, after each\n"
         "         trimmed point and after the axis move (the design without the reductions)\n"
         "  1 paint: every stored segment drawn, but through AddPoint's one repaint\n"
         "  ratio = plain median / ours median; diff = field pixels where ours differs from\n"
         "  the every-segment picture of the same state.\n"
      << nOurs << " updates of ours and " << nNaive
      << " of each naive kind, same data, same run, measured in " << nNaive
      << " alternating rounds.\n\n";
  TTable t({{"data set / range", 19},
            {"points", 7},
            {"ours med", 8},
            {"p95", 6},
            {"max", 6},
            {"1 thr", 6},
            {"gain", 5},
            {"plain med", 9},
            {"p95", 7},
            {"max", 7},
            {"ratio", 6},
            {"1 paint", 7},
            {"ratio", 6},
            {"diff %", 6},
            {"spikes", 6}});
  bool headed = false;
  uint64_t seed = 1;
  for (const TDataSet& set : {DataSetA(), DataSetB(), DataSetC()}) {
    const uint64_t setSeed = seed++;
    if (opt.Sets.find(set.Name[0]) == std::string::npos) continue;
    TDiagramFeed feed(set, setSeed, kStartDays);
    const double f0 = NowMs();
    feed.Fill();
    const double fillMs = NowMs() - f0;
    feed.Show();
    if (!headed) {
      const QRect f = feed.Plot().FieldRect();
      std::cout << "plot " << feed.Plot().width() << " x " << feed.Plot().height() << ", field "
                << f.width() << " x " << f.height() << " pixels\n\n";
      t.Header();
      headed = true;
    }
    std::cout << "(" << set.Name << " filled in " << Fmt(fillMs / 1000.0, 1)
              << " s through AddPoint, window hidden)" << std::endl;
    const bool full = set.Name[0] != 'C';
    for (const TRange& r : kRanges) {
      feed.SetTimeRange(r.Days);
      // The pictures of the same state, drawn the way the window draws. The
      // first drawing after a range change settles the layout: the field's
      // edge depends on the first time label's overhang, which depends on
      // the scale of the field, so it may move by a pixel once.
      feed.Plot().ToImage();
      const QImage ours = feed.Plot().ToImage();
      feed.Plot().SetTwoThreadDrawing(false);
      const QImage oneThread = feed.Plot().ToImage();
      feed.Plot().SetTwoThreadDrawing(true);
      const TPixelDiff threads = CompareField(ours, oneThread, feed.Plot().FieldRect());
      feed.SetNaive(true);
      const QImage naive = feed.Plot().ToImage();
      feed.SetNaive(false);
      const TPixelDiff diff = CompareField(ours, naive, feed.Plot().FieldRect());
      int shown = 0, shownNaive = 0;
      const std::vector<TSpike> spikes = feed.VisibleSpikes();
      for (const TSpike& s : spikes) {
        shown += SpikeVisible(ours, feed.Plot(), s) ? 1 : 0;
        shownNaive += SpikeVisible(naive, feed.Plot(), s) ? 1 : 0;
      }
      const std::string label = set.Name + std::string(" ") + r.Name;
      if (!opt.Images.empty()) {
        std::string base = opt.Images + "/perf-" + std::string(1, set.Name[0]) + "-" +
                           (r.Days < 0.1 ? "10min" : "12h");
        ours.save(QString::fromStdString(base + "-reduced.png"));
        naive.save(QString::fromStdString(base + "-every-segment.png"));
        oneThread.save(QString::fromStdString(base + "-one-thread.png"));
      }

      // Rounds of ours and of both naive kinds take turns, so a change in
      // the machine's speed during the run weighs on both sides alike.
      std::vector<double> tOurs, tPlain, tOne, tThread;
      for (int round = 0; round < nNaive; ++round) {
        TimeUpdates(feed, 3);  // warm caches after the switch
        for (double v : TimeUpdates(feed, nOurs / nNaive)) tOurs.push_back(v);
        feed.Plot().SetTwoThreadDrawing(false);
        TimeUpdates(feed, 3);
        for (double v : TimeUpdates(feed, nOurs / nNaive)) tThread.push_back(v);
        feed.Plot().SetTwoThreadDrawing(true);
        feed.SetNaive(true);
        for (double v : TimeUpdates(feed, 1, true)) tPlain.push_back(v);
        for (double v : TimeUpdates(feed, 1)) tOne.push_back(v);
        feed.SetNaive(false);
      }
      const TStats so = Summarize(tOurs), sp = Summarize(tPlain), s1 = Summarize(tOne);
      const TStats st = Summarize(tThread);
      t.Row({label, std::to_string(feed.Points()), Fmt(so.Median, 3), Fmt(so.P95, 2),
             Fmt(so.Max, 2), Fmt(st.Median, 3), Ratio(st.Median, so.Median), Fmt(sp.Median, 1),
             Fmt(sp.P95, 1), Fmt(sp.Max, 1), Ratio(sp.Median, so.Median), Fmt(s1.Median, 1),
             Ratio(s1.Median, so.Median), Fmt(diff.Percent(), 3),
             std::to_string(shown) + "/" + std::to_string(spikes.size())});
      if (threads.Differing > 0)
        std::cout << "  (drawn on one thread, " << threads.Differing << " field pixels differ)\n";
      if (shownNaive != static_cast<int>(spikes.size()))
        std::cout << "  (the every-segment picture shows " << shownNaive << " of the spikes)\n";

      if (full) {
        targets.push_back(
            {label + ": median", Fmt(so.Median, 3) + " ms", "<= 2 ms", so.Median <= 2.0});
        targets.push_back({label + ": p95", Fmt(so.P95, 3) + " ms", "<= 5 ms", so.P95 <= 5.0});
        targets.push_back({label + ": plain / ours", Ratio(sp.Median, so.Median), ">= 200x",
                           so.Median > 0 && sp.Median / so.Median >= 200.0});
      }
      targets.push_back({label + ": same picture on 1 and 2 threads",
                         std::to_string(threads.Differing) + " pixels", "0",
                         threads.Differing == 0});
      targets.push_back({label + ": differing pixels", Fmt(diff.Percent(), 3) + " %", "<= 0.5 %",
                         diff.Percent() <= 0.5});
      targets.push_back({label + ": spikes visible",
                         std::to_string(shown) + "/" + std::to_string(spikes.size()), "all",
                         shown == static_cast<int>(spikes.size())});
    }
  }
}

void RunTrim(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  const int batches = opt.Quick ? 40 : 200;
  const int perBatch = 100;
  std::cout << "\nTrim: AddPoint on one line holding a full 12-hour buffer, each new point "
               "trimming the oldest.\n"
            << "us per AddPoint (append, trim, axis move), median of " << batches << " batches of "
            << perBatch << "; window hidden, then shown.\n\n";
  TTable t({{"stored points", 14}, {"hidden med", 11}, {"p95", 9}, {"shown med", 10}, {"p95", 9}});
  t.Header();
  double hidden[2] = {0, 0};
  int k = 0;
  for (int n : {1000, 700000}) {
    TDataSet set{"trim", 1, 12.0 * 3600.0 * 1000.0 / n, n};
    TDiagramFeed feed(set, 7, kStartDays);
    feed.Fill();
    feed.SetTimeRange(0.5);
    std::vector<double> h;
    for (int b = 0; b < batches; ++b) {
      const double t0 = NowMs();
      for (int i = 0; i < perBatch; ++i) feed.Step();
      h.push_back((NowMs() - t0) * 1000.0 / perBatch);
    }
    feed.Show();
    std::vector<double> s = TimeUpdates(feed, opt.Quick ? 30 : 150);
    for (double& v : s) v *= 1000.0;
    const TStats sh = Summarize(h), ss = Summarize(s);
    hidden[k++] = sh.Median;
    t.Row({std::to_string(feed.Points()), Fmt(sh.Median, 2), Fmt(sh.P95, 2), Fmt(ss.Median, 0),
           Fmt(ss.P95, 0)});
  }
  const double ratio = hidden[0] > 0 ? hidden[1] / hidden[0] : 0;
  std::cout << "cost at 700,000 / cost at 1,000: " << Fmt(ratio, 2) << std::endl;
  targets.push_back(
      {"trim: cost 700k / cost 1k", Fmt(ratio, 2) + "x", "<= 1.5x", ratio > 0 && ratio <= 1.5});
}

}  // namespace bench
