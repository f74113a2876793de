#pragma once
// The publishing settings: broker, station name, credentials, TLS. Not modal,
// so measuring goes on while it is open; "Test" tries one connection on a
// helper thread and says in plain words what happened.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <functional>
#include <future>

#include "publish/Publisher.h"

class TPublishDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPublishDialog(QWidget* parent = nullptr);
  ~TPublishDialog() override;

  // Fills the controls.
  void Load(const TPublishSettings& s);
  // The settings as the controls hold them.
  TPublishSettings Current() const;

  // Called on OK with the settings; an empty answer closes the dialog, any
  // other is shown and keeps it open.
  std::function<std::string(const TPublishSettings&)> OnApply;
  // The connection test; tests replace it.
  std::function<TConnectResult(const TPublishSettings&)> Tester = [](const TPublishSettings& s) {
    return TestConnection(s);
  };

  QCheckBox* EnabledBox;
  QLineEdit* HostEdit;
  QSpinBox* PortSpin;
  QLineEdit* StationEdit;
  QLineEdit* PrefixEdit;
  QLineEdit* UserEdit;
  QLineEdit* PasswordEdit;
  QCheckBox* TlsBox;
  QLineEdit* CaFileEdit;
  QPushButton* CaFileButton;
  QComboBox* QosBox;
  QCheckBox* DiscoveryBox;
  QLabel* WarningLabel;  // plain password to another machine
  QPushButton* TestButton;
  QLabel* ResultLabel;  // the test's result, or why OK was refused
  QPushButton* OkButton;
  QPushButton* CancelButton;

  void TestButtonClick();
  void OkButtonClick();
  // True while a test runs.
  bool Testing() const { return test_.valid(); }

 private:
  void UpdateWarning();
  void PollTest();
  std::future<TConnectResult> test_;
  QTimer testTimer_;
};
