// The bound combo box and the port settings dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QPushButton>
#include <QTimer>

#include "serial/CPortSetup.h"
#include "tests/serial/fake_com_device.h"

namespace {

struct Dialog : ::testing::Test {
  TFakeComDevice* dev = nullptr;
  std::unique_ptr<TComPort> port;
  void SetUp() override {
    auto d = std::make_unique<TFakeComDevice>();
    dev = d.get();
    port = std::make_unique<TComPort>(nullptr, std::move(d));
    port->Events = TComEvents{};
    port->SetBaudRate(br57600);
  }
  // Runs the dialog; act sees it once it is shown and closes it.
  void Run(const std::function<void(TComSetupFrm&)>& act) {
    QTimer::singleShot(0, [act] {
      auto* frm = qobject_cast<TComSetupFrm*>(QApplication::activeModalWidget());
      ASSERT_NE(frm, nullptr);
      act(*frm);
    });
    ShowSetupDialog(*port);
  }
  static void Pick(TComComboBox* box, const std::string& text) {
    int i = box->findText(QString::fromStdString(text));
    ASSERT_GE(i, 0) << text;
    box->setCurrentIndex(i);
    emit box->activated(i);
  }
};

TEST_F(Dialog, LayoutAndListsFollowTheForm) {
  TComSetupFrm frm;
  EXPECT_EQ(frm.windowTitle(), "Setup");
  EXPECT_EQ(frm.size(), QSize(231, 216));
  EXPECT_EQ(frm.GroupBox1->geometry(), QRect(8, 8, 217, 169));
  EXPECT_EQ(frm.Combo4->geometry().topLeft(), QPoint(80, 88));
  EXPECT_EQ(frm.Combo4->width(), 129);
  EXPECT_EQ(frm.Button1->geometry(), QRect(70, 184, 75, 25));
  EXPECT_TRUE(frm.Button1->isDefault());
  EXPECT_EQ(frm.Combo2->count(), 16);
  EXPECT_EQ(frm.Combo3->count(), 4);
  EXPECT_EQ(frm.Combo4->count(), 3);
  EXPECT_EQ(frm.Combo5->count(), 5);
  EXPECT_EQ(frm.Combo6->count(), 4);
  EXPECT_EQ(frm.Combo6->Text(), "Hardware");  // no port: entry 0
}

TEST_F(Dialog, OkAppliesAllChoicesAtOnceAndCancelNothing) {
  port->Open();
  dev->ClearCalls();
  Run([](TComSetupFrm& f) {
    EXPECT_EQ(f.Combo2->Text(), "57600");
    EXPECT_EQ(f.Combo6->Text(), "None");
    Pick(f.Combo2, "115200");
    Pick(f.Combo5, "Even");
    Pick(f.Combo4, "2");
    f.reject();
  });
  EXPECT_EQ(port->BaudRate(), br57600);
  EXPECT_TRUE(dev->calls.empty());

  Run([](TComSetupFrm& f) {
    Pick(f.Combo2, "115200");
    Pick(f.Combo3, "7");
    Pick(f.Combo5, "Even");
    Pick(f.Combo6, "Hardware");
    f.Button1->click();
  });
  EXPECT_EQ(port->BaudRate(), br115200);
  EXPECT_EQ(port->DataBits(), dbSeven);
  EXPECT_EQ(port->Parity().Bits(), prEven);
  EXPECT_EQ(port->FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(dev->Count("SetCommState"), 1);
  EXPECT_EQ(dev->dcb.BaudRate, 115200u);
}

TEST_F(Dialog, UnlistedPortIsOfferedAndKept) {
  port->SetPort("quilex-unlisted-port");
  port->Open();
  dev->ClearCalls();
  Run([](TComSetupFrm& f) {
    EXPECT_EQ(f.Combo1->Text(), "quilex-unlisted-port");
    f.accept();
  });
  EXPECT_EQ(port->Port(), "quilex-unlisted-port");
  EXPECT_TRUE(port->Connected());
  EXPECT_EQ(dev->Count("Open"), 0);  // no needless reopen
}

TEST_F(Dialog, CustomFlowKeepsFieldsAndFailedApplyLeavesNoDeferredUpdate) {
  port->FlowControl().SetControlRTS(rtsToggle);
  Run([](TComSetupFrm& f) {
    EXPECT_EQ(f.Combo6->Text(), "Custom");
    f.accept();
  });
  EXPECT_EQ(port->FlowControl().ControlRTS(), rtsToggle);

  port->Open();
  dev->stateError = EINVAL;
  EXPECT_THROW(Run([](TComSetupFrm& f) {
                 Pick(f.Combo2, "9600");
                 f.accept();
               }),
               EComPort);
  EXPECT_EQ(port->BaudRate(), br9600);
  dev->stateError = 0;
  dev->ClearCalls();
  port->SetBaudRate(br4800);
  EXPECT_EQ(dev->Count("SetCommState"), 1);
}

TEST_F(Dialog, BoxFollowsItsPortAndForgetsADestroyedOne) {
  TComComboBox box;
  box.SetComProperty(cpParity);
  box.SetComPort(port.get());
  EXPECT_EQ(box.Text(), "None");
  box.SetAutoApply(true);
  Pick(&box, "Odd");
  EXPECT_EQ(port->Parity().Bits(), prOdd);
  box.SetText("Mark");
  EXPECT_EQ(box.Text(), "Mark");
  box.SetText("nonsense");
  EXPECT_EQ(box.Text(), "Mark");
  port.reset();
  EXPECT_EQ(box.ComPort(), nullptr);
  EXPECT_EQ(box.Text(), "None");
}

TEST_F(Dialog, MemberShowSetupDialogUsesTheDialog) {
  InstallSetupDialog();
  QTimer::singleShot(0, [] {
    auto* frm = qobject_cast<TComSetupFrm*>(QApplication::activeModalWidget());
    ASSERT_NE(frm, nullptr);
    frm->reject();
  });
  port->ShowSetupDialog();
}

}  // namespace
