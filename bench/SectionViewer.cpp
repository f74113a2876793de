// The log viewer on a 1 GiB log of 32 channels: time from starting
// quilex-view to the first whole-range picture and to the end of reading,
// pandas.read_fwf on the same file, zoom and pan redraws with a check that
// every spike in view is drawn, and the memory.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "bench/BenchSections.h"
#include "bench/BenchSupport.h"
#include "common/ChannelColors.h"
#include "common/QxDateTime.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"
#include "viewer/ViewWindow.h"

namespace bench {

namespace {

constexpr int Channels = 32;
constexpr int SpikeChannel = 31;
constexpr int64_t SpikeEvery = 50000;
constexpr double SpikeHeight = 80.0;

struct TSpike {
  double Time, Value;
};

inline void Put2(char*& p, int v) {
  *p++ = static_cast<char>('0' + v / 10);
  *p++ = static_cast<char>('0' + v % 10);
}

// " %7.2f" with a decimal comma.
inline void PutCell(char*& p, int64_t centi) {
  char tmp[24];
  int n = 0;
  const bool neg = centi < 0;
  int64_t x = neg ? -centi : centi;
  tmp[n++] = static_cast<char>('0' + x % 10);
  x /= 10;
  tmp[n++] = static_cast<char>('0' + x % 10);
  x /= 10;
  tmp[n++] = ',';
  do {
    tmp[n++] = static_cast<char>('0' + x % 10);
    x /= 10;
  } while (x);
  if (neg) tmp[n++] = '-';
  *p++ = ' ';
  for (int k = n; k < 7; ++k) *p++ = ' ';
  while (n) *p++ = tmp[--n];
}

// The log as the program writes it with German settings, one line every
// 100 ms: random walks, a run of N/A on channel 5 now and then, single N/A
// cells, and a spike on the last channel every 50,000 lines.
bool WriteLog(const std::string& path, int64_t bytes, std::vector<TSpike>& spikes, int64_t& lines) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<char> buf(1 << 20);
  // A small generator: the standard ones took most of the writing time.
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto rng = [&state] {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  };
  auto u = [&rng](int) {
    return static_cast<int64_t>(rng() >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  };
  double walk[Channels];
  for (int c = 0; c < Channels; ++c) walk[c] = 0;
  int64_t written = 0;
  const double day0 = EncodeDate(2026, 3, 1);
  lines = 0;
  size_t used = 0;
  int naRun = 0;
  while (written + static_cast<int64_t>(used) < bytes) {
    const int64_t ms = lines * 100;
    const int64_t day = ms / 86400000, tod = ms % 86400000;
    const TDateTimeParts d = DecodeDateTime(day0 + static_cast<double>(day));
    char* p = buf.data() + used;
    Put2(p, d.Day);
    *p++ = '.';
    Put2(p, d.Month);
    *p++ = '.';
    p += std::sprintf(p, "%04d", d.Year);
    *p++ = ' ';
    Put2(p, static_cast<int>(tod / 3600000));
    *p++ = ':';
    Put2(p, static_cast<int>(tod / 60000 % 60));
    *p++ = ':';
    Put2(p, static_cast<int>(tod / 1000 % 60));
    *p++ = ',';
    const int msec = static_cast<int>(tod % 1000);
    *p++ = static_cast<char>('0' + msec / 100);
    Put2(p, msec % 100);
    *p++ = ' ';
    if (lines % 200000 == 100000) naRun = 500;
    for (int c = 0; c < Channels; ++c) {
      walk[c] += 0.15 * (u(0) + u(0) + u(0)) - 0.002 * walk[c];
      double v = 20.0 + 3.0 * c + walk[c] + 0.2 * u(0);
      const bool spike = c == SpikeChannel && lines % SpikeEvery == SpikeEvery / 2;
      if (spike) v += SpikeHeight;
      const bool na = (c == 5 && naRun > 0) || (!spike && (rng() & 16383) == 0);
      if (na) {
        std::memcpy(p, "  N/A  ", 7);
        p += 7;
      } else {
        const int64_t centi = std::llround(v * 100);
        PutCell(p, centi);
        if (spike) spikes.push_back({day0 + ms / 86400000.0, centi / 100.0});
      }
    }
    if (naRun > 0) --naRun;
    *p++ = '\r';
    *p++ = '\n';
    used = static_cast<size_t>(p - buf.data());
    ++lines;
    if (used > buf.size() - 1024) {
      if (std::fwrite(buf.data(), 1, used, f) != used) {
        std::fclose(f);
        return false;
      }
      written += static_cast<int64_t>(used);
      used = 0;
    }
  }
  bool ok = std::fwrite(buf.data(), 1, used, f) == used;
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

int64_t KbOf(const std::string& text, const char* key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return 0;
  return std::atoll(text.c_str() + at + std::strlen(key));
}

double ValueOf(const std::string& text, const char* key) {
  std::istringstream in(text);
  std::string word;
  double v = 0;
  while (in >> word)
    if (word == key && in >> v) return v;
  return -1;
}

struct TStart {
  double Picture = -1, Read = -1;
  int64_t RssKb = 0, HwmKb = 0;
  int64_t Rows = 0;
  double CpuMs = 0;  // processor time of all its threads until read
};

TStart StartViewer(const QString& viewer, const QString& log) {
  TStart r;
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!env.contains("QT_QPA_PLATFORM")) env.insert("QT_QPA_PLATFORM", "offscreen");
  p.setProcessEnvironment(env);
  const double t0 = NowMs();
  p.start(viewer, {"--timing", "--quit-when-read", log});
  if (!p.waitForFinished(120000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  const std::string out = p.readAllStandardOutput().toStdString();
  const double pic = ValueOf(out, "picture"), read = ValueOf(out, "read");
  if (pic > 0) r.Picture = pic - t0;
  if (read > 0) r.Read = read - t0;
  r.RssKb = KbOf(out, "VmRSS:");
  r.HwmKb = KbOf(out, "VmHWM:");
  r.Rows = static_cast<int64_t>(ValueOf(out, "rows"));
  r.CpuMs = ValueOf(out, "cpu");
  return r;
}

// pandas.read_fwf on the same file; false when it ran out of time.
bool RunPandas(const std::string& log, double capSeconds, double& seconds, std::string& note) {
  QProcess p;
  const char* script =
      "import sys, time\n"
      "import pandas as pd\n"
      "t = time.time()\n"
      "df = pd.read_fwf(sys.argv[1], header=None, decimal=',')\n"
      "print('pandas', time.time() - t, len(df))\n";
  const QString python = QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  const double t0 = NowMs();
  p.start(python, {"-c", script, QString::fromStdString(log)});
  if (!p.waitForStarted(10000)) {
    note = "python3 did not start";
    return false;
  }
  if (!p.waitForFinished(static_cast<int>(capSeconds * 1000))) {
    p.kill();
    p.waitForFinished();
    seconds = (NowMs() - t0) / 1000.0;
    note = "stopped after " + Fmt(seconds, 0) + " s";
    return false;
  }
  const std::string out = p.readAllStandardOutput().toStdString();
  seconds = ValueOf(out, "pandas");
  if (seconds < 0) {
    note = "failed: " + p.readAllStandardError().toStdString().substr(0, 300);
    return false;
  }
  return true;
}

// What one plot line would need for the same points: its resident growth
// per point, measured on a line of 2 million points.
double LineBytesPerPoint() {
  const int64_t before = ResidentBytes();
  auto line = std::make_unique<Tsp_XYLine>();
  const int n = 2000000;
  for (int i = 0; i < n; ++i) line->AddXY(i * 1e-6, 20.0 + (i % 100) * 0.01);
  const int64_t after = ResidentBytes();
  return static_cast<double>(after - before) / n;
}

}  // namespace

void RunViewer(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  int64_t bytes = opt.Quick ? (256LL << 20) : (1LL << 30);
  // QX_BENCH_VIEWER_MIB sets another size (for trying the section out).
  if (qEnvironmentVariableIsSet("QX_BENCH_VIEWER_MIB"))
    bytes = static_cast<int64_t>(qEnvironmentVariableIntValue("QX_BENCH_VIEWER_MIB")) << 20;
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) < 1) load[0] = -1;
  std::cout << "\nmachine load (1 min) before the section: " << Fmt(load[0]) << "\n";
  std::cout << "Log viewer: a " << (bytes >> 20)
            << " MiB log of 32 channels (German format, a line every 100 ms, N/A runs, a spike "
               "every 50,000 lines).\n\n";
  const double perPoint = LineBytesPerPoint();

  const QString dir = QDir::tempPath();
  const std::string log = (dir + "/qx-bench-viewer.log").toStdString();
  std::vector<TSpike> spikes;
  int64_t lines = 0;
  double t = NowMs();
  if (!WriteLog(log, bytes, spikes, lines)) {
    std::cout << "could not write " << log << "\n";
    targets.push_back({"viewer: test log written", "no", "yes", false});
    return;
  }
  const double writeMs = NowMs() - t;
  const int64_t fileBytes = QFileInfo(QString::fromStdString(log)).size();
  std::cout << "written: " << lines << " lines, " << fileBytes << " bytes in " << Fmt(writeMs, 0)
            << " ms; a plot line would take " << Fmt(perPoint, 1) << " bytes per point, "
            << Fmt(perPoint * lines * Channels / (1 << 20), 0) << " MiB for this file\n";

  // Start-up of the program itself, twice (the first run also warms the
  // program's own files); the better run counts, both are printed.
  const QString viewer = QString::fromStdString(opt.Self).section('/', 0, -2) + "/quilex-view";
  TStart best;
  for (int run = 0; run < 2; ++run) {
    const TStart s = StartViewer(viewer, QString::fromStdString(log));
    std::cout << "quilex-view run " << run + 1 << ": picture " << Fmt(s.Picture, 0) << " ms, read "
              << Fmt(s.Read, 0) << " ms, resident " << s.RssKb / 1024 << " MiB, peak "
              << s.HwmKb / 1024 << " MiB, rows " << s.Rows << "\n";
    if (best.Read < 0 || (s.Read > 0 && s.Read < best.Read)) best = s;
  }

  double pandasS = 0;
  std::string pandasNote;
  double cap = opt.Quick ? 60 : 300;
  if (qEnvironmentVariableIsSet("QX_BENCH_PANDAS_SECONDS"))
    cap = qEnvironmentVariableIntValue("QX_BENCH_PANDAS_SECONDS");
  const bool pandasDone = RunPandas(log, cap, pandasS, pandasNote);
  std::cout << "pandas.read_fwf: "
            << (pandasDone ? Fmt(pandasS, 1) + " s" : pandasNote + " (not finished)") << "\n";

  // Zoom and pan in this process, with the window as the program shows it.
  qxview::TViewWindow w;
  w.ShowError = [](const QString&) {};
  w.SetFollowing(false);
  w.resize(1100, 640);
  w.show();
  w.OpenFiles({QString::fromStdString(log)});
  const bool loaded = w.WaitLoaded(120000);
  Tsp_XYPlot* plot = w.Plot();
  plot->RepaintNow();
  double t0 = 0, t1 = 0;
  w.Data().TimeRange(t0, t1);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<double> zoomMs, panMs, cpuMs;
  int seen = 0, expected = 0;
  const QRgb spikeColor = 0xFF000000u | ChannelColors[SpikeChannel];
  auto redraw = [&](std::vector<double>& into) {
    plot->InvalidateParts(false, true, true);
    const double a = NowMs(), cpu = ProcessCpuMs();
    plot->RepaintNow();
    into.push_back(NowMs() - a);
    cpuMs.push_back(ProcessCpuMs() - cpu);
    const QImage* img = plot->Bitmap();
    if (!img) return;
    const Tsp_Axis& bx = plot->BottomAxis();
    const Tsp_Axis& ly = plot->LeftAxis();
    const QRect field = plot->FieldRect();
    for (const TSpike& s : spikes) {
      if (s.Time < bx.Min() || s.Time > bx.Max() || s.Value > ly.Max()) continue;
      const int px = bx.ValueToPixel(s.Time), py = ly.ValueToPixel(s.Value);
      if (!field.contains(px, py)) continue;
      ++expected;
      bool found = false;
      for (int x = px - 1; x <= px + 1 && !found; ++x)
        for (int y = py - 2; y <= py + 2 && !found; ++y)
          if (field.contains(x, y) && img->pixel(x, y) == spikeColor) found = true;
      seen += found;
    }
  };
  const int rounds = opt.Quick ? 30 : 100;
  const double whole = t1 - t0;
  for (int i = 0; i < rounds && loaded; ++i) {
    // Any zoom from the whole range down to a minute, anywhere.
    const double span = whole * std::pow(1.0 / 1440 / whole, u(rng));
    const double lo = t0 + (whole - span) * u(rng);
    plot->BottomAxis().SetMinMax(lo, lo + span);
    redraw(zoomMs);
    // Then a pan by up to half the width either way.
    const double shift = span * (u(rng) - 0.5);
    plot->BottomAxis().MoveMinMax(shift);
    redraw(panMs);
  }
  std::vector<double> all = zoomMs;
  all.insert(all.end(), panMs.begin(), panMs.end());
  const TStats zs = Summarize(zoomMs), ps = Summarize(panMs), as = Summarize(all);
  const TStats cs = Summarize(cpuMs);
  w.ShowWholeRange();
  std::vector<double> wholeMs;
  for (int i = 0; i < 10; ++i) redraw(wholeMs);
  const TStats ws = Summarize(wholeMs);
  {
    // The share of finding the segments (all lines, one thread).
    std::vector<TPixelSegment> segs;
    const double a = NowMs(), cpu = ThreadCpuMs();
    size_t n = 0;
    for (int c = 0; c < w.Data().Columns(); ++c) {
      w.Series(c)->Build(segs);
      n += segs.size();
    }
    std::cout << "whole range: segments of all lines found in " << Fmt(NowMs() - a) << " ms, "
              << Fmt(ThreadCpuMs() - cpu) << " ms of processor time (" << n << " segments)\n";
  }
  if (!opt.Images.empty()) {
    w.ShowWholeRange();
    w.Picture().save(QString::fromStdString(opt.Images) + "/viewer-whole.png");
  }
  // QX_BENCH_KEEP_LOG=1 leaves the log for a look with the viewer.
  if (!qEnvironmentVariableIsSet("QX_BENCH_KEEP_LOG")) std::remove(log.c_str());

  if (getloadavg(load, 3) >= 1) std::cout << "machine load (1 min) after: " << Fmt(load[0]) << "\n";
  TTable table({{"figure", 40}, {"median", 10}, {"p95", 10}, {"max", 10}});
  std::cout << "\n";
  table.Header();
  table.Row({"zoom redraw (ms)", Fmt(zs.Median), Fmt(zs.P95), Fmt(zs.Max)});
  table.Row({"pan redraw (ms)", Fmt(ps.Median), Fmt(ps.P95), Fmt(ps.Max)});
  table.Row({"whole-range redraw (ms)", Fmt(ws.Median), Fmt(ws.P95), Fmt(ws.Max)});
  table.Row(
      {"zoom/pan processor time (ms, all threads)", Fmt(cs.Median), Fmt(cs.P95), Fmt(cs.Max)});
  std::cout << "spikes in view drawn: " << seen << " of " << expected << "\n";

  const double readMs = best.Read;
  // A pandas that failed (not installed, say) has no time to compare.
  const bool pandasRan = pandasDone || pandasS > 0;
  const std::string ratio = !pandasRan   ? "pandas failed"
                            : pandasDone ? Ratio(pandasS * 1000, readMs)
                                         : "> " + Ratio(pandasS * 1000, readMs);
  std::cout << "pandas / quilex-view full read: " << ratio << "\n";
  const bool big = bytes >= (1LL << 30);
  const std::string size = big ? "1 GiB" : std::to_string(bytes >> 20) + " MiB";
  targets.push_back({"viewer " + size + ": whole-range picture", Fmt(best.Picture, 0) + " ms",
                     "<= 3000 ms", best.Picture > 0 && best.Picture <= 3000});
  targets.push_back({"viewer " + size + ": fully read", Fmt(readMs, 0) + " ms", "<= 5000 ms",
                     readMs > 0 && readMs <= 5000 && best.Rows == lines});
  targets.push_back({"viewer " + size + ": vs pandas.read_fwf", ratio, ">= 20x",
                     pandasRan && readMs > 0 && pandasS * 1000 / readMs >= 20});
  targets.push_back({"viewer zoom/pan redraw median", Fmt(as.Median) + " ms", "<= 16 ms",
                     loaded && as.Samples > 0 && as.Median <= 16});
  targets.push_back({"viewer zoom/pan redraw p95", Fmt(as.P95) + " ms", "<= 33 ms",
                     loaded && as.Samples > 0 && as.P95 <= 33});
  targets.push_back({"viewer spikes drawn", std::to_string(seen) + "/" + std::to_string(expected),
                     "all", loaded && expected > 0 && seen == expected});
  targets.push_back(
      {"viewer peak resident / file",
       Fmt(best.HwmKb * 1024.0 / 1048576.0, 0) + " / " + Fmt(fileBytes / 1048576.0, 0) + " MiB",
       "<= 1", best.HwmKb > 0 && best.HwmKb * 1024 <= fileBytes});
}

}  // namespace bench
