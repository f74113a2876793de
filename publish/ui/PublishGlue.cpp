// The desktop program's publishing glue: settings from the station's file,
// the publisher started and stopped with them, the devices and readings of the
// measurement loop handed on, and the status line kept current.
#include "publish/ui/PublishGlue.h"

#include <cstdio>
#include <exception>

#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"

TPublishing::TPublishing(const std::string& stationIniPath, const TPublisherOptions& options,
                         QObject* parent)
    : QObject(parent), publisher_(options) {
  ini_.Load(stationIniPath);
  settings_ = LoadPublishSettings(ini_);
  if (settings_.Enabled && !publisher_.Start(settings_, &startError_))
    std::fprintf(stderr, "%s: publishing not started: %s\n", stationIniPath.c_str(),
                 startError_.c_str());
  statusTimer_.setInterval(500);
  connect(&statusTimer_, &QTimer::timeout, this, [this] { UpdateStatus(); });
}

TPublishing::~TPublishing() {
  publisher_.Stop();
  delete Dialog;
}

void TPublishing::AttachTo(QWidget* w) {
  const int top = w->height();
  const int width = w->width();
  PublishButton = new QPushButton("Publishing...", w);
  PublishButton->setGeometry(8, top + 2, 100, 25);
  StatusLabel = new QLabel(w);
  StatusLabel->setGeometry(8, top + 32, width - 16, 44);
  StatusLabel->setWordWrap(true);
  StatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  w->setFixedSize(width, top + 80);
  PublishButton->show();
  StatusLabel->show();

  Dialog = new TPublishDialog();
  Dialog->OnApply = [this](const TPublishSettings& s) { return Apply(s); };
  connect(PublishButton, &QPushButton::clicked, this, [this] {
    if (!Dialog->isVisible()) Dialog->Load(settings_);
    Dialog->show();
    Dialog->raise();
    Dialog->activateWindow();
  });
  UpdateStatus();
  statusTimer_.start();
}

void TPublishing::DevicesScanned(TOEMData& bus) {
  if (!publisher_.Running()) return;
  std::vector<TPublishedDevice> list;
  for (auto& dev : bus.Devices) {
    TDeviceInfo d;
    // A garbled identity leaves its texts empty; a port failure halfway
    // lists the device without them. The readings matter more than the list,
    // and the loop finds out about the line itself.
    try {
      d = IdentifyDevice(*dev);
    } catch (const std::exception&) {
      d.Address = dev->Address;
      d.Channels = dev->GetChannelCount();
    }
    list.push_back({d.Address, d.Name, d.Serial, d.Firmware, d.Channels});
  }
  publisher_.SetDevices(list);
}

std::string TPublishing::Apply(const TPublishSettings& s) {
  const std::string why = ValidatePublishSettings(s);
  if (!why.empty()) return why;
  // Read afresh: other settings in the file (reconnecting) may have been
  // stored since the start, and must not be written back as they were.
  ini_.Load(ini_.Path());
  StorePublishSettings(ini_, s);
  std::string error;
  if (!ini_.Save(&error)) return "The settings could not be saved: " + error;
  const bool restart = s != settings_ || (s.Enabled && !publisher_.Running());
  settings_ = s;
  if (restart) {
    publisher_.Stop();
    startError_.clear();
    if (s.Enabled && !publisher_.Start(s, &startError_)) return startError_;
  }
  UpdateStatus();
  return std::string();
}

QString TPublishing::StatusText() const {
  if (!startError_.empty()) return "Publishing: " + QString::fromStdString(startError_);
  if (!publisher_.Running()) return "Publishing: off";
  return "Publishing: " + QString::fromStdString(PublishStatusText(publisher_.Status(), settings_));
}

void TPublishing::UpdateStatus() {
  if (!StatusLabel) return;
  const QString t = StatusText();
  if (StatusLabel->text() != t) StatusLabel->setText(t);
}
