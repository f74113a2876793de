// The set-up dialog's values, refusals and keys, and printing: margins from
// the paper edge, scaling, no printer, and the fit of an image on the page.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "common/QxFormat.h"
#include "diagram/XPrinter.h"
#include "diagram/diagramm_dialog.h"
#include "tests/diagram/pdf_raster.h"

namespace {

struct LocaleGuard {
  explicit LocaleGuard(const TFormatSettings& fs) : saved(FormatSettings()) {
    SetFormatSettings(fs);
  }
  ~LocaleGuard() { SetFormatSettings(saved); }
  TFormatSettings saved;
};

struct DialogFixture : ::testing::Test {
  TDiagSetupDialog dlg;
  QStringList messages;
  int closes = 0;
  void SetUp() override {
    dlg.ShowMessage = [this](const QString& m) { messages << m; };
    dlg.OnClose = [this] { ++closes; };
  }
};

}  // namespace

TEST_F(DialogFixture, RefillsEditsInTheUserFormat) {
  LocaleGuard german(TFormatSettings::GermanLike());
  dlg.FormActivate();
  EXPECT_EQ(dlg.Edit1()->text(), "0,00");
  EXPECT_EQ(dlg.Edit2()->text(), "300,00");
  EXPECT_EQ(dlg.Edit3()->text(), "10,00");
  dlg.Min = -12.345;
  dlg.TimeRange = 12345678;  // more than six significant digits
  dlg.FormActivate();
  EXPECT_EQ(dlg.Edit1()->text(), "-12,35");
  EXPECT_TRUE(dlg.Edit3()->text().contains('E')) << dlg.Edit3()->text().toStdString();
}

TEST_F(DialogFixture, OkStoresAllValuesAndRunsTheCloseNotification) {
  LocaleGuard german(TFormatSettings::GermanLike());
  dlg.show();
  dlg.Edit1()->setText("-20,5");
  dlg.Edit2()->setText(" 150 ");
  dlg.Edit3()->setText("60");
  dlg.Button1Click();
  EXPECT_DOUBLE_EQ(dlg.Min, -20.5);
  EXPECT_DOUBLE_EQ(dlg.Max, 150);
  EXPECT_DOUBLE_EQ(dlg.TimeRange, 60);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(DialogFixture, InvalidEntryKeepsEarlierValuesAndTheDialogOpen) {
  LocaleGuard german(TFormatSettings::GermanLike());
  dlg.show();
  dlg.Edit1()->setText("5");
  dlg.Edit2()->setText("1.5");  // wrong separator for this user
  dlg.Edit3()->setText("30");
  dlg.Button1Click();
  EXPECT_EQ(messages, QStringList{"Invalid Entry"});
  EXPECT_DOUBLE_EQ(dlg.Min, 5);
  EXPECT_DOUBLE_EQ(dlg.Max, 300);
  EXPECT_DOUBLE_EQ(dlg.TimeRange, 10);
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(dlg.isVisible());

  // Not-a-number texts never reach the axes.
  for (const char* bad : {"nan", "inf", "", "1e999"}) {
    dlg.Edit1()->setText(bad);
    dlg.Button1Click();
  }
  EXPECT_DOUBLE_EQ(dlg.Min, 5);
  EXPECT_EQ(messages.size(), 5);

  // The close box applies what was stored so far.
  dlg.close();
  EXPECT_EQ(closes, 1);
}

TEST_F(DialogFixture, CancelOnlyHides) {
  dlg.show();
  dlg.Edit1()->setText("77");
  dlg.Button2Click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(closes, 0);
  EXPECT_DOUBLE_EQ(dlg.Min, 0);
}

TEST_F(DialogFixture, EnterActsAsOkAndEscapeAsCancelOnEveryControl) {
  LocaleGuard us(TFormatSettings::EnglishUSLike());
  dlg.show();
  dlg.Edit3()->setText("2.5");
  QTest::keyClick(dlg.Edit3(), Qt::Key_Return);
  EXPECT_EQ(closes, 1);
  EXPECT_DOUBLE_EQ(dlg.TimeRange, 2.5);

  dlg.show();
  dlg.Edit1()->setText("42");
  QTest::keyClick(dlg.CancelButton(), Qt::Key_Enter);  // Enter is OK even on Cancel
  EXPECT_EQ(closes, 2);
  EXPECT_DOUBLE_EQ(dlg.Min, 42);

  dlg.show();
  dlg.Edit2()->setText("43");
  QTest::keyClick(dlg.OKButton(), Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(closes, 2);
  EXPECT_DOUBLE_EQ(dlg.Max, 300);
}

TEST_F(DialogFixture, ActivationDiscardsTyping) {
  QWidget other;
  other.show();
  dlg.show();
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  dlg.Edit1()->setText("typed but not confirmed");
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  EXPECT_EQ(dlg.Edit1()->text(), DiagSetupValueText(0));
}

// ---- print layout ----

TEST(XPrint, ScalingKeepsThePhysicalMarginsAndIsIgnoredDuringAJob) {
  TXPrint xp;
  xp.MarginLeft = 295;
  xp.SetScaling(pscMetric10);  // 295 dots at 300 dpi
  EXPECT_EQ(xp.MarginLeft, 249);
  xp.MarginLeft = 250;  // stored after the scaling: unchanged
  xp.MarginTop = 248;
  xp.SetScaling(pscDot);  // 300 dpi until the printer was read
  EXPECT_EQ(xp.MarginLeft, 295);
  EXPECT_EQ(xp.MarginTop, 292);
  xp.SetScaling(pscMetric100);
  EXPECT_EQ(xp.MarginLeft, 2497);
  xp.SetScaling(pscMil);
  EXPECT_EQ(xp.MarginLeft, 980);  // 2497 -> 294 dots -> 980

  QTemporaryDir dir;
  xp.UsePdfFile(dir.filePath("job.pdf"), 300);
  xp.SetScaling(pscMetric10);
  ASSERT_TRUE(xp.BeginDoc());
  xp.SetScaling(pscMil);
  EXPECT_EQ(xp.Scaling(), pscMetric10);
  EXPECT_TRUE(xp.EndDoc());
}

TEST(XPrint, WithoutPrintersEverythingIsInert) {
  TXPrint xp;
  if (xp.HasPrinter()) GTEST_SKIP() << "this machine has a printer";
  EXPECT_EQ(xp.Copies(), 1);
  xp.SetCopies(3);
  EXPECT_EQ(xp.Copies(), 1);
  xp.SetTitle("x");
  EXPECT_EQ(xp.Title(), "");
  xp.SetOrientation(xpoLandscape);
  EXPECT_EQ(xp.Orientation(), xpoPortrait);
  EXPECT_FALSE(xp.Aborted());
  EXPECT_FALSE(xp.BeginDoc());
  EXPECT_EQ(xp.Canvas(), nullptr);
  xp.SetAngle10(3700);
  EXPECT_EQ(xp.Angle10(), 100);
}

// Margins count from the paper edge whatever the printable area is, and one
// drawing unit is 0.1 mm at any resolution: also where 7200 is no multiple of
// the resolution (203 dpi label printers) or smaller than it (4800 dpi).
TEST(XPrint, OriginAtTheMarginCornerFromThePaperEdge) {
  for (int dpi : {203, 300, 600, 4800}) {
    SCOPED_TRACE(dpi);
    QTemporaryDir dir;
    const QString pdf = dir.filePath("page.pdf");
    TXPrint xp;
    xp.UsePdfFile(pdf, dpi);
    xp.SetScaling(pscMetric10);
    xp.MarginLeft = 250;
    xp.MarginTop = 248;
    xp.MarginRight = 250;
    xp.MarginBottom = 248;
    xp.Printer()->setPageSize(QPageSize(QPageSize::A4));
    xp.SetOrientation(xpoLandscape);
    xp.Printer()->setPageMargins(QMarginsF(13, 7, 13, 7), QPageLayout::Millimeter);
    ASSERT_TRUE(xp.BeginDoc());
    EXPECT_NEAR(xp.PageWidth(), 2970 - 500, 2);
    EXPECT_NEAR(xp.PageHeight(), 2100 - 496, 2);
    xp.Canvas()->fillRect(QRect(0, 0, 1000, 500), Qt::black);
    xp.SetFontSize(36);
    xp.Canvas()->setPen(Qt::black);
    xp.Canvas()->drawText(QPoint(0, 1500), "HHHH");
    ASSERT_TRUE(xp.EndDoc());

    const QImage page = RasterizePdf(pdf);
    ASSERT_FALSE(page.isNull());
    EXPECT_NEAR(page.width(), 2970, 1);
    QImage top = page.copy(0, 0, page.width(), 1000);
    const QRect box = BoundingBox(top, IsDark);
    EXPECT_NEAR(box.left(), 250, 2);
    EXPECT_NEAR(box.top(), 248, 2);
    EXPECT_NEAR(box.width(), 1000, 2);
    EXPECT_NEAR(box.height(), 500, 2);

    // Text keeps its point size on paper: 36 pt capitals are about 9 mm.
    const QRect text = BoundingBox(page.copy(0, 1000, page.width(), 1100), IsDark);
    EXPECT_GT(text.height(), 60);
    EXPECT_LT(text.height(), 120);
  }
}

TEST(XPrint, FitKeepsTheAspectRatioAndScalesByPercent) {
  // Height-limited: the page is relatively wider than the image.
  EXPECT_EQ(XPrintFitRect(2470, 1604, 600, 400, 99), QRect(0, 0, 2382, 1588));
  // Width-limited.
  EXPECT_EQ(XPrintFitRect(1000, 1000, 400, 100, 100), QRect(0, 0, 1000, 250));
  // The same ratio fills both.
  EXPECT_EQ(XPrintFitRect(800, 400, 2, 1, 100), QRect(0, 0, 800, 400));
  for (auto args : {std::array<int, 4>{0, 100, 10, 10},
                    {100, 0, 10, 10},
                    {100, 100, 0, 10},
                    {100, 100, 10, 0},
                    {-5, 100, 10, 10}})
    EXPECT_TRUE(XPrintFitRect(args[0], args[1], args[2], args[3], 99).isEmpty());
}
