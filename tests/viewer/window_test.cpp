// The viewer window offscreen: reading, the channel list, the view, the
// readout, following a file, and the data and pictures it hands out.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QThread>
#include <QWheelEvent>
#include <fstream>
#include <sstream>

#include "common/QxFormat.h"
#include "diagram/plot/sgr_def.h"
#include "tests/viewer/test_logs.h"
#include "viewer/ViewWindow.h"

using namespace qxview;
using viewertest::GermanLine;
using viewertest::WriteText;

namespace {

class ViewerWindow : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::unique_ptr<TViewWindow> w;
  QStringList errors;

  void SetUp() override {
    SetFormatSettings(TFormatSettings::GermanLike());
    w = std::make_unique<TViewWindow>();
    w->ShowError = [this](const QString& t) { errors << t; };
    w->resize(1000, 600);
    w->show();
  }
  void TearDown() override {
    w.reset();
    SetFormatSettings(TFormatSettings());
  }
  std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
  // An hour of three channels, one line a second; channel 1 has a gap.
  std::string HourLog() {
    std::string text;
    for (int i = 0; i < 3600; ++i)
      text += GermanLine(4, 10, i / 60, i % 60, 0,
                         {20 + i * 0.01, i >= 1000 && i < 1100 ? 950 : 30.0, 40.0 + (i % 10)});
    const std::string p = Path("hour.log");
    WriteText(p, text);
    return p;
  }
  void Open(const std::string& p) {
    w->OpenFiles({QString::fromStdString(p)});
    ASSERT_TRUE(w->WaitLoaded(20000));
  }
};

std::string ReadAll(const QString& path) {
  std::ifstream f(path.toStdString(), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

TEST_F(ViewerWindow, ShowsTheWholeFileWithChannelsToRenameAndHide) {
  Open(HourLog());
  EXPECT_EQ(w->Data().Rows(), 3600);
  ASSERT_EQ(w->Data().Columns(), 3);
  EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
  double t0, t1;
  ASSERT_TRUE(w->Data().TimeRange(t0, t1));
  EXPECT_DOUBLE_EQ(w->Plot()->BottomAxis().Min(), t0);
  EXPECT_DOUBLE_EQ(w->Plot()->BottomAxis().Max(), t1);
  EXPECT_LE(w->Plot()->LeftAxis().Min(), 20.0);
  EXPECT_GE(w->Plot()->LeftAxis().Max(), 56.0);
  EXPECT_EQ(w->ChannelName(0), "Channel 1");
  w->SetChannelName(0, "Oven");
  EXPECT_EQ(w->Series(0)->Legend(), "Oven");
  w->SetChannelShown(1, false);
  EXPECT_FALSE(w->Series(1)->IsActive());
  // The readout names the shown channels only, in the regional format.
  const int x = (w->Plot()->FieldLeft() + w->Plot()->FieldRight()) / 2;
  const QString r = w->ReadoutAt(x);
  EXPECT_TRUE(r.startsWith("04.03.2026 10:")) << r.toStdString();
  EXPECT_TRUE(r.contains("Oven: 3")) << r.toStdString();
  EXPECT_FALSE(r.contains("Channel 2")) << r.toStdString();
  EXPECT_TRUE(r.contains("Channel 3: 4")) << r.toStdString();
  EXPECT_TRUE(w->ReadoutAt(w->Plot()->FieldLeft() - 5).isEmpty());

  // Export with the names as the header and the hidden channel left out.
  const QString csv = dir.filePath("out.csv");
  ASSERT_TRUE(w->ExportCsv(csv, true));
  const std::string text = ReadAll(csv);
  EXPECT_EQ(text.substr(0, text.find("\r\n")), "Time,Oven,Channel 3");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3601);
}

TEST_F(ViewerWindow, ZoomWheelPanAndUndo) {
  Open(HourLog());
  Tsp_Axis& b = w->Plot()->BottomAxis();
  const double x0 = b.Min(), x1 = b.Max();
  const QPointF at(w->Plot()->FieldLeft() + 10, w->Plot()->FieldTop() + 10);
  QWheelEvent wheel(at, w->Plot()->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(w->Plot(), &wheel);
  EXPECT_LT(b.Max() - b.Min(), (x1 - x0) * 0.9);
  EXPECT_NEAR(b.PixelToValue(static_cast<int>(at.x())),
              x0 + (x1 - x0) * 10 / (w->Plot()->FieldRight() - w->Plot()->FieldLeft()),
              (x1 - x0) / 100);
  // The visible range alone goes out as CSV.
  const QString csv = dir.filePath("visible.csv");
  ASSERT_TRUE(w->ExportCsv(csv, false));
  const std::string text = ReadAll(csv);
  const auto rows = std::count(text.begin(), text.end(), '\n') - 1;
  EXPECT_GT(rows, 100);
  EXPECT_LT(rows, 3600);
  ASSERT_TRUE(w->UndoView());
  EXPECT_DOUBLE_EQ(b.Min(), x0);
  EXPECT_DOUBLE_EQ(b.Max(), x1);
  EXPECT_FALSE(w->UndoView());
}

TEST_F(ViewerWindow, FollowsAGrowingFileAndRereadsAShrunkOne) {
  const std::string p = Path("grow.log");
  WriteText(p, GermanLine(4, 9, 0, 0, 0, {20, 21}));
  Open(p);
  ASSERT_EQ(w->Data().Rows(), 1);
  WriteText(p, GermanLine(4, 9, 0, 10, 0, {22, 23}) + GermanLine(4, 9, 0, 20, 0, {24, 25}), true);
  w->PollFollow();
  EXPECT_EQ(w->Data().Rows(), 3);
  double t0, t1;
  w->Data().TimeRange(t0, t1);
  EXPECT_DOUBLE_EQ(w->Plot()->BottomAxis().Max(), t1);
  // The follow timer does it by itself within a second.
  WriteText(p, GermanLine(4, 9, 0, 30, 0, {26, 27}), true);
  for (int i = 0; i < 100 && w->Data().Rows() < 4; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  EXPECT_EQ(w->Data().Rows(), 4);
  // Shorter than what was read: read again, with a note.
  WriteText(p, GermanLine(4, 9, 0, 0, 0, {1, 2}));
  w->PollFollow();
  ASSERT_TRUE(w->WaitLoaded(20000));
  EXPECT_EQ(w->Data().Rows(), 1);
  EXPECT_TRUE(w->NotesText().contains("became shorter")) << w->NotesText().toStdString();
}

TEST_F(ViewerWindow, BadFilesAreNamedAndTheWindowCanCloseWhileReading) {
  const std::string empty = Path("empty.log");
  WriteText(empty, "");
  const std::string junk = Path("junk.log");
  WriteText(junk, "no log\r\nat all\r\n");
  w->OpenFiles({QString::fromStdString(empty), QString::fromStdString(junk)});
  ASSERT_TRUE(w->WaitLoaded(20000));
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors[0].contains("empty.log is empty")) << errors[0].toStdString();
  EXPECT_TRUE(errors[0].contains("junk.log holds no log line")) << errors[0].toStdString();
  EXPECT_TRUE(w->NotesText().contains("junk.log, line 1: no date and time"))
      << w->NotesText().toStdString();

  // A larger file, closed at once: the reading stops, nothing hangs.
  std::string big;
  for (int i = 0; i < 200000; ++i)
    big += GermanLine(5, i / 3600 % 24, i / 60 % 60, i % 60, 0, {1, 2, 3, 4});
  const std::string bigPath = Path("big.log");
  WriteText(bigPath, big);
  w->OpenFiles({QString::fromStdString(bigPath)});
  EXPECT_TRUE(w->Loading());
  QElapsedTimer t;
  t.start();
  w->close();
  EXPECT_LT(t.elapsed(), 2000);
  EXPECT_FALSE(w->Loading());
}

TEST_F(ViewerWindow, FormatOverrideRereadsTheFile) {
  const std::string p = Path("fmt.log");
  WriteText(p, GermanLine(13, 9, 0, 0, 0, {1}) + GermanLine(4, 9, 0, 1, 0, {2}));
  Open(p);
  EXPECT_EQ(w->Data().Rows(), 2);
  w->SetFormatChoice({doMDY, 0});
  ASSERT_TRUE(w->WaitLoaded(20000));
  EXPECT_EQ(w->Data().Rows(), 1);  // 13 is no month
  EXPECT_TRUE(w->NotesText().contains("line 1: impossible date")) << w->NotesText().toStdString();
  w->SetFormatChoice({doAuto, '.'});
  ASSERT_TRUE(w->WaitLoaded(20000));
  EXPECT_EQ(w->Data().Rows(), 0);
}

TEST_F(ViewerWindow, PicturesAndPrint) {
  Open(HourLog());
  const QString png = dir.filePath("view.png"), bmp = dir.filePath("view.bmp");
  ASSERT_TRUE(w->SavePicture(png));
  ASSERT_TRUE(w->SavePicture(bmp));
  EXPECT_EQ(QImageReader(png).format(), "png");
  EXPECT_EQ(QImageReader(bmp).format(), "bmp");
  const QImage img(png);
  EXPECT_GT(img.height(), w->Plot()->height());  // the legend strip below
  // Channel 1's colour is in the picture.
  bool black = false;
  for (int y = 0; y < img.height() && !black; ++y)
    for (int x = w->Plot()->FieldLeft() + 2; x < w->Plot()->FieldRight() - 2 && !black; ++x)
      black = img.pixel(x, y) == 0xFF000000u && y > w->Plot()->FieldTop() + 2 &&
              y < w->Plot()->FieldBottom() - 2;
  EXPECT_TRUE(black);
  QString error;
  EXPECT_FALSE(w->SavePicture("/nonexistent-dir/x.png", &error));
  EXPECT_TRUE(error.contains("/nonexistent-dir/x.png"));

  const QImage page = w->ComposePrintImage("Oven run 7");
  EXPECT_EQ(page.height(), w->Picture().height() + TViewWindow::CommentStripHeight);
  const QString pdf = dir.filePath("page.pdf");
  w->XPrint1().UsePdfFile(pdf, 72);
  ASSERT_TRUE(w->PrintImage(page));
  EXPECT_GT(QFile(pdf).size(), 1000);
}
