// quilex-bench: measures the diagram update against the every-segment
// drawing, the trim, the measurement loop, the log line and the memory, and
// checks each figure against its target. Exit status 0 when all are met.
#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSections.h"
#include "bench/BenchSupport.h"

namespace {

// The processor as the system names it: figures from different machines are
// only comparable with it beside them.
std::string ProcessorModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) break;
      const size_t start = line.find_first_not_of(" \t", colon + 1);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  return "unknown processor";
}

void Usage() {
  std::cout
      << "usage: quilex-bench [--quick] [--only NAME]... [--sets ABC] [--images DIR] [--sim PATH]\n"
         "                    [--draw shipped|every|one]\n"
         "  sections: diagram, trim, pace, loop, pty, idle, log, memory, publish, viewer (pty and\n"
         "            idle are parts of loop)\n"
         "  --quick   fewer samples (for a smoke run; figures are rougher)\n"
         "  --sets    which diagram data sets to run (letters A, B, C)\n"
         "  --images  write the compared diagram pictures as PNG files there\n"
         "  --sim     the quilex-sim program (default: next to this program)\n"
         "  --draw    over the pty, only passes with the program's drawing as it is, with\n"
         "            every drawing on two threads, or on one (for profiling; no targets)\n";
}

}  // namespace

int main(int argc, char** argv) {
  // The probe runs in a child process of its own so that its resident size
  // is not inflated by the other measurements.
  if (argc >= 2 && std::strcmp(argv[1], "--rss-probe") == 0) {
    QApplication app(argc, argv);
    return bench::RunRssProbe();
  }
  bench::TOptionsBench opt;
  opt.Self = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      opt.Quick = true;
    } else if (a == "--only" && i + 1 < argc) {
      opt.Only.push_back(argv[++i]);
    } else if (a == "--sets" && i + 1 < argc) {
      opt.Sets = argv[++i];
    } else if (a == "--images" && i + 1 < argc) {
      opt.Images = argv[++i];
    } else if (a == "--draw" && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "shipped") == 0 ||
                std::strcmp(argv[i + 1], "every") == 0 || std::strcmp(argv[i + 1], "one") == 0)) {
      opt.Draw = argv[++i];
    } else if (a == "--sim" && i + 1 < argc) {
      opt.Sim = argv[++i];
    } else {
      Usage();
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  QApplication app(argc, argv);
  std::cout << "machine: " << std::thread::hardware_concurrency() << " cores, " << ProcessorModel()
            << ", Qt " << qVersion() << ", platform "
            << QGuiApplication::platformName().toStdString() << std::endl;
  std::vector<bench::TTarget> targets;
  if (opt.Wants("diagram")) bench::RunDiagram(opt, targets);
  if (opt.Wants("trim")) bench::RunTrim(opt, targets);
  if (opt.Wants("pace")) bench::RunPace(opt, targets);
  if (opt.Wants("loop") || opt.Wants("pty") || opt.Wants("idle")) bench::RunLoop(opt, targets);
  if (opt.Wants("log")) bench::RunLogLine(opt, targets);
  if (opt.Wants("memory")) bench::RunMemory(opt, targets);
  if (opt.Wants("viewer")) bench::RunViewer(opt, targets);
  if (opt.Wants("publish")) bench::RunPublish(opt, targets);

  std::cout << "\nTargets\n";
  bench::TTable t({{"target", 44}, {"measured", 22}, {"limit", 22}, {"met", 4}});
  t.Header();
  bool all = true;
  for (const auto& g : targets) {
    t.Row({g.Name, g.Measured, g.Limit, g.Met ? "yes" : "NO"});
    all = all && g.Met;
  }
  std::cout << (all ? "All targets met." : "Some targets are NOT met.") << std::endl;
  return all ? 0 : 1;
}
