// The program's windows with publishing wired as the program entry does:
// connects to the port given, measures for a number of channel turns with the
// Options window and the publishing dialog open, then photographs the X
// screen with ImageMagick's import. For looking at them under Xvfb; not a
// test.
//   publish_screenshot PORT STATION.INI OUT.png [TURNS]
#include <QApplication>
#include <QProcess>
#include <cstdio>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxFormat.h"
#include "protocol/OEMLib.h"
#include "publish/ui/PublishGlue.h"
#include "serial/CPort.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: publish_screenshot PORT STATION.INI OUT.png [TURNS]\n");
    return 2;
  }
  const QString out = argv[3];
  const int turns = argc > 4 ? std::atoi(argv[4]) : 24;
  LoadFormatSettingsFromLocale();
  Options = new TOptions();
  Main = new TMain();
  Main->ComPort1->SetPort(argv[1]);
  auto* publishing = new TPublishing(argv[2]);
  publishing->AttachTo(Options);
  Main->OnLoopStart = [publishing] { publishing->DevicesScanned(*OEMData); };
  Main->OnReading = [publishing](const TDeviceParam& dev, double when, double t) {
    publishing->Reading(dev.Address, dev.SubChannel, when, t);
  };
  Main->move(20, 20);
  Main->show();
  Options->move(320, 20);
  Options->show();
  int n = 0;
  Main->OnChannelDone = [&](int) {
    ++n;
    if (n == 2) {
      publishing->PublishButton->click();
      publishing->Dialog->move(620, 20);
    }
    if (n == turns / 2) publishing->Dialog->TestButton->click();
    if (n != turns) return;
    publishing->UpdateStatus();
    QCoreApplication::processEvents();
    QProcess::execute("import", {"-window", "root", out});
    Main->ConnectButton->click();
  };
  Main->ConnectButton->click();
  delete Main;
  delete publishing;
  return 0;
}
