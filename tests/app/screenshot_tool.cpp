// Builds the program's windows as the program entry does, connects to the
// port given on the command line, measures for a number of channel turns and
// then photographs the X screen with ImageMagick's import. Used to look at
// the main window under Xvfb; not a test.
//   app_screenshot PORT OUT.png [TURNS] [options|diagram]
#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <cstdio>

#include "app/oem_comment.h"
#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "serial/CPort.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: app_screenshot PORT OUT.png [TURNS]\n");
    return 2;
  }
  const QString port = argv[1], out = argv[2];
  const int turns = argc > 3 ? std::atoi(argv[3]) : 12;
  LoadFormatSettingsFromLocale();
  Options = new TOptions();
  Main = new TMain();
  Main->ComPort1->SetPort(port.toStdString());
  Main->move(20, 20);
  Main->show();
  Comment = new TComment(Main);
  if (argc > 4 && QString(argv[4]) == "options") {
    Options->move(400, 20);
    Options->show();
    Comment->move(400, 360);
    Comment->show();
  }
  if (argc > 4 && QString(argv[4]) == "diagram") {
    Diagramm = new TDiagramm();
    Diagramm->BufferHours = [] { return 12.0; };
    Diagramm->move(300, 20);
    Diagramm->resize(700, 450);
    Diagramm->show();
  }
  int n = 0;
  Main->OnChannelDone = [&](int) {
    if (++n != turns) return;
    QApplication::processEvents();
    QProcess::execute("import", {"-window", "root", out});
    Main->close();
  };
  QTimer::singleShot(300, Main, [] { Main->ConnectButton->click(); });
  const int rc = app.exec();
  delete Main;
  return rc;
}
