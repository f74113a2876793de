// Program entry: creates every window once, in a fixed order, and runs the
// message loop until the main window is closed.
#include <QApplication>
#include <exception>

#include "app/oem_analog.h"
#include "app/oem_averaging.h"
#include "app/oem_calib.h"
#include "app/oem_calibnr.h"
#include "app/oem_comment.h"
#include "app/oem_devlist.h"
#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxFormat.h"
#include "common/QxStationIni.h"
#include "diagram/oem_diagramm.h"
#include "protocol/OEMLib.h"
#include "publish/ui/PublishGlue.h"
#include "serial/CPort.h"
#include "serial/CPortSetup.h"

namespace {

// An exception that escapes an event handler is shown to the operator and the
// program goes on, instead of ending the process.
class TQxApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      ShowApplicationError(e);
    } catch (...) {
      ShowApplicationError(std::runtime_error("Unknown error"));
    }
    return false;
  }
};

// Only the main window's close ends the program.
void NotQuitting(QWidget* w) {
  w->setAttribute(Qt::WA_QuitOnClose, false);
}

}  // namespace

int main(int argc, char** argv) {
  TQxApplication app(argc, argv);
  QApplication::setApplicationName("Quilex Assistant");
  LoadFormatSettingsFromLocale();
  SetApplicationErrorHandler([](const std::exception& e) { ShowApplicationError(e); });
  InstallSetupDialog();

  Main = new TMain();
  StatusWindow = new TStatusWindow();
  NotQuitting(StatusWindow);
  DevList = new TDevList();
  NotQuitting(DevList);
  Diagramm = new TDiagramm();
  NotQuitting(Diagramm);
  Options = new TOptions();
  NotQuitting(Options);
  Calibration = new TCalibration(Main);
  Analog = new TAnalog(Main);
  CalibNr = new TCalibNr(Main);
  Comment = new TComment(Main);
  SetAveraging = new TSetAveraging(Main);
  Diagramm->BufferHours = [] { return Options->DiagramBufferHours; };
  Diagramm->AskComment = [](QString& comment) {
    if (Comment->exec() != QDialog::Accepted) return false;
    comment = Comment->CommentText;
    return true;
  };

  // Publishing to a broker, set up in quilex-station.ini beside quilex.ini;
  // off unless enabled there.
  Options->AttachStationSettings(StationIniPath());
  auto* publishing = new TPublishing(StationIniPath());
  publishing->AttachTo(Options);
  Main->OnLoopStart = [publishing] { publishing->DevicesScanned(*OEMData); };
  Main->OnReading = [publishing](const TDeviceParam& dev, double when, double t) {
    publishing->Reading(dev.Address, dev.SubChannel, when, t);
  };

  Main->show();
  const int rc = app.exec();

  // The port and the bus object go with the main window; the other windows
  // hold no resources beyond memory.
  delete Main;
  delete publishing;  // "offline" to the broker
  return rc;
}
