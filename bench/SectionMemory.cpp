// Resident size with full 32-channel buffers, measured in a child process.
#include <QApplication>
#include <cstdio>
#include <iostream>
#include <memory>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "bench/BenchDiagram.h"
#include "bench/BenchSections.h"
#include "diagram/oem_diagramm.h"
#include "sim/SimBus.h"

namespace bench {

namespace {

class TIdlePort : public TMainPort {
 public:
  TSimBus Bus;
  TOEMPort& Io() override { return Bus; }
  void Open() override {}
  void Close() override {}
  bool Connected() override { return false; }
  void ClearBuffers(bool, bool) override {}
};

}  // namespace

int RunRssProbe() {
  Options = new TOptions();
  {
    TDataSet set = DataSetB();
    TDiagramFeed feed(set, 3, 46000.5);
    Diagramm = &feed.Window();
    auto main = std::make_unique<TMain>(nullptr, std::make_unique<TIdlePort>());
    main->show();
    feed.Show();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const int64_t empty = ResidentBytes();
    feed.Window().hide();
    feed.Fill();
    feed.Show();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const int64_t full = ResidentBytes();
    const int64_t raw = feed.Points() * 2 * static_cast<int64_t>(sizeof(double));
    std::printf("rss %lld %lld %lld\n", static_cast<long long>(empty), static_cast<long long>(full),
                static_cast<long long>(raw));
    Diagramm = nullptr;
  }
  delete Options;
  Options = nullptr;
  return 0;
}

void RunMemory(const TOptionsBench& opt, std::vector<TTarget>& targets) {
  (void)opt;
  std::cout << "\nMemory: resident size of a fresh process with the main window and the "
               "diagram, before and after filling 32 x 21,600 points.\n\n";
  const std::string cmd = "'" + opt.Self + "' --rss-probe";
  FILE* f = popen(cmd.c_str(), "r");
  long long empty = 0, full = 0, raw = 0;
  bool ok = false;
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "rss %lld %lld %lld", &empty, &full, &raw) == 3) ok = true;
    ok = pclose(f) == 0 && ok;
  }
  if (!ok) {
    targets.push_back({"memory: resident size", "probe failed", "", false});
    return;
  }
  const double mb = 1024.0 * 1024.0;
  TTable t({{"state", 36}, {"MiB", 9}});
  t.Header();
  t.Row({"empty program", Fmt(empty / mb, 1)});
  t.Row({"full 32-channel buffers", Fmt(full / mb, 1)});
  t.Row({"raw point data (2 doubles a point)", Fmt(raw / mb, 1)});
  t.Row({"growth / raw data", Fmt(double(full - empty) / double(raw), 2) + "x"});
  const double limit = empty + 2.0 * raw;
  targets.push_back({"memory: resident, full buffers", Fmt(full / mb, 1) + " MiB",
                     "<= " + Fmt(limit / mb, 1) + " MiB", full <= limit});
}

}  // namespace bench
