// The spin field and the four setting dialogs on their own: what they show,
// what they take over on OK, and what they refuse.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "app/TSpinEdit.h"
#include "tests/app/dialog_fixture.h"

namespace {

class SpinEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings();
    SetFormatSettings(TFormatSettings::GermanLike());
    spin.SetMinValue(1);
    spin.SetMaxValue(20);
  }
  void TearDown() override { SetFormatSettings(saved_); }
  TSpinEdit spin;
  TFormatSettings saved_;
};

TEST_F(SpinEditTest, ValueReadsTextOrLowerBoundWithoutClamping) {
  spin.SetText("25");
  EXPECT_EQ(spin.Value(), 25);  // reading does not clamp
  spin.SetText("-3");
  EXPECT_EQ(spin.Value(), -3);
  for (const char* bad : {"", "abc", "1,5", "+", "99999999999"}) {
    spin.SetText(bad);
    EXPECT_EQ(spin.Value(), 1) << bad;
  }
}

TEST_F(SpinEditTest, SettingAndLeavingClampIntoBounds) {
  spin.SetValue(-1);
  EXPECT_EQ(spin.Text(), "1");
  spin.SetValue(25);
  EXPECT_EQ(spin.Text(), "20");
  spin.SetText("7");
  spin.CheckValue();
  EXPECT_EQ(spin.Text(), "7");
  spin.SetText("x");
  spin.CheckValue();
  EXPECT_EQ(spin.Text(), "1");

  // Leaving the field by focus does the same.
  QWidget host;
  spin.setParent(&host);
  QLineEdit other(&host);
  host.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
  spin.Edit()->setFocus();
  spin.SetText("50");
  other.setFocus();
  QApplication::processEvents();
  EXPECT_EQ(spin.Text(), "20");
  spin.setParent(nullptr);
}

TEST_F(SpinEditTest, StepsByButtonsAndArrowKeysStopAtBounds) {
  spin.SetValue(19);
  spin.UpButton()->click();
  EXPECT_EQ(spin.Value(), 20);
  spin.UpButton()->click();
  EXPECT_EQ(spin.Value(), 20);
  QTest::keyClick(spin.Edit(), Qt::Key_Down);
  EXPECT_EQ(spin.Value(), 19);
  spin.SetValue(1);
  spin.DownButton()->click();
  EXPECT_EQ(spin.Value(), 1);
  QTest::keyClick(spin.Edit(), Qt::Key_Up);
  EXPECT_EQ(spin.Value(), 2);

  // Stepping at the edge of the integer range does not wrap.
  TSpinEdit wide;
  wide.SetMinValue(INT32_MIN);
  wide.SetMaxValue(INT32_MAX);
  wide.SetValue(INT32_MAX);
  wide.UpClick();
  EXPECT_EQ(wide.Value(), INT32_MAX);
  wide.SetValue(INT32_MIN);
  wide.DownClick();
  EXPECT_EQ(wide.Value(), INT32_MIN);
}

TEST_F(SpinEditTest, TypingAcceptsOnlyDigitsSignsAndDecimalSeparator) {
  spin.SetText("");
  QTest::keyClicks(spin.Edit(), "1a2,b-+.x3");
  EXPECT_EQ(spin.Text(), "12,-+3");  // '.' is not the separator here
}

using CalibrationDialogTest = TAppFixture;

TEST_F(CalibrationDialogTest, OkTakesTheNumberInTheUserFormat) {
  EXPECT_EQ(Calibration->Edit1->text(), "0,0");
  WhenModal([](QWidget*) {
    Calibration->Edit1->setText("24,25");
    Calibration->Button1->click();
  });
  EXPECT_EQ(Calibration->exec(), QDialog::Accepted);
  EXPECT_DOUBLE_EQ(Calibration->TargetTemperature, 24.25);
  EXPECT_TRUE(Messages.empty());
  // The text stays for the next opening.
  EXPECT_EQ(Calibration->Edit1->text(), "24,25");
}

TEST_F(CalibrationDialogTest, TextThatIsNoNumberIsRefusedAndTheDialogStaysOpen) {
  // The first text "0,0" is not a number for a decimal-point user.
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  Calibration->TargetTemperature = 7.0;
  bool stayedOpen = false;
  WhenModal([&](QWidget* w) {
    Calibration->Button1->click();
    stayedOpen = w->isVisible();
    Calibration->Edit1->setText("abc");
    Calibration->Button1->click();
    stayedOpen = stayedOpen && w->isVisible();
    Calibration->Button2->click();
  });
  EXPECT_EQ(Calibration->exec(), QDialog::Rejected);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(Messages, (std::vector<std::string>{"Invalid Entry", "Invalid Entry"}));
  EXPECT_DOUBLE_EQ(Calibration->TargetTemperature, 7.0);
}

using AnalogDialogTest = TAppFixture;

// Sets the two fields in the opened dialog and presses OK (or Cancel).
static int RunAnalog(const QString& e1, const QString& e2, bool ok = true) {
  WhenModal([=](QWidget*) {
    Analog->Edit1->setText(e1);
    Analog->Edit2->setText(e2);
    (ok ? Analog->Button1 : Analog->Button2)->click();
  });
  return Analog->exec();
}

TEST_F(AnalogDialogTest, ShowsTheLimitsAtEveryOpening) {
  Analog->MinTemp = -50;
  Analog->MaxTemp = 1200;
  QString shown1, shown2;
  WhenModal([&](QWidget*) {
    shown1 = Analog->Edit1->text();
    shown2 = Analog->Edit2->text();
    Analog->Edit1->setText("999");
    Analog->Button2->click();
  });
  EXPECT_EQ(Analog->exec(), QDialog::Rejected);
  EXPECT_EQ(shown1, "-50");
  EXPECT_EQ(shown2, "1200");
  EXPECT_EQ(Analog->MinTemp, -50);  // Cancel takes nothing over
  // Reopened: the typed text is replaced by the field again.
  WhenModal([&](QWidget*) {
    shown1 = Analog->Edit1->text();
    Analog->Button2->click();
  });
  Analog->exec();
  EXPECT_EQ(shown1, "-50");
}

TEST_F(AnalogDialogTest, TruncatesTowardZeroAndStopsQuietlyAtTheFirstBadText) {
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  Analog->MinTemp = 100;
  Analog->MaxTemp = 1000;
  EXPECT_EQ(RunAnalog("12.7", "-12.7"), QDialog::Accepted);
  EXPECT_EQ(Analog->MinTemp, 12);
  EXPECT_EQ(Analog->MaxTemp, -12);

  Analog->MinTemp = 100;
  Analog->MaxTemp = 1000;
  EXPECT_EQ(RunAnalog("", "5"), QDialog::Accepted);  // nothing taken over
  EXPECT_EQ(Analog->MinTemp, 100);
  EXPECT_EQ(Analog->MaxTemp, 1000);

  EXPECT_EQ(RunAnalog("7", "x"), QDialog::Accepted);  // the first one is taken
  EXPECT_EQ(Analog->MinTemp, 7);
  EXPECT_EQ(Analog->MaxTemp, 1000);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(AnalogDialogTest, LimitsBeyondSixteenBitsAreRefusedAndTheDialogStaysOpen) {
  Analog->MinTemp = 100;
  Analog->MaxTemp = 1000;
  bool stayedOpen = false;
  WhenModal([&](QWidget* w) {
    Analog->Edit1->setText("0");
    Analog->Edit2->setText("40000");
    Analog->Button1->click();
    stayedOpen = w->isVisible();
    Analog->Edit1->setText("1e300");
    Analog->Edit2->setText("0");
    Analog->Button1->click();
    stayedOpen = stayedOpen && w->isVisible();
    // What the device itself reports at the ends still goes through.
    Analog->Edit1->setText("-32768");
    Analog->Edit2->setText("32768");
    Analog->Button1->click();
  });
  EXPECT_EQ(Analog->exec(), QDialog::Accepted);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(Messages, (std::vector<std::string>{"Invalid Entry", "Invalid Entry"}));
  EXPECT_EQ(Analog->MinTemp, -32768);
  EXPECT_EQ(Analog->MaxTemp, 32768);
}

using SpinDialogTest = TAppFixture;

TEST_F(SpinDialogTest, OpeningClampsTheFieldAndOkTakesAValueInsideTheBounds) {
  EXPECT_EQ(CalibNr->CalibNr, 0);
  EXPECT_EQ(SetAveraging->AverageCount, 0);
  EXPECT_EQ(CalibNr->SpinEdit1->Text(), "1");
  EXPECT_EQ(SetAveraging->SpinEdit1->Text(), "1");

  QString shown;
  CalibNr->CalibNr = 0;
  WhenModal([&](QWidget*) {
    shown = CalibNr->SpinEdit1->Text();
    CalibNr->Button1->click();
  });
  EXPECT_EQ(CalibNr->exec(), QDialog::Accepted);
  EXPECT_EQ(shown, "1");
  EXPECT_EQ(CalibNr->CalibNr, 1);

  for (int32_t reported : {-1, 0, 25}) {
    SetAveraging->AverageCount = reported;
    WhenModal([&](QWidget*) {
      shown = SetAveraging->SpinEdit1->Text();
      SetAveraging->Button2->click();
    });
    EXPECT_EQ(SetAveraging->exec(), QDialog::Rejected);
    EXPECT_EQ(shown, reported > 20 ? "20" : "1") << reported;
    EXPECT_EQ(SetAveraging->AverageCount, reported);  // Cancel keeps the field
  }

  // A typed value out of range and OK without leaving the field: the value
  // taken over is still inside the bounds.
  WhenModal([&](QWidget*) {
    SetAveraging->SpinEdit1->SetText("25");
    SetAveraging->Button1->click();
  });
  EXPECT_EQ(SetAveraging->exec(), QDialog::Accepted);
  EXPECT_EQ(SetAveraging->AverageCount, 20);
  WhenModal([&](QWidget*) {
    CalibNr->SpinEdit1->SetText("3");
    CalibNr->Button1->click();
  });
  EXPECT_EQ(CalibNr->exec(), QDialog::Accepted);
  EXPECT_EQ(CalibNr->CalibNr, 2);
}

}  // namespace
