// Builds the program's windows as the program entry does, connects to the
// port given on the command line, measures for a number of channel turns and
// then photographs the X screen with ImageMagick's import. Used to look at
// the main window under Xvfb; not a test.
//   app_screenshot PORT OUT.png [TURNS] [options|diagram|reconnect]
// With "reconnect" the option is on and the picture is taken once the line
// (killed by the caller after TURNS turns) has been tried twice, and again
// as OUT-back.png at the first turns after it came back.
#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <cstdio>

#include "app/oem_comment.h"
#include "app/oem_constatus.h"
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
  const bool reconnect = argc > 4 && QString(argv[4]) == "reconnect";
  // Outlive the block: the timer and the observer use them until the end.
  bool shot = false;
  int after = 0;
  if (reconnect) {
    Options->SetReconnectAutomatically(true);
    Options->move(400, 20);
    Options->show();
    StatusWindow = new TStatusWindow();
    StatusWindow->move(20, 300);
    auto* timer = new QTimer(Main);
    QObject::connect(timer, &QTimer::timeout, [&shot, out] {
      if (shot || !Main->Reconnecting() || Main->Schedule().Tries() < 2) return;
      shot = true;
      QProcess::execute("import", {"-window", "root", out});
    });
    timer->start(100);
    Main->OnChannelDone = [&shot, &after, out](int) {
      if (!shot || ++after != 6) return;
      QApplication::processEvents();
      QString back = out;
      back.replace(".png", "-back.png");
      QProcess::execute("import", {"-window", "root", back});
      Main->close();
    };
  }
  int n = 0;
  if (!reconnect)
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
