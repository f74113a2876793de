// Soak run of unattended measuring: the shipped main window and serial port
// against quilex-sim on a pseudo-terminal, interval logging, the simulator
// killed (the line pulled) for a few seconds at a fixed period and started
// again on the same link. Prints what the log holds, readings lost outside
// the outages, how soon readings resume, the CPU used while waiting and the
// resident memory. Not part of the tests: one hour by default.
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/oem_constatus.h"
#include "app/oem_main.h"
#include "app/oem_options.h"
#include "bench/BenchSupport.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "serial/CPort.h"
#include "tests/support/sim_process.h"

namespace {

struct TSoakOptions {
  double Minutes = 60;
  double PullEveryS = 60;
  double PullForS = 5;
  double IntervalS = 1;
  std::string Sim;
  std::string Dir = "/tmp/quilex-soak";
};

bool Parse(int argc, char** argv, TSoakOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](double& v) {
      if (i + 1 >= argc) return false;
      v = std::atof(argv[++i]);
      return v > 0;
    };
    bool ok = true;
    if (a == "--minutes")
      ok = next(o.Minutes);
    else if (a == "--pull-every")
      ok = next(o.PullEveryS);
    else if (a == "--pull-for")
      ok = next(o.PullForS);
    else if (a == "--interval")
      ok = next(o.IntervalS);
    else if (a == "--sim" && i + 1 < argc)
      o.Sim = argv[++i];
    else if (a == "--dir" && i + 1 < argc)
      o.Dir = argv[++i];
    else
      ok = false;
    if (!ok) {
      std::fprintf(stderr,
                   "usage: quilex-soak [--minutes M] [--pull-every S] [--pull-for S] "
                   "[--interval S] [--sim PATH] [--dir DIR]\n");
      return false;
    }
  }
  return true;
}

const std::vector<std::string> kBus = {
    "--device",          "1:2:10",  "--device",        "2:1:100", "--curve",
    "1:1:constant:21.5", "--curve", "1:2:constant:30", "--curve", "2:1:constant:-3.25"};

struct TOutage {
  double PulledAt = 0, DetectedAt = 0, BackAt = 0, FirstReadingAt = 0;  // steady ms
};

}  // namespace

int main(int argc, char** argv) {
  TSoakOptions opt;
  if (!Parse(argc, argv, opt)) return 2;
  if (opt.Sim.empty()) {
    const std::string self = argv[0];
    opt.Sim = self.substr(0, self.rfind('/') + 1) + "quilex-sim";
  }
  const std::string simDir = opt.Sim.substr(0, opt.Sim.rfind('/'));
  setenv("QX_BUILD_DIR", simDir.c_str(), 1);
  if (TSimProcess::Exe().empty()) {
    std::fprintf(stderr, "no quilex-sim at %s\n", opt.Sim.c_str());
    return 2;
  }
  QDir().mkpath(QString::fromStdString(opt.Dir));
  setenv("XDG_CONFIG_HOME", opt.Dir.c_str(), 1);
  const std::string link = opt.Dir + "/ttyQX";
  const QString logPath = QString::fromStdString(opt.Dir + "/soak.log");
  QFile::remove(logPath);

  QApplication app(argc, argv);
  SetFormatSettings(TFormatSettings::GermanLike());
  MessageBoxHook = [](TMsgKind, const QString& text, const QPoint*) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    return TMsgResult::mrYes;
  };
  Options = new TOptions();
  Options->ReconnectAutomatically = true;
  Options->LogInterval = opt.IntervalS;
  StatusWindow = new TStatusWindow();
  Diagramm = new TDiagramm();
  auto* main = new TMain();
  main->ComPort1->SetPort(link);
  main->SaveDialogPrompt = [&](QString& name) {
    name = logPath;
    return true;
  };

  TSimProcess sim;
  if (!sim.Start(link, kBus)) return 3;

  const double start = bench::NowMs();
  const double endAt = start + opt.Minutes * 60000;
  std::vector<TOutage> outages;
  bool pulled = false;
  // CPU and wall time spent in the waits for the line (tries and rescans
  // not included), and over the whole outages.
  double waitCpu = 0, waitWall = 0, outageCpu = 0, outageWall = 0, outageCpu0 = 0;
  int64_t lostReadings = 0, polls = 0;
  int64_t rssStart = 0;

  QTimer pullTimer;
  pullTimer.setInterval(int(opt.PullEveryS * 1000));
  QObject::connect(&pullTimer, &QTimer::timeout, [&] {
    if (bench::NowMs() + opt.PullForS * 1000 > endAt) return;
    outages.push_back({bench::NowMs(), 0, 0, 0});
    outageCpu0 = bench::ProcessCpuMs();
    pulled = true;
    sim.Kill();
    QTimer::singleShot(int(opt.PullForS * 1000), [&] {
      if (!sim.Start(link, kBus)) std::fprintf(stderr, "simulator did not start again\n");
      outages.back().BackAt = bench::NowMs();
    });
  });

  auto wait = main->ReconnectWait;
  main->ReconnectWait = [&](int ms) {
    if (pulled && outages.back().DetectedAt == 0) outages.back().DetectedAt = bench::NowMs();
    const double c0 = bench::ProcessCpuMs(), w0 = bench::NowMs();
    wait(ms);
    waitCpu += bench::ProcessCpuMs() - c0;
    waitWall += bench::NowMs() - w0;
  };

  int turns = 0;
  bool stillLogging = false;
  main->OnChannelDone = [&](int channel) {
    ++turns;
    if (turns == 1) {
      main->Button5->click();
      rssStart = bench::ResidentBytes();
      pullTimer.start();
    }
    ++polls;
    const bool failed = main->Freshness().FailedInRow(channel) > 0;
    if (pulled) {
      TOutage& o = outages.back();
      if (o.BackAt > 0 && !failed && !main->Reconnecting()) {
        o.FirstReadingAt = bench::NowMs();
        outageCpu += bench::ProcessCpuMs() - outageCpu0;
        outageWall += o.FirstReadingAt - o.PulledAt;
        pulled = false;
      }
    } else if (failed) {
      ++lostReadings;
    }
    if (bench::NowMs() >= endAt && !pulled) {
      stillLogging = main->Logging;
      main->ConnectButton->click();
    }
  };
  main->show();
  main->ConnectButton->click();
  const int64_t rssEnd = bench::ResidentBytes();

  // What the log holds.
  std::ifstream f(logPath.toStdString(), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  int64_t lines = 0, naLines = 0, partial = 0, badGaps = 0;
  double maxGapMs = 0;
  int prevMs = -1;
  for (size_t s = 0, e; (e = text.find("\r\n", s)) != std::string::npos; s = e + 2) {
    const std::string l = text.substr(s, e - s);
    ++lines;
    const size_t na = l.find("N/A");
    if (na != std::string::npos) {
      ++naLines;
      // A line with values beside N/A: a channel not read again yet after
      // an outage, or a reading lost.
      if (l.find(',', 24) != std::string::npos) ++partial;
    }
    const int ms = ((std::stoi(l.substr(11, 2)) * 60 + std::stoi(l.substr(14, 2))) * 60 +
                    std::stoi(l.substr(17, 2))) *
                       1000 +
                   std::stoi(l.substr(20, 3));
    if (prevMs >= 0) {
      const double gap = ms - prevMs;
      maxGapMs = std::max(maxGapMs, gap);
      // Times are shown to the millisecond: a gap just above the interval
      // can show as the interval itself.
      if (gap < opt.IntervalS * 1000) ++badGaps;
    }
    prevMs = ms;
  }
  std::vector<double> resume, detect;
  for (const TOutage& o : outages) {
    if (o.FirstReadingAt > 0) resume.push_back(o.FirstReadingAt - o.BackAt);
    if (o.DetectedAt > 0) detect.push_back(o.DetectedAt - o.PulledAt);
  }
  const bench::TStats rs = bench::Summarize(resume);
  const bench::TStats ds = bench::Summarize(detect);
  const double ranS = (bench::NowMs() - start) / 1000;

  std::printf("soak: %.0f s, line pulled for %.0f s every %.0f s, interval logging at %.1f s\n",
              ranS, opt.PullForS, opt.PullEveryS, opt.IntervalS);
  std::printf("  outages                         %zu (%zu with readings after them)\n",
              outages.size(), resume.size());
  std::printf("  log lines written               %lld\n", (long long)lines);
  std::printf("  lines with N/A                  %lld (%lld of them partly N/A)\n",
              (long long)naLines, (long long)partial);
  std::printf("  line gaps below the interval    %lld (longest gap %.0f ms)\n", (long long)badGaps,
              maxGapMs);
  std::printf("  polls / readings lost outside outages  %lld / %lld\n", (long long)polls,
              (long long)lostReadings);
  std::printf("  pulled -> loss seen             median %.0f ms, max %.0f ms\n", ds.Median, ds.Max);
  std::printf("  line back -> first new reading  median %.0f ms, max %.0f ms\n", rs.Median, rs.Max);
  std::printf("  CPU while waiting               %.2f %% of one core (%.0f ms in %.0f s)\n",
              waitWall > 0 ? 100.0 * waitCpu / waitWall : 0.0, waitCpu, waitWall / 1000);
  std::printf("  CPU over whole outages          %.2f %% (tries and rescans included)\n",
              outageWall > 0 ? 100.0 * outageCpu / outageWall : 0.0);
  std::printf("  resident memory start / end     %.1f / %.1f MiB\n", rssStart / 1048576.0,
              rssEnd / 1048576.0);
  std::printf("  logging on until the end        %s\n", stillLogging ? "yes" : "no");
  delete main;
  delete Diagramm;
  delete StatusWindow;
  delete Options;
  sim.Stop(SIGTERM);
  return lostReadings == 0 && badGaps == 0 && resume.size() == outages.size() ? 0 : 1;
}
