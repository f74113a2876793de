// One connect, measure, log, disconnect cycle of the shipped main window
// against quilex-sim, with every window destroyed afterwards. Run under
// LeakSanitizer: any allocation of ours still reachable from nowhere at exit
// fails the run. Exits 0 when the cycle itself went as expected.
#include <QApplication>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "tests/support/sim_process.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "leak cycle: %s\n", what);
  return 1;
}

int Cycle() {
  if (TSimProcess::Exe().empty()) return Fail("quilex-sim is not built");
  QTemporaryDir dir;
  setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
  TSimProcess sim;
  const std::string link = dir.filePath("ttyQX").toStdString();
  if (!sim.Start(link, {"--device", "1:2:10", "--device", "2:1:100"}))
    return Fail("simulator did not start");

  int messages = 0;
  MessageBoxHook = [&messages](TMsgKind, const QString& text, const QPoint*) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    ++messages;
    return TMsgResult::mrOk;
  };
  Options = new TOptions();
  Options->LogEveryValue = true;
  auto diagram = std::make_unique<TDiagramm>();
  Diagramm = diagram.get();
  int turns = 0;
  {
    auto main = std::make_unique<TMain>();
    main->ComPort1->SetPort(link);
    const QString logPath = dir.filePath("cycle.log");
    main->SaveDialogPrompt = [&](QString& name) {
      name = logPath;
      return true;
    };
    main->OnChannelDone = [&](int) {
      ++turns;
      if (turns == 1) main->Button5Click();
      if (turns == 9) main->ConnectButton->click();
    };
    main->ConnectButton->click();
    main->OnChannelDone = nullptr;
    main->close();
    std::ifstream f(logPath.toStdString());
    std::stringstream ss;
    ss << f.rdbuf();
    if (ss.str().empty()) return Fail("nothing was logged");
  }
  Diagramm = nullptr;
  diagram.reset();
  delete Options;
  Options = nullptr;
  MessageBoxHook = nullptr;
  if (turns != 9) return Fail("the cycle did not measure");
  if (messages != 0) return Fail("unexpected message");
  return 0;
}

}  // namespace

// Only a scrambled copy of each address is kept, so that no register or stack
// slot left over from an optimised build can make the blocks look reachable.
volatile uintptr_t g_scrambled[8];

__attribute__((noinline)) int PlantLeak() {
  int planted = 0;
  for (volatile uintptr_t& slot : g_scrambled) {
    char* block = new char[100];
    block[0] = 1;
    slot = reinterpret_cast<uintptr_t>(block) ^ uintptr_t(0xA5A5A5A5A5A5A5A5ull);
    planted += block[0];
  }
  return planted;
}

int main(int argc, char** argv) {
  int rc;
  {
    QApplication app(argc, argv);
    SetFormatSettings(TFormatSettings::EnglishUSLike());
    rc = Cycle();
  }
  // The checker's own check: a block nothing points to must be reported.
  if (std::getenv("QX_LEAK_SELFTEST")) std::printf("leaking %d\n", PlantLeak());
  std::printf("leak cycle %s\n", rc == 0 ? "done" : "failed");
  return rc;
}
