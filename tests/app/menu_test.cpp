// The popup menu's five commands against the simulated bus: which frames each
// sends, with which values, and what it refuses to send.
#include <QLineEdit>
#include <QPushButton>

#include "app/TSpinEdit.h"
#include "tests/app/dialog_fixture.h"

namespace {

class MenuTest : public TAppFixture {
 protected:
  void SetUp() override {
    TAppFixture::SetUp();
    Dev = &Port->Bus.AddDevice(5, 2, 10, "OEM-T2");
    Connect();
    ASSERT_EQ(OEMData->ChannelTotal, 2);
    ASSERT_EQ(MainWin->Panels.size(), 2u);
  }

  // Opens the menu on channel i's panel and answers the calibration dialog.
  void Calibrate(int channel, const QString& text, int32_t lastValue) {
    TDeviceParam* d = OEMData->ChannelDevice(channel);
    d->LastValues[d->SubChannel - 1] = lastValue;
    MainWin->PopupComponent = MainWin->Panels[size_t(channel)];
    WhenModal([text](QWidget*) {
      Calibration->Edit1->setText(text);
      Calibration->Button1->click();
    });
    MainWin->OnePointCalibration1Click();
  }

  TSimDevice* Dev = nullptr;
};

TEST_F(MenuTest, OnePointCalibrationSendsTheRoundedCorrectionAndSettles) {
  struct {
    const char* target;
    int32_t last;
    const char* frame;
  } cases[] = {
      {"25,0", 243, "A05 :75 1 0007"},   // wanted 250
      {"24,0", 243, "A05 :75 1 FFFD"},   // -3
      {"24,25", 0, "A05 :75 1 00F2"},    // 242.5 -> 242
      {"24,75", 0, "A05 :75 1 00F8"},    // 247.5 -> 248
      {"-0,05", 0, "A05 :75 1 0000"},    // -0.5 -> 0
      {"3276,7", 0, "A05 :75 1 7FFF"},   // the largest correction that fits
      {"-3276,8", 0, "A05 :75 1 8000"},  // and the smallest
  };
  for (const auto& c : cases) {
    Port->Bus.Written.clear();
    Clock_.ResetCounters();
    Calibrate(0, c.target, c.last);
    EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{c.frame}) << c.target;
    EXPECT_GE(Clock_.SleptMs(), 300) << c.target;
  }
  EXPECT_TRUE(Messages.empty());
}

TEST_F(MenuTest, OffsetCommandsActOnTheSubChannelOfThePanel) {
  Calibrate(1, "25,0", 243);
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :75 2 0007"});
  EXPECT_EQ(Dev->Channels[1].Offset, 7);
  EXPECT_EQ(Dev->Channels[0].Offset, 0);

  Port->Bus.Written.clear();
  MainWin->PopupComponent = MainWin->Panels[1];
  MainWin->ResetCalibration1Click();
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A05 ?75 2", "A05 :75 2 FFF9"}));
  EXPECT_EQ(Dev->Channels[1].Offset, 0);
}

TEST_F(MenuTest, CalibrationThatCannotBeCarriedSendsNothing) {
  // A text that is no number: the dialog insists, Cancel ends it.
  MainWin->PopupComponent = MainWin->Panels[0];
  WhenModal([](QWidget*) {
    Calibration->Edit1->setText("warm");
    Calibration->Button1->click();
    Calibration->Button2->click();
  });
  MainWin->OnePointCalibration1Click();
  EXPECT_EQ(Messages, std::vector<std::string>{"Invalid Entry"});
  EXPECT_TRUE(Frames(Port->Bus).empty());

  // A correction beyond the 16-bit field: refused with a message.
  Messages.clear();
  Clock_.ResetCounters();
  for (const char* t : {"3276,8", "-3276,9", "1e300"}) Calibrate(0, t, 0);
  Calibrate(0, "5000", -243);
  EXPECT_EQ(Messages.size(), 4u);
  for (const auto& m : Messages) EXPECT_NE(m.find("out of range"), std::string::npos) << m;
  EXPECT_TRUE(SettingFrames(Port->Bus).empty());
  EXPECT_EQ(Clock_.SleptMs(), 0);
  EXPECT_EQ(Dev->Channels[0].Offset, 0);
}

TEST_F(MenuTest, ResetSendsTheNegatedOffsetOrZeroWhenUnreadable) {
  Dev->Channels[0].Offset = -10;  // reported as FFF6
  MainWin->PopupComponent = MainWin->Panels[0];
  Clock_.ResetCounters();
  MainWin->ResetCalibration1Click();
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A05 ?75 1", "A05 :75 1 000A"}));
  EXPECT_EQ(Dev->Channels[0].Offset, 0);
  EXPECT_GE(Clock_.SleptMs(), 300);

  Port->Bus.Written.clear();
  Dev->Channels[0].Offset = -32768;  // 8000, read back as 32768
  MainWin->ResetCalibration1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :75 1 8000"});

  Port->Bus.Written.clear();
  Dev->Faults.NonHex = true;
  MainWin->ResetCalibration1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :75 1 0000"});
  EXPECT_TRUE(Messages.empty());
}

TEST_F(MenuTest, AnalogLimitsAreReadShownAndSentBackUnscaled) {
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  Dev->AnalogMin = 100;
  Dev->AnalogMax = 1000;
  MainWin->PopupComponent = MainWin->Panels[1];  // a device-wide setting
  QString shown1, shown2;
  WhenModal([&](QWidget*) {
    shown1 = Analog->Edit1->text();
    shown2 = Analog->Edit2->text();
    Analog->Edit1->setText("12.7");
    Analog->Button1->click();
  });
  MainWin->SetAnalogOutput1Click();
  EXPECT_EQ(shown1, "100");
  EXPECT_EQ(shown2, "1000");
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A05 ?81", "A05 :81  000C 03E8"}));

  // Empty first field: both limits go back as read, whatever the second says.
  Port->Bus.Written.clear();
  WhenModal([](QWidget*) {
    Analog->Edit1->setText("");
    Analog->Edit2->setText("5");
    Analog->Button1->click();
  });
  MainWin->SetAnalogOutput1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :81  000C 03E8"});

  // Negative limits travel as two's complement; Cancel sends nothing.
  Port->Bus.Written.clear();
  WhenModal([](QWidget*) {
    Analog->Edit1->setText("-200");
    Analog->Edit2->setText("-1");
    Analog->Button1->click();
  });
  MainWin->SetAnalogOutput1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :81  FF38 FFFF"});
  EXPECT_EQ(Dev->AnalogMin, -200);
  Port->Bus.Written.clear();
  WhenModal([](QWidget*) { Analog->Button2->click(); });
  MainWin->SetAnalogOutput1Click();
  EXPECT_EQ(Frames(Port->Bus), std::vector<std::string>{"A05 ?81"});
}

TEST_F(MenuTest, CalibrationNumberAndAveragingAreClampedIntoTheirRanges) {
  Dev->CalibrationNumber = 0;
  MainWin->PopupComponent = MainWin->Panels[1];
  QString shown;
  WhenModal([&](QWidget*) {
    shown = CalibNr->SpinEdit1->Text();
    CalibNr->Button1->click();
  });
  MainWin->SelectCalibration1Click();
  EXPECT_EQ(shown, "1");
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A05 ?76", "A05 :76 1"}));
  EXPECT_EQ(Dev->CalibrationNumber, 1);

  Port->Bus.Written.clear();
  WhenModal([](QWidget*) {
    CalibNr->SpinEdit1->UpClick();
    CalibNr->Button1->click();
  });
  MainWin->SelectCalibration1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :76 2"});

  // Unreadable averaging shows 1.
  Port->Bus.Written.clear();
  Dev->Faults.NonHex = true;
  WhenModal([&](QWidget*) {
    shown = SetAveraging->SpinEdit1->Text();
    Dev->Faults.NonHex = false;
    SetAveraging->Button1->click();
  });
  MainWin->SetAveraging1Click();
  EXPECT_EQ(shown, "1");
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :52  1"});

  Port->Bus.Written.clear();
  Dev->Averaging = 4;
  WhenModal([&](QWidget*) {
    shown = SetAveraging->SpinEdit1->Text();
    SetAveraging->SpinEdit1->SetText("25");  // OK without leaving the field
    SetAveraging->Button1->click();
  });
  MainWin->SetAveraging1Click();
  EXPECT_EQ(shown, "4");
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A05 ?52", "A05 :52  20"}));
  EXPECT_EQ(Dev->Averaging, 20);
}

TEST_F(MenuTest, MenuNotOpenedOnAPanelDoesNothing) {
  for (QWidget* where : {static_cast<QWidget*>(nullptr), static_cast<QWidget*>(MainWin->Button3)}) {
    MainWin->PopupComponent = where;
    MainWin->OnePointCalibration1Click();
    MainWin->ResetCalibration1Click();
    MainWin->SetAnalogOutput1Click();
    MainWin->SelectCalibration1Click();
    MainWin->SetAveraging1Click();
  }
  EXPECT_TRUE(Port->Bus.Written.empty());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(MenuTest, PortFailureIsReportedAndTheCommandEnds) {
  Port->Bus.PortFails = true;
  MainWin->PopupComponent = MainWin->Panels[0];
  MainWin->ResetCalibration1Click();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_FALSE(Messages[0].empty());
  Port->Bus.PortFails = false;
  // The menu is still usable afterwards.
  Messages.clear();
  MainWin->ResetCalibration1Click();
  EXPECT_EQ(SettingFrames(Port->Bus), std::vector<std::string>{"A05 :75 1 0000"});
}

}  // namespace
