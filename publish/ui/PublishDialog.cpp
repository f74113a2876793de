// The dialog's fields to settings and back, the warning for a password
// sent in the clear, and the "Test" run polled until it has an answer.
#include "publish/ui/PublishDialog.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <chrono>

TPublishDialog::TPublishDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Publishing");
  auto* layout = new QVBoxLayout(this);
  EnabledBox = new QCheckBox("Publish readings to an MQTT broker", this);
  layout->addWidget(EnabledBox);

  auto* form = new QFormLayout();
  HostEdit = new QLineEdit(this);
  form->addRow("Broker host", HostEdit);
  PortSpin = new QSpinBox(this);
  PortSpin->setRange(1, 65535);
  form->addRow("Port", PortSpin);
  StationEdit = new QLineEdit(this);
  StationEdit->setMaxLength(int(kMaxStationName) * 2);
  form->addRow("Station name", StationEdit);
  PrefixEdit = new QLineEdit(this);
  form->addRow("Topic prefix", PrefixEdit);
  UserEdit = new QLineEdit(this);
  form->addRow("User name", UserEdit);
  PasswordEdit = new QLineEdit(this);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  form->addRow("Password", PasswordEdit);
  TlsBox = new QCheckBox("TLS (the broker's certificate is verified)", this);
  form->addRow("", TlsBox);
  auto* caRow = new QHBoxLayout();
  CaFileEdit = new QLineEdit(this);
  CaFileEdit->setPlaceholderText("system certificate store");
  CaFileButton = new QPushButton("...", this);
  CaFileButton->setFixedWidth(30);
  caRow->addWidget(CaFileEdit);
  caRow->addWidget(CaFileButton);
  form->addRow("CA file", caRow);
  QosBox = new QComboBox(this);
  QosBox->addItems({"0 (at most once)", "1 (at least once)", "2 (exactly once)"});
  form->addRow("QoS", QosBox);
  DiscoveryBox = new QCheckBox("Home Assistant discovery", this);
  form->addRow("", DiscoveryBox);
  layout->addLayout(form);

  WarningLabel = new QLabel(this);
  WarningLabel->setWordWrap(true);
  WarningLabel->setStyleSheet("color: #a05000");
  layout->addWidget(WarningLabel);

  auto* testRow = new QHBoxLayout();
  TestButton = new QPushButton("Test", this);
  testRow->addWidget(TestButton);
  testRow->addStretch();
  layout->addLayout(testRow);
  ResultLabel = new QLabel(this);
  ResultLabel->setWordWrap(true);
  ResultLabel->setMinimumHeight(36);
  ResultLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(ResultLabel);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  OkButton = new QPushButton("&OK", this);
  OkButton->setDefault(true);
  CancelButton = new QPushButton("&Cancel", this);
  buttons->addWidget(OkButton);
  buttons->addWidget(CancelButton);
  layout->addLayout(buttons);
  setMinimumWidth(380);

  connect(TestButton, &QPushButton::clicked, this, [this] { TestButtonClick(); });
  connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { hide(); });
  connect(CaFileButton, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getOpenFileName(this, "CA file", CaFileEdit->text());
    if (!f.isEmpty()) CaFileEdit->setText(f);
  });
  // The usual ports follow the TLS choice unless another one was typed.
  connect(TlsBox, &QCheckBox::toggled, this, [this](bool on) {
    if (on && PortSpin->value() == 1883) PortSpin->setValue(8883);
    if (!on && PortSpin->value() == 8883) PortSpin->setValue(1883);
    UpdateWarning();
  });
  connect(HostEdit, &QLineEdit::textChanged, this, [this] { UpdateWarning(); });
  connect(PasswordEdit, &QLineEdit::textChanged, this, [this] { UpdateWarning(); });
  testTimer_.setInterval(50);
  connect(&testTimer_, &QTimer::timeout, this, [this] { PollTest(); });
  Load(TPublishSettings());
}

TPublishDialog::~TPublishDialog() {
  if (test_.valid()) test_.wait();
}

void TPublishDialog::Load(const TPublishSettings& s) {
  EnabledBox->setChecked(s.Enabled);
  HostEdit->setText(QString::fromStdString(s.Host));
  StationEdit->setText(QString::fromStdString(s.Station));
  PrefixEdit->setText(QString::fromStdString(s.TopicPrefix));
  UserEdit->setText(QString::fromStdString(s.Username));
  PasswordEdit->setText(QString::fromStdString(s.Password));
  {
    const QSignalBlocker b(TlsBox);
    TlsBox->setChecked(s.TLS);
  }
  PortSpin->setValue(s.Port);
  CaFileEdit->setText(QString::fromStdString(s.CAFile));
  QosBox->setCurrentIndex(std::clamp(s.QoS, 0, 2));
  DiscoveryBox->setChecked(s.HomeAssistant);
  ResultLabel->clear();
  UpdateWarning();
}

TPublishSettings TPublishDialog::Current() const {
  TPublishSettings s;
  s.Enabled = EnabledBox->isChecked();
  s.Host = HostEdit->text().trimmed().toStdString();
  s.Port = PortSpin->value();
  s.Station = StationEdit->text().toStdString();
  s.TopicPrefix = PrefixEdit->text().trimmed().toStdString();
  s.Username = UserEdit->text().toStdString();
  s.Password = PasswordEdit->text().toStdString();
  s.TLS = TlsBox->isChecked();
  s.CAFile = CaFileEdit->text().trimmed().toStdString();
  s.QoS = QosBox->currentIndex();
  s.HomeAssistant = DiscoveryBox->isChecked();
  return s;
}

void TPublishDialog::UpdateWarning() {
  const TPublishSettings s = Current();
  if (!s.Password.empty() && !s.TLS && !IsLoopbackHost(s.Host))
    WarningLabel->setText("The password would travel to " + QString::fromStdString(s.Host) +
                          " unencrypted. Switch TLS on.");
  else
    WarningLabel->clear();
  WarningLabel->setVisible(!WarningLabel->text().isEmpty());
}

void TPublishDialog::TestButtonClick() {
  if (test_.valid()) return;
  const TPublishSettings s = Current();
  ResultLabel->setStyleSheet("");
  ResultLabel->setText("Testing " + QString::fromStdString(s.Host) + ":" + QString::number(s.Port) +
                       "...");
  TestButton->setEnabled(false);
  auto tester = Tester;
  test_ = std::async(std::launch::async, [tester, s] { return tester(s); });
  testTimer_.start();
}

void TPublishDialog::PollTest() {
  if (!test_.valid() || test_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    return;
  testTimer_.stop();
  const TConnectResult r = test_.get();
  ResultLabel->setStyleSheet(r.Ok ? "color: #006000" : "color: #b00000");
  ResultLabel->setText(QString::fromStdString(r.Text));
  TestButton->setEnabled(true);
}

void TPublishDialog::OkButtonClick() {
  const TPublishSettings s = Current();
  const std::string why = OnApply ? OnApply(s) : ValidatePublishSettings(s);
  if (!why.empty()) {
    ResultLabel->setStyleSheet("color: #b00000");
    ResultLabel->setText(QString::fromStdString(why));
    return;
  }
  hide();
}
