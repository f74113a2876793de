#pragma once
// Publishing in the desktop program: the settings from quilex-station.ini,
// the publisher, a "Publishing..." button and a status line added below the
// Options window's own controls, and what the measurement loop hands over.
#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "common/QxStationIni.h"
#include "publish/Publisher.h"
#include "publish/ui/PublishDialog.h"

class TOEMData;

class TPublishing : public QObject {
  Q_OBJECT
 public:
  // Reads [Publish] of the file and starts publishing when it is enabled.
  explicit TPublishing(const std::string& stationIniPath,
                       const TPublisherOptions& options = TPublisherOptions(),
                       QObject* parent = nullptr);
  ~TPublishing() override;

  // Adds the button and the status line below the window's controls; the
  // window grows by their height, nothing in it moves.
  void AttachTo(QWidget* optionsWindow);

  // One accepted reading: the device's address, its channel (from 1), the
  // local date-time and the temperature (900 or more: no value).
  void Reading(int address, int channel, double when, double value) {
    publisher_.Reading(address, channel, when, value);
  }
  // After a scan: the devices' identities go to the broker. They cost one
  // exchange each on the bus, so only while publishing is on.
  void DevicesScanned(TOEMData& bus);

  // New settings from the dialog: checked, stored, and publishing restarted
  // with them. Empty when done, else why not.
  std::string Apply(const TPublishSettings& s);

  const TPublishSettings& Settings() const { return settings_; }
  TPublisher& Publisher() { return publisher_; }
  TStationIni& Ini() { return ini_; }
  // The status line's text now.
  QString StatusText() const;
  void UpdateStatus();

  QPushButton* PublishButton = nullptr;  // "Publishing..."
  QLabel* StatusLabel = nullptr;
  TPublishDialog* Dialog = nullptr;

 private:
  TStationIni ini_;
  TPublishSettings settings_;
  std::string startError_;
  TPublisher publisher_;
  QTimer statusTimer_;
};
