// The diagram window: its start-up, buffer trim and time axis, ignored
// points, the set-up round trip, the legend, saving and the printed page.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPageLayout>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <limits>

#include "common/ChannelColors.h"
#include "common/QxClock.h"
#include "diagram/diagramm_dialog.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"
#include "tests/diagram/pdf_raster.h"

namespace {

constexpr double Minute = 1.0 / 1440.0;
constexpr double Hour = 1.0 / 24.0;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

struct DiagramFixture : ::testing::Test {
  TVirtualClock clock{46000.5};
  TScopedClock scoped{&clock};
  double hours = 12;
  QStringList errors;
  std::unique_ptr<TDiagramm> diag;

  void SetUp() override {
    diag = std::make_unique<TDiagramm>();
    diag->BufferHours = [this] { return hours; };
    diag->ShowError = [this](const QString& e) { errors << e; };
    diag->SetupDialog()->ShowMessage = [this](const QString& e) { errors << e; };
    diag->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(diag.get()));
  }
  void TearDown() override { diag.reset(); }

  void AdvanceMinutes(double m) { clock.Advance(static_cast<int64_t>(m * 60000)); }
  Tsp_Axis& Bottom() { return diag->Plot1->BottomAxis(); }
  Tsp_Axis& Left() { return diag->Plot1->LeftAxis(); }
  // The plot must still produce a sane image.
  void ExpectDrawable() {
    const QImage img = diag->Plot1->ToImage();
    EXPECT_EQ(img.size(), diag->Plot1->size());
    for (Tsp_Axis* a : {&Bottom(), &Left()}) {
      EXPECT_TRUE(std::isfinite(a->Min()) && std::isfinite(a->Max()));
      EXPECT_LT(a->Min(), a->Max());
      EXPECT_LE(a->TicksCount(), 21);
    }
  }
};

}  // namespace

TEST_F(DiagramFixture, StartsWithTheDialogRangesAndColouredLines) {
  EXPECT_EQ(diag->windowTitle(), "Diagram");
  EXPECT_DOUBLE_EQ(Left().Min(), 0);
  EXPECT_DOUBLE_EQ(Left().Max(), 300);
  EXPECT_DOUBLE_EQ(Bottom().Max(), clock.Now());
  EXPECT_NEAR(Bottom().Max() - Bottom().Min(), 10 * Minute, 1e-9);
  EXPECT_TRUE(Bottom().LabelAsDataTime());
  ASSERT_EQ(diag->Plot1->SeriesList().size(), 32u);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(diag->Plot1->SeriesList()[i], diag->Line(i));  // drawn in channel order
    EXPECT_EQ(diag->Line(i)->LineAttr().Color(), ChannelColors[i]);
    EXPECT_EQ(diag->Line(i)->LineAttr().Width(), 2);
  }
  EXPECT_EQ(diag->PrintAction()->isEnabled(), diag->XPrint1().HasPrinter());
}

TEST_F(DiagramFixture, AddPointTrimsOnlyItsOwnLineByTheBufferAndMovesTheTimeAxis) {
  hours = 1;
  for (int i = 0; i < 180; ++i) {
    diag->AddPoint(0, clock.Now(), 20 + i % 7);
    if (i < 30) diag->AddPoint(1, clock.Now(), 40);  // channel 1 stops after 30 min
    AdvanceMinutes(1);
  }
  Tsp_XYLine* l0 = diag->Line(0);
  EXPECT_GE(l0->Count(), 60);
  EXPECT_LE(l0->Count(), 61);
  EXPECT_GE(l0->GetX(0), clock.Now() - Minute - Hour - 1e-9);
  // A channel whose readings stopped keeps its points until it gets a new one.
  EXPECT_EQ(diag->Line(1)->Count(), 30);
  diag->AddPoint(1, clock.Now(), 41);
  EXPECT_EQ(diag->Line(1)->Count(), 1);

  // The axis keeps its width and ends at the time of the last point ...
  const double end = clock.Now();
  EXPECT_NEAR(Bottom().Max(), end, 1e-9);
  EXPECT_NEAR(Bottom().Max() - Bottom().Min(), 10 * Minute, 1e-9);
  // ... and stands still until the next one.
  AdvanceMinutes(3);
  EXPECT_NEAR(Bottom().Max(), end, 1e-9);
}

TEST_F(DiagramFixture, BufferEdgeCases) {
  hours = 0;  // every new point is older than the cut-off
  for (int i = 0; i < 5; ++i) {
    diag->AddPoint(i, clock.Now(), 25);
    AdvanceMinutes(0.01);
  }
  for (int i = 0; i < 32; ++i) EXPECT_EQ(diag->Line(i)->Count(), 0) << i;

  // A buffer shorter than the time range leaves the axis' left part empty.
  hours = 0.5;
  diag->SetTimeRange(2 * Hour);
  for (int i = 0; i < 120; ++i) {
    diag->AddPoint(2, clock.Now(), 25);
    AdvanceMinutes(1);
  }
  EXPECT_GT(diag->Line(2)->GetX(0), Bottom().Min() + 1.4 * Hour);

  // Unusable buffer settings fall back to 12 hours instead of keeping
  // everything or dropping everything.
  int ch = 3;
  for (double h : {NaN, Inf}) {
    hours = h;
    diag->AddPoint(ch, clock.Now() - 13 * Hour, 1);
    EXPECT_EQ(diag->Line(ch)->Count(), 0);
    diag->AddPoint(ch, clock.Now() - 11 * Hour, 1);
    diag->AddPoint(ch, clock.Now(), 2);
    EXPECT_EQ(diag->Line(ch)->Count(), 2);
    ++ch;
  }
  diag->BufferHours = nullptr;
  diag->AddPoint(5, clock.Now() - 11.9 * Hour, 1);
  EXPECT_EQ(diag->Line(5)->Count(), 1);
}

TEST_F(DiagramFixture, PointsOutsideTheChannelsOrNotFiniteAreIgnored) {
  const double maxBefore = Bottom().Max();
  AdvanceMinutes(1);
  for (int ch : {-1, 32, 33, 1000, std::numeric_limits<int>::min()})
    diag->AddPoint(ch, clock.Now(), 20);
  diag->AddPoint(0, NaN, 20);
  diag->AddPoint(0, clock.Now(), NaN);
  diag->AddPoint(0, clock.Now(), -Inf);
  diag->AddPoint(0, Inf, 1);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(diag->Line(i)->Count(), 0);
  EXPECT_DOUBLE_EQ(Bottom().Max(), maxBefore);
  EXPECT_EQ(diag->Line(32), nullptr);
  ExpectDrawable();
}

TEST_F(DiagramFixture, SetupDialogRoundTripWithPartialStoring) {
  TDiagSetupDialog* dlg = diag->SetupDialog();
  diag->SetTimeRange(30 * Minute);
  diag->Plot1DblClick();
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_FALSE(dlg->isModal());
  EXPECT_DOUBLE_EQ(dlg->Min, 0);
  EXPECT_DOUBLE_EQ(dlg->Max, 300);
  EXPECT_NEAR(dlg->TimeRange, 30, 1e-9);
  EXPECT_EQ(dlg->Edit3()->text(), DiagSetupValueText(30));

  // Min stored, Max invalid: nothing applied yet, the dialog stays open.
  dlg->Edit1()->setText(DiagSetupValueText(-40));
  dlg->Edit2()->setText("hot");
  dlg->Button1Click();
  EXPECT_EQ(errors, QStringList{"Invalid Entry"});
  EXPECT_DOUBLE_EQ(Left().Min(), 0);
  EXPECT_TRUE(dlg->isVisible());

  // The close box applies what was stored and re-anchors the time axis.
  AdvanceMinutes(7);
  dlg->close();
  EXPECT_DOUBLE_EQ(Left().Min(), -40);
  EXPECT_DOUBLE_EQ(Left().Max(), 300);
  EXPECT_DOUBLE_EQ(Bottom().Max(), clock.Now());
  EXPECT_NEAR(Bottom().Max() - Bottom().Min(), 30 * Minute, 1e-9);

  // A range entirely above the current one, entered in reverse order.
  diag->Plot1DblClick();
  dlg->Edit1()->setText(DiagSetupValueText(800));
  dlg->Edit2()->setText(DiagSetupValueText(500));
  dlg->Edit3()->setText(DiagSetupValueText(90));
  dlg->Button1Click();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_DOUBLE_EQ(Left().Min(), 500);
  EXPECT_DOUBLE_EQ(Left().Max(), 800);
  EXPECT_NEAR(diag->TimeRange(), 90 * Minute, 1e-12);

  // Cancel changes nothing.
  diag->Plot1DblClick();
  dlg->Edit1()->setText("1");
  dlg->Button2Click();
  EXPECT_DOUBLE_EQ(Left().Min(), 500);
}

TEST_F(DiagramFixture, DegenerateRangesStaySane) {
  TDiagSetupDialog* dlg = diag->SetupDialog();
  // Time ranges: zero, negative and non-finite keep the last usable width;
  // a tiny one is widened to a second. The axis always ends at now.
  diag->SetTimeRange(20 * Minute);
  for (double days : {0.0, -5.0, NaN, Inf, -Inf, 1e-300}) {
    SCOPED_TRACE(days);
    AdvanceMinutes(1);
    diag->SetTimeRange(days);
    EXPECT_DOUBLE_EQ(Bottom().Max(), clock.Now());
    const double width = days == 1e-300 ? TDiagramm::MinTimeRange : 20 * Minute;
    EXPECT_NEAR(Bottom().Max() - Bottom().Min(), width, 1e-6);
    ExpectDrawable();
  }
  dlg->TimeRange = -10;
  dlg->close();
  EXPECT_NEAR(diag->TimeRange(), 1.0 / 86400, 1e-12) << "the tiny width stays";

  // Temperature ranges: equal values are widened; values whose span cannot
  // be represented or that are not finite leave the axis usable.
  const std::pair<double, double> cases[] = {{5, 5},          {100, 100},      {1e308, 1e308},
                                             {-1e308, 1e308}, {NaN, 10},       {0, Inf},
                                             {-Inf, Inf},     {1e-300, 2e-300}};
  for (auto [mn, mx] : cases) {
    SCOPED_TRACE(testing::Message() << mn << " " << mx);
    dlg->Min = mn;
    dlg->Max = mx;
    diag->UpdateAxis();
    diag->AddPoint(0, clock.Now(), 20);
    ExpectDrawable();
  }
  dlg->Min = 5;
  dlg->Max = 5;
  diag->UpdateAxis();
  EXPECT_DOUBLE_EQ(Left().Min(), 5);
  EXPECT_DOUBLE_EQ(Left().Max(), 6);
}

TEST_F(DiagramFixture, TimeAxisEndsAtNowAfterTheClockWentBack) {
  AdvanceMinutes(120);
  diag->SetTimeRange(10 * Minute);
  clock.Advance(-3 * 3600 * 1000);  // the system clock was set back
  diag->SetTimeRange(10 * Minute);
  EXPECT_DOUBLE_EQ(Bottom().Max(), clock.Now());
  EXPECT_NEAR(Bottom().Max() - Bottom().Min(), 10 * Minute, 1e-9);
}

TEST_F(DiagramFixture, LegendNamesTheChannelsOfTheLastScanBesideThePlot) {
  EXPECT_FALSE(diag->LegendArea()->isVisible());
  diag->SetChannelCount(1);
  diag->SetLegendEntries({"Temp 5:1", "Temp 5:2", "Temp 7:1"});
  ASSERT_EQ(diag->Legend()->Entries().size(), 3u);
  EXPECT_EQ(diag->Legend()->Entries()[1].Caption, "Temp 5:2");
  EXPECT_EQ(diag->Legend()->Entries()[2].Color.rgb() & 0xFFFFFF, ChannelColors[2]);

  // Replaced, not accumulated.
  diag->SetLegendEntries({"Temperature"});
  ASSERT_EQ(diag->Legend()->Entries().size(), 1u);
  EXPECT_EQ(diag->Legend()->Entries()[0].Caption, "Temperature");
  QCoreApplication::processEvents();
  EXPECT_TRUE(diag->LegendArea()->isVisible());

  QStringList many;
  for (int i = 0; i < 40; ++i) many << QString("Temp %1:%2").arg(i / 4).arg(i % 4 + 1);
  diag->SetLegendEntries(many);
  EXPECT_EQ(diag->Legend()->Entries().size(), 32u);
  QCoreApplication::processEvents();
  const QRect plot = diag->Plot1->geometry(), legend = diag->LegendArea()->geometry();
  EXPECT_FALSE(plot.intersects(legend));
  EXPECT_GE(plot.height(), 250);
  EXPECT_EQ(plot.width(), diag->centralWidget()->width());
  // Every entry fits into the strip.
  const TLegend* l = diag->Legend();
  const int rows = (32 + l->Columns(legend.width()) - 1) / l->Columns(legend.width());
  EXPECT_GE(legend.height(), rows * l->RowHeight());

  diag->SetLegendEntries({});
  QCoreApplication::processEvents();
  EXPECT_FALSE(diag->LegendArea()->isVisible());
}

TEST_F(DiagramFixture, SaveAsBitmapAndClipboard) {
  for (int i = 0; i < 20; ++i) {
    diag->AddPoint(i % 4, clock.Now(), 50 + 10 * (i % 4));
    AdvanceMinutes(0.2);
  }
  QTemporaryDir dir;
  const QString path = dir.filePath("diagram.bmp");
  diag->AskSaveFileName = [&] { return path; };
  diag->Save1Click();
  EXPECT_TRUE(errors.isEmpty());
  QImage back(path, "BMP");
  ASSERT_FALSE(back.isNull());
  EXPECT_EQ(back.size(), diag->Plot1->size());
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"diagram.bmp"});

  diag->CopytoClipboard1Click();
  EXPECT_EQ(QGuiApplication::clipboard()->image().size(), diag->Plot1->size());

  // Cancelling the save dialog does nothing.
  diag->AskSaveFileName = [] { return QString(); };
  diag->Save1Click();
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(DiagramFixture, UnwritableBitmapPathShowsTheErrorAndLeavesNoFile) {
  QTemporaryDir dir;
  QDir(dir.path()).mkdir("sub");
  const QString targets[] = {dir.filePath("missing/diagram.bmp"), dir.filePath("sub"),
                             "/proc/quilex-diagram.bmp"};
  for (const QString& path : targets) {
    SCOPED_TRACE(path.toStdString());
    errors.clear();
    diag->AskSaveFileName = [&] { return path; };
    diag->Save1Click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Could not access File : " + path));
    EXPECT_FALSE(QFileInfo(path).isFile());
  }
  // No temporary file was left behind either.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
  EXPECT_TRUE(QDir(dir.filePath("sub")).isEmpty());
}

TEST_F(DiagramFixture, PrintImageHasTheCommentStripAndIsCutAtItsEdge) {
  const QImage plot = diag->Plot1->ToImage();
  const QImage img = diag->ComposePrintImage(QString(400, QChar('W')));
  ASSERT_EQ(img.size(), QSize(plot.width(), plot.height() + 20));
  // The plot sits untouched below the strip ...
  EXPECT_EQ(img.copy(0, 20, plot.width(), plot.height()).convertToFormat(QImage::Format_RGB32),
            plot.convertToFormat(QImage::Format_RGB32));
  // ... and the comment runs to the strip's right edge.
  const QImage strip = img.copy(0, 0, img.width(), 20).convertToFormat(QImage::Format_RGB32);
  const QRect text = BoundingBox(strip, IsDark);
  EXPECT_EQ(text.right(), img.width() - 1);
  EXPECT_LE(text.left(), 2);
}

TEST_F(DiagramFixture, PrintedPageHasMarginsFitAndComment) {
  QTemporaryDir dir;
  const QString pdf = dir.filePath("print.pdf");
  TXPrint& xp = diag->XPrint1();
  xp.UsePdfFile(pdf, 300);
  xp.Printer()->setPageSize(QPageSize(QPageSize::A4));
  xp.SetOrientation(xpoLandscape);
  xp.Printer()->setPageMargins(QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter);

  // Cancelled comment or printer setup: no job.
  int setups = 0;
  diag->AskComment = [](QString&) { return false; };
  diag->PrinterSetup = [&](QPrinter&) { return ++setups, true; };
  diag->Print1Click();
  EXPECT_EQ(setups, 0);
  diag->AskComment = [](QString& c) { return c = "Oven 3 ramp", true; };
  diag->PrinterSetup = [&](QPrinter&) { return ++setups, false; };
  diag->Print1Click();
  EXPECT_EQ(setups, 1);
  EXPECT_FALSE(QFile::exists(pdf));

  diag->PrinterSetup = [&](QPrinter&) { return ++setups, true; };
  diag->Print1Click();
  ASSERT_TRUE(errors.isEmpty());
  const QImage page = RasterizePdf(pdf);  // 0.1 mm per pixel
  ASSERT_FALSE(page.isNull());
  const int w = diag->Plot1->width(), h = diag->Plot1->height() + 20;

  // Anything not white is the image: its corner is at 25.0 / 24.8 mm.
  const QRect ink = BoundingBox(page, [](QRgb c) { return qGray(c) < 250; });
  EXPECT_NEAR(ink.left(), 250, 2);
  const QRect fit = XPrintFitRect(2470, 1604, w, h, 99);  // page inside the margins
  EXPECT_NEAR(ink.width(), fit.width(), 3);
  EXPECT_NEAR(ink.bottom() + 1, 248 + fit.height(), 3);
  // 99 % of the limiting dimension (the height of a wide plot on A4 landscape).
  EXPECT_NEAR(fit.height(), std::lround(1604 * 0.99), 1);
  // The comment sits inside the strip above the plot.
  const double scale = static_cast<double>(fit.height()) / h;
  const QRect comment =
      BoundingBox(page.copy(0, 0, page.width(), 248 + static_cast<int>(20 * scale)), IsDark);
  ASSERT_FALSE(comment.isNull());
  EXPECT_GE(comment.top(), 248 - 1);
  EXPECT_LT(comment.right(), 250 + fit.width() / 2);
}

TEST_F(DiagramFixture, PrintImageScalesSolidImageExactly) {
  QTemporaryDir dir;
  const QString pdf = dir.filePath("solid.pdf");
  TXPrint& xp = diag->XPrint1();
  xp.UsePdfFile(pdf, 600);
  xp.Printer()->setPageSize(QPageSize(QPageSize::A4));
  xp.SetOrientation(xpoLandscape);
  QImage red(400, 600, QImage::Format_RGB32);  // tall: limited by the height
  red.fill(Qt::red);
  ASSERT_TRUE(diag->XPrintImage(red, 99));
  const QImage page = RasterizePdf(pdf);
  const QRect box =
      BoundingBox(page, [](QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; });
  EXPECT_NEAR(box.left(), 250, 2);
  EXPECT_NEAR(box.top(), 248, 2);
  EXPECT_NEAR(box.height(), std::lround(1604 * 0.99), 3);
  EXPECT_NEAR(box.width(), std::lround(1604 * 0.99 * 400 / 600), 3);
}
