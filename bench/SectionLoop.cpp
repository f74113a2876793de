// The measurement loop against the in-process simulator (virtual time) and
// against quilex-sim over a pseudo-terminal (real time), and the log line.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "bench/BenchDiagram.h"
#include "bench/BenchSections.h"
#include "common/QxDateTime.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_def.h"
#include "diagram/plot/sgr_thread.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "sim/SimBus.h"
#include "tests/support/child_process.h"
#include "tests/support/sim_main_port.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

extern char** environ;

namespace bench {

namespace {

constexpr int kLoopChannels = 8;
// Processor time of all the program's threads while it measures 32 channels,
// percent of one core: a reading every 54 ms at most 1 ms each.
constexpr double kMeasuringCoreLimit = 2.0;

// The main window's port, backed by the in-process bus simulator: the tests'
// own double.
using TSimPort = TSimMainPort;

// The real clock, keeping count of the time spent in pauses: what is left of
// the wall time is the program's own work.
class TMeasuringClock : public TClock {
 public:
  double Now() override { return sys_.Now(); }
  void Sleep(int ms) override {
    const double t0 = NowMs();
    sys_.Sleep(ms);
    sleptMs_ += NowMs() - t0;
  }
  int64_t TickMs() override { return sys_.TickMs(); }
  double SleptMs() const { return sleptMs_; }

 private:
  TSystemClock sys_;
  double sleptMs_ = 0;
};

// Virtual time whose pauses also really pass: the loop's work runs after real
// idle spells, as over a real port, without the serial path.
class TPausingClock : public TClock {
 public:
  explicit TPausingClock(TVirtualClock& v) : v_(v) {}
  double Now() override { return v_.Now(); }
  void Sleep(int ms) override {
    v_.Sleep(ms);
    real_.Sleep(ms);
  }
  int64_t TickMs() override { return v_.TickMs(); }
  double SleptMs() const { return real_.SleptMs(); }

 private:
  TVirtualClock& v_;
  TMeasuringClock real_;
};

// The program-wide objects the loop uses; removed again on destruction.
struct TProgram {
  QTemporaryDir Dir;
  std::unique_ptr<TDiagramFeed> Feed;
  std::unique_ptr<TMain> Main;
  bool Logging = true;
  std::vector<double> Cpu;     // CPU time of each measured pass (ms)
  std::vector<double> AllCpu;  // the same for all threads

  TProgram() {
    MessageBoxHook = [](TMsgKind, const QString& text, const QPoint*) {
      std::cerr << "message: " << text.toStdString() << std::endl;
      return TMsgResult::mrOk;
    };
    Options = new TOptions();
    Options->LogEveryValue = true;  // the busiest logging: a line per channel
  }
  ~TProgram() {
    Main.reset();
    Diagramm = nullptr;
    Feed.reset();
    delete Options;
    Options = nullptr;
    MessageBoxHook = nullptr;
  }
  // 12 hours of points on `channels` lines at the loop's pace (a reading
  // every 62.5 ms), ending at `endDays`, in a visible diagram showing all 12
  // hours.
  void FillDiagram(double endDays, int channels = kLoopChannels) {
    TDataSet set{"loop", channels, 62.5, static_cast<int64_t>(691200)};
    const double spanDays = set.Fill * set.StepMs / 86400000.0;
    Feed = std::make_unique<TDiagramFeed>(set, 11, endDays - spanDays);
    Feed->Fill();
    Feed->Show();
    Feed->SetTimeRange(0.5);
    Diagramm = &Feed->Window();
    Diagramm->BufferHours = [] { return Options->DiagramBufferHours; };
  }
  // Connects, starts logging at the first turn, and calls `passEnd` at the
  // end of every pass, the warm-up one included, with the number of passes
  // measured so far; disconnects when it returns true. Each measured pass's
  // wall time (ms) is returned, its CPU times are in Cpu and AllCpu.
  std::vector<double> Run(const std::function<bool(int measured)>& passEnd) {
    const QString log = Dir.filePath("loop.log");
    Main->SaveDialogPrompt = [log](QString& name) {
      name = log;
      return true;
    };
    std::vector<double> out;
    int turn = 0;
    bool stopping = false;
    double t0 = 0, c0 = 0, a0 = 0;
    Cpu.clear();
    AllCpu.clear();
    Main->OnChannelDone = [&](int channel) {
      ++turn;
      if (turn == 1 && Logging) Main->Button5Click();
      if (stopping || channel != OEMData->ChannelTotal - 1) return;
      // The first pass warms up; passes are timed from the end of one to
      // the end of the next.
      const double now = NowMs(), cpu = ThreadCpuMs(), all = ProcessCpuMs();
      if (t0 > 0) {
        out.push_back(now - t0);
        Cpu.push_back(cpu - c0);
        AllCpu.push_back(all - a0);
      }
      t0 = now;
      c0 = cpu;
      a0 = all;
      if (passEnd(static_cast<int>(out.size()))) {
        stopping = true;
        Main->ConnectButton->click();
      }
    };
    Main->ConnectButton->click();
    Main->OnChannelDone = nullptr;
    if (!stopping) throw std::runtime_error("the loop ended early");
    return out;
  }
  std::vector<double> Run(int passes, const std::function<void()>& passEnd) {
    return Run([&](int measured) {
      if (passEnd) passEnd();
      return measured == passes;
    });
  }
};

std::string SimPath(const TOptionsBench& opt) {
  if (!opt.Sim.empty()) return opt.Sim;
  std::string self = opt.Self;
  const size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/quilex-sim";
}

// What the loop runs with besides the bus.
enum class TLoopKind { lkFull, lkNoLog, lkNoDiagram, lkRealPauses };

void LoopVirtual(const TOptionsBench& opt, TTable& t, std::vector<TTarget>& targets,
                 TLoopKind kind) {
  TProgram prog;
  prog.FillDiagram(46000.5);
  prog.Logging = kind != TLoopKind::lkNoLog;
  if (kind == TLoopKind::lkNoDiagram) prog.Feed->Window().hide();
  TVirtualClock& clock = prog.Feed->VClock();
  TPausingClock pausing(clock);
  if (kind == TLoopKind::lkRealPauses) SetClock(&pausing);
  auto port = std::make_unique<TSimPort>();
  for (int a = 1; a <= kLoopChannels / 2; ++a) {
    TSimDevice& d = port->Bus.AddDevice(static_cast<uint8_t>(a), 2, 100);
    for (int c = 0; c < 2; ++c)
      d.Channels[c].Curve = TSimCurve::Noise(20.0 + 12.0 * (2 * (a - 1) + c), 0.5);
  }
  prog.Main = std::make_unique<TMain>(nullptr, std::move(port));
  const bool real = kind == TLoopKind::lkRealPauses;
  double slept0 = 0;
  std::vector<double> sleptPerPass;
  std::vector<int64_t> ticks;  // virtual time at each pass end (the scan comes before)
  const std::vector<double> passes = prog.Run(real        ? 8
                                              : opt.Quick ? 10
                                                          : 50,
                                              [&] {
                                                sleptPerPass.push_back(pausing.SleptMs() - slept0);
                                                slept0 = pausing.SleptMs();
                                                ticks.push_back(clock.TickMs());
                                              });
  if (real) SetClock(&clock);
  const double virtPerChannel = ticks.size() < 2
                                    ? 0.0
                                    : static_cast<double>(ticks.back() - ticks.front()) /
                                          static_cast<double>((ticks.size() - 1) * kLoopChannels);
  // With real pauses, a pass's own time is what is left after its pauses
  // (pass i runs from the end of pass i-1, see Run).
  std::vector<double> perChannel;
  for (size_t i = 0; i < passes.size(); ++i)
    perChannel.push_back(
        (passes[i] - (real && i + 1 < sleptPerPass.size() ? sleptPerPass[i + 1] : 0.0)) /
        kLoopChannels);
  const TStats s = Summarize(perChannel);
  const char* name = kind == TLoopKind::lkFull        ? "in-process simulator, virtual time"
                     : kind == TLoopKind::lkNoLog     ? "  the same without logging"
                     : kind == TLoopKind::lkNoDiagram ? "  the same with the diagram hidden"
                                                      : "  the same, pauses really waited";
  std::vector<double> cpu, all;
  for (double c : prog.Cpu) cpu.push_back(c / kLoopChannels);
  for (double c : prog.AllCpu) all.push_back(c / kLoopChannels);
  std::vector<double> wall;
  for (double p : passes) wall.push_back(p / kLoopChannels);
  t.Row({name, Fmt(real ? Summarize(wall).Median : virtPerChannel, 1), Fmt(s.Median, 3),
         Fmt(s.P95, 3), Fmt(s.Max, 3), Fmt(Summarize(cpu).Median, 3), Fmt(Summarize(all).Median, 3),
         "-"});
  if (kind == TLoopKind::lkFull)
    targets.push_back({"loop (virtual time): own ms per channel", Fmt(s.Median, 3) + " ms",
                       "<= 2 ms", s.Median <= 2.0});
}

// quilex-sim on a pseudo-terminal reached through `link`: `channels`
// channels, two per device from address 1, each a noisy line around its
// diagram centre. Stopped (and resumed first, if paused) on destruction.
class TSimChild {
 public:
  TSimChild(const std::string& exe, const std::string& link, int channels) {
    std::vector<std::string> args = {exe, "--link", link};
    const int devices = (channels + 1) / 2;
    for (int a = 1; a <= devices; ++a)
      args.insert(args.end(), {"--device", std::to_string(a) + ":2:100"});
    for (int i = 0; i < 2 * devices; ++i)
      args.insert(args.end(),
                  {"--curve", std::to_string(i / 2 + 1) + ":" + std::to_string(i % 2 + 1) +
                                  ":noise:" + Fmt(ChannelCentre(i, channels), 1) + ":0.5"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    for (int i = 0; pid_ > 0 && i < 500 && access(link.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok_ = pid_ > 0 && access(link.c_str(), F_OK) == 0;
  }
  ~TSimChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    qxtest::WaitOrKill(pid_, 10000);
  }
  TSimChild(const TSimChild&) = delete;
  TSimChild& operator=(const TSimChild&) = delete;
  bool Ok() const { return ok_; }
  // A stopped simulator leaves the line open but answers nothing: a quiet
  // bus on which every poll waits for its reply in vain.
  void Pause() { kill(pid_, SIGSTOP); }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

// Passes of one kind and what they cost.
struct TPassSet {
  std::vector<double> Own, Wall, Cpu, All;  // per channel (ms)
  double WallSum = 0, AllSum = 0;           // of the whole passes (ms)
  void Add(double wallMs, double sleptMs, double cpuMs, double allMs, int channels) {
    Wall.push_back(wallMs / channels);
    Own.push_back((wallMs - sleptMs) / channels);
    Cpu.push_back(cpuMs / channels);
    All.push_back(allMs / channels);
    WallSum += wallMs;
    AllSum += allMs;
  }
  // CPU time of all threads as percent of one core over these passes.
  double CorePercent() const { return WallSum > 0 ? 100.0 * AllSum / WallSum : 0; }
};

// The loop over quilex-sim on a pseudo-terminal in real time, with
// `channels` channels: for `measureMs` the passes alternate between the
// program as it is, every drawing shared with the second drawing thread, and
// every drawing on one thread, so all three meet the same machine load; then, when quietMs > 0, the
// simulator stops answering and the quiet bus is watched for that long.
void LoopPty(const TOptionsBench& opt, TTable& t, std::vector<TTarget>& targets, int channels,
             double measureMs, double quietMs) {
  const std::string exe = SimPath(opt);
  const std::string tag = "pty " + std::to_string(channels) + " ch: ";
  TProgram prog;
  const std::string dir = prog.Dir.path().toStdString();
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  const std::string link = dir + "/ttyQXbench";
  if (access(exe.c_str(), X_OK) != 0) {
    std::cout << "(no " << exe << ": the pseudo-terminal run is skipped)\n";
    targets.push_back({tag + "own ms per channel", "not run", "<= 1 ms", false});
    return;
  }
  TSimChild sim(exe, link, channels);
  if (!sim.Ok()) {
    targets.push_back({tag + "own ms per channel", "simulator failed", "<= 1 ms", false});
    return;
  }
  // The buffers are filled in virtual time up to now, then the real clock
  // takes over, so the first real points continue the 12 hours.
  prog.FillDiagram(SystemNow(), channels);
  Tsp_XYPlot& plot = prog.Feed->Plot();
  TMeasuringClock real;
  SetClock(&real);
  prog.Main = std::make_unique<TMain>();
  prog.Main->ComPort1->SetPort(link);
  // Pass i is measured from the end of pass i-1; its pauses are the sleeps
  // counted between the same two moments, its kind the one set then.
  // The program as it is; every drawing handed to the second thread; the
  // lines drawn on one thread.
  enum TPhase { phShipped, phHelper, phOne, phQuiet };
  Tsp_DrawHelper* helper = Tsp_DrawHelper::Get();
  auto apply = [&](TPhase k) {
    plot.SetTwoThreadDrawing(k != phOne);
    if (helper) helper->SetEveryRun(k == phHelper);
  };
  std::vector<TPhase> kinds;
  std::vector<double> slept;
  double slept0 = 0, begin = 0, quietFrom = 0;
  std::optional<TPhase> fixed;
  if (opt.Draw == "shipped") fixed = phShipped;
  if (opt.Draw == "every") fixed = phHelper;
  if (opt.Draw == "one") fixed = phOne;
  TPhase next = fixed ? *fixed : phShipped;
  apply(next);
  const int minPasses = opt.Quick ? 2 : 6;
  const std::vector<double> passes = prog.Run([&](int measured) {
    slept.push_back(real.SleptMs() - slept0);
    slept0 = real.SleptMs();
    if (measured > 0) kinds.push_back(next);
    const double now = NowMs();
    // Under callgrind the measured passes and the quiet ones are profiled
    // apart from the set-up (no effect otherwise).
    if (measured == 0) {
      begin = now;
      // A progress mark (also where an outside profiler can attach).
      std::cerr << "(" << tag << "measuring)" << std::endl;
      CALLGRIND_ZERO_STATS;
    }
    if (next == phQuiet) {
      if (now - quietFrom < quietMs) return false;
      CALLGRIND_DUMP_STATS_AT("quiet bus");
      return true;
    }
    if (now - begin >= measureMs && measured >= minPasses && (fixed || measured % 3 == 0)) {
      CALLGRIND_DUMP_STATS_AT("measuring");
      if (quietMs <= 0) return true;
      // A pass ends with its last reply read, so the passes from here on
      // are quiet from their first poll.
      apply(phShipped);
      sim.Pause();
      next = phQuiet;
      quietFrom = now;
      return false;
    }
    next = fixed ? *fixed : next == phShipped ? phHelper : next == phHelper ? phOne : phShipped;
    apply(next);
    return false;
  });
  prog.Main.reset();
  SetClock(nullptr);
  apply(phShipped);

  TPassSet sets[4];
  for (size_t i = 0; i < passes.size() && i < kinds.size() && i + 1 < slept.size(); ++i)
    sets[kinds[i]].Add(passes[i], slept[i + 1], prog.Cpu[i], prog.AllCpu[i], channels);
  auto row = [&](const std::string& label, const TPassSet& s) {
    const TStats so = Summarize(s.Own);
    t.Row({label, Fmt(Summarize(s.Wall).Median, 1), Fmt(so.Median, 3), Fmt(so.P95, 3),
           Fmt(so.Max, 3), Fmt(Summarize(s.Cpu).Median, 3), Fmt(Summarize(s.All).Median, 3),
           Fmt(s.CorePercent(), 2)});
  };
  const std::string name = "quilex-sim, pty, " + std::to_string(channels) + " ch";
  if (fixed) {
    row(name + ", " + opt.Draw + " only", sets[*fixed]);
    if (quietMs > 0) row("  quiet bus (no device answers)", sets[phQuiet]);
    targets.push_back({tag + "profiling run", "--draw " + opt.Draw, "no targets", false});
    return;
  }
  row(name, sets[phShipped]);
  if (helper) row("  every drawing on 2 threads", sets[phHelper]);
  row("  every drawing on 1 thread", sets[phOne]);
  const TPassSet& two = sets[phShipped];
  const double own = Summarize(two.Own).Median, all = Summarize(two.All).Median;
  const double cpuLimit = channels <= 8 ? 0.5 : 1.0;
  targets.push_back(
      {tag + "own ms per channel", Fmt(own, 3) + " ms", "<= 1 ms", !two.Own.empty() && own <= 1.0});
  targets.push_back({tag + "all-thread CPU per reading", Fmt(all, 3) + " ms",
                     "<= " + Fmt(cpuLimit, 1) + " ms", !two.All.empty() && all <= cpuLimit});
  if (quietMs <= 0) return;
  const double measuring = two.CorePercent();
  targets.push_back({"idle, measuring " + std::to_string(channels) + " ch: % of one core",
                     Fmt(measuring, 2) + " % over " + Fmt(two.WallSum / 1000.0, 0) + " s",
                     "<= " + Fmt(kMeasuringCoreLimit, 1) + " %",
                     !two.All.empty() && measuring <= kMeasuringCoreLimit});
  const TPassSet& quiet = sets[phQuiet];
  row("  quiet bus (no device answers)", quiet);
  // Reported, not checked: every poll's wait is the protocol's own series of
  // 1 ms pauses and empty reads.
  std::cout << "idle: " << Fmt(measuring, 2) << " % of one core measuring " << channels
            << " channels, " << Fmt(quiet.CorePercent(), 2) << " % on the quiet bus (over "
            << Fmt(two.WallSum / 1000.0, 0) << " s and " << Fmt(quiet.WallSum / 1000.0, 0)
            << " s)\n";
}

}  // namespace

void RunLoop(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  const bool all = opt.Wants("loop");
  std::cout
      << "\nMeasurement loop: logging every value, the diagram visible over 12 hours with "
         "full buffers (691,200 points).\n"
         "ms per channel: the whole turn, and the program's own time beyond the "
         "pauses and the wait for the reply\n(in virtual time every pause is free; in "
         "real time the pauses are measured and subtracted),\nthe CPU time of the "
         "loop's thread (own time without waiting, for instance for the disk), and\nthat of "
         "all the program's threads (the diagram's drawing helper and the log flusher too), "
         "per reading;\n% core: that of all threads over the passes' wall time.\n"
         "The run with pauses really waited is the virtual-time run whose pauses also pass on "
         "the\nreal clock: the loop then starts each reading after an idle spell, as over a "
         "real port.\nOver the pty, passes of the program as it is, with every drawing on two "
         "threads, and on one\nalternate; the quiet bus is the 32-channel run after its simulator "
         "stopped "
         "answering.\n\n";
  TTable t({{"run", 36},
            {"ms/channel", 11},
            {"own med", 9},
            {"p95", 9},
            {"max", 9},
            {"cpu med", 9},
            {"all cpu", 9},
            {"% core", 8}});
  t.Header();
  if (all) {
    LoopVirtual(opt, t, targets, TLoopKind::lkFull);
    LoopVirtual(opt, t, targets, TLoopKind::lkNoLog);
    LoopVirtual(opt, t, targets, TLoopKind::lkNoDiagram);
    LoopVirtual(opt, t, targets, TLoopKind::lkRealPauses);
  }
  if (all || opt.Wants("pty")) LoopPty(opt, t, targets, kLoopChannels, opt.Quick ? 4000 : 20000, 0);
  if (all || opt.Wants("pty") || opt.Wants("idle"))
    LoopPty(opt, t, targets, 32, opt.Quick ? 10000 : 60000, opt.Quick ? 10000 : 60000);
}

void RunLogLine(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  TVirtualClock clock;
  TScopedClock scoped(&clock);
  TProgram prog;
  auto port = std::make_unique<TSimPort>();
  TSimPort* p = port.get();
  for (int a = 1; a <= 16; ++a) port->Bus.AddDevice(static_cast<uint8_t>(a), 2, 100);
  prog.Main = std::make_unique<TMain>(nullptr, std::move(port));
  p->Open();
  OEMData->ScanBus();
  for (int i = 0; i < OEMData->ChannelTotal; ++i) {
    TDeviceParam* d = OEMData->ChannelDevice(i);
    int32_t raw = 0;
    if (d) d->ReadSample(raw);
  }
  prog.Main->LogFileName = prog.Dir.filePath("line.log");
  const int n = opt.Quick ? 100 : 500;
  std::vector<double> format, write, writeCpu, onDisk;
  for (int i = 0; i < n; ++i) {
    clock.Advance(1000);
    double t0 = NowMs();
    const std::string line = prog.Main->FormatLogLine(Clock().Now());
    format.push_back((NowMs() - t0) * 1000.0);
    t0 = NowMs();
    const double c0 = ThreadCpuMs();
    prog.Main->WriteLogLine();
    write.push_back((NowMs() - t0) * 1000.0);
    writeCpu.push_back((ThreadCpuMs() - c0) * 1000.0);
    prog.Main->FinishLogFlush();
    onDisk.push_back((NowMs() - t0) * 1000.0);
  }
  const TStats sf = Summarize(format), sw = Summarize(write);
  std::cout << "\nLog line: WriteLogLine for " << OEMData->ChannelTotal
            << " channels (open, append, close; the flush to the disk follows on a helper "
               "thread), "
            << n << " lines.\n\n";
  TTable t({{"step", 36}, {"us med", 9}, {"p95", 9}, {"max", 9}});
  t.Header();
  t.Row({"building the line", Fmt(sf.Median, 1), Fmt(sf.P95, 1), Fmt(sf.Max, 1)});
  t.Row({"WriteLogLine (whole)", Fmt(sw.Median, 1), Fmt(sw.P95, 1), Fmt(sw.Max, 1)});
  const TStats sc = Summarize(writeCpu);
  t.Row({"WriteLogLine, CPU time only", Fmt(sc.Median, 1), Fmt(sc.P95, 1), Fmt(sc.Max, 1)});
  const TStats sd = Summarize(onDisk);
  t.Row({"until the line is on the disk", Fmt(sd.Median, 1), Fmt(sd.P95, 1), Fmt(sd.Max, 1)});
  targets.push_back({"log line, 32 channels", Fmt(sw.Median / 1000.0, 3) + " ms", "<= 2 ms",
                     sw.Median <= 2000.0});
}

}  // namespace bench
