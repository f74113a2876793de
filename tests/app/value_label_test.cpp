// The panel's value drawn from its glyph table must look exactly as a plain
// label with the same settings draws the same text: over every kind of
// reading, at several sizes, both separators, the placeholder; texts outside
// the table are drawn by the label itself.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBackingStore>
#include <QFontMetricsF>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <random>

#include "app/TempPanel.h"
#include "app/ValueLabel.h"

namespace {

QImage Grab(QWidget& w) {
  return w.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

struct TTwinLabels {
  TTempPanel Panel{nullptr, 0x0000FF, "Temp 1:1"};
  QLabel Plain;
  explicit TTwinLabels(int width, qreal points) {
    Panel.resize(width, 50);
    Panel.SetValuePointSize(points);
    QLabel& v = *Panel.ValueLabel;
    Plain.setAlignment(v.alignment());
    Plain.setPalette(v.palette());
    Plain.setFont(v.font());
    Plain.setFixedSize(v.size());
    Panel.show();
    Plain.show();
  }
  // Pixels that differ between the two labels showing text.
  int Differing(const QString& text) {
    QLabel& v = *Panel.ValueLabel;
    // The panel places and sizes its label as it is shown and styled.
    Plain.setFixedSize(v.size());
    Plain.setFont(v.font());
    Plain.setPalette(v.palette());
    v.setText(text);
    Plain.setText(text);
    const QImage a = Grab(*Panel.ValueLabel), b = Grab(Plain);
    if (a.size() != b.size()) return -1;
    int diff = 0;
    for (int y = 0; y < a.height(); ++y)
      for (int x = 0; x < a.width(); ++x) diff += a.pixel(x, y) != b.pixel(x, y);
    return diff;
  }
  bool UsedGlyphs() const {
    return static_cast<TValueLabel*>(Panel.ValueLabel)->LastPaintUsedGlyphs();
  }
};

TEST(ValueLabel, ReadingsLookAsTheLabelDrawsThem) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> value(-250, 1250);
  for (qreal points : {9.0, 12.5, 18.0, 26.0})
    for (int width : {110, 111, 157}) {
      TTwinLabels t(width, points);
      std::vector<QString> texts = {QString::fromUtf8("---.--\u00B0C"),
                                    QString::fromUtf8("---,--\u00B0C"),
                                    QString::fromUtf8("1.23457E+6\u00B0C")};
      for (int i = 0; i < 60; ++i) {
        const double v = value(rng);
        QString s = QString::number(v, 'f', i % 3) + QString::fromUtf8("\u00B0C");
        if (i % 2) s.replace('.', ',');
        texts.push_back(s);
      }
      for (const QString& s : texts) {
        ASSERT_EQ(t.Differing(s), 0)
            << s.toStdString() << " at " << points << " pt, width " << width;
        // A text wider than the label is placed by the label itself.
        const QLabel& v = *t.Panel.ValueLabel;
        if (QFontMetricsF(v.font()).horizontalAdvance(s) <= v.contentsRect().width()) {
          EXPECT_TRUE(t.UsedGlyphs()) << s.toStdString() << " at " << points << " pt";
        }
      }
    }
}

TEST(ValueLabel, OtherTextsAndLooksAreTheLabelsOwnDrawing) {
  TTwinLabels t(110, 18);
  ASSERT_EQ(t.Differing("n/a"), 0);
  EXPECT_FALSE(t.UsedGlyphs());
  ASSERT_EQ(t.Differing(QString::fromUtf8("21.50\u00B0C")), 0);
  EXPECT_TRUE(t.UsedGlyphs());
  // A disabled label is drawn greyed by the style.
  t.Panel.ValueLabel->setEnabled(false);
  t.Plain.setEnabled(false);
  ASSERT_EQ(t.Differing(QString::fromUtf8("21.51\u00B0C")), 0);
  EXPECT_FALSE(t.UsedGlyphs());
  t.Panel.ValueLabel->setEnabled(true);
  t.Plain.setEnabled(true);
  // The stale grey and a new font are drawn from glyphs again, and right.
  t.Panel.ShowStale(true);
  t.Plain.setPalette(t.Panel.ValueLabel->palette());
  ASSERT_EQ(t.Differing(QString::fromUtf8("21.52\u00B0C")), 0);
  EXPECT_TRUE(t.UsedGlyphs());
  QFont f = t.Plain.font();
  f.setBold(true);
  t.Panel.ValueLabel->setFont(f);
  t.Plain.setFont(f);
  ASSERT_EQ(t.Differing(QString::fromUtf8("-3.75\u00B0C")), 0);
}

// A new reading drawn straight into the window's buffer must leave there
// what a paint of the panel leaves, without any paint event; where something
// lies over the label, or the text is not a reading, it is painted as usual.
struct TPaintCounter : QObject {
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    Paints += e->type() == QEvent::Paint;
    return false;
  }
};

struct TPanelWindow {
  QWidget Window;
  TTempPanel* Panel = new TTempPanel(&Window, 0x0000FF, "Temp 1:1");
  TValueLabel* Value = static_cast<TValueLabel*>(Panel->ValueLabel);
  TPaintCounter Count;
  TPanelWindow() {
    Window.resize(300, 120);
    Panel->setGeometry(37, 21, 111, 50);
    Window.show();
    QApplication::processEvents();
    Window.repaint();  // nothing left to paint from the start
    QApplication::processEvents();
    Value->installEventFilter(&Count);
    Panel->installEventFilter(&Count);
  }
  // The label's pixels in the window's buffer.
  QImage Shown() const {
    const auto* img = static_cast<const QImage*>(Window.backingStore()->paintDevice());
    const QRect r(Value->mapTo(&Window, QPoint(0, 0)), Value->size());
    return img->copy(r).convertToFormat(QImage::Format_RGB32);
  }
  // What a paint of the panel and its label leaves for the same text.
  QImage Painted() {
    Panel->repaint();
    return Shown();
  }
};

TEST(ValueLabel, AReadingGoesStraightToTheWindowAsItsPaintWouldDrawIt) {
  TPanelWindow w;
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> value(-199, 999);
  for (int i = 0; i < 40; ++i) {
    QString s = QString::number(value(rng), 'f', 2) + QString::fromUtf8("\u00B0C");
    if (i % 2) s.replace('.', ',');
    w.Count.Paints = 0;
    w.Value->ShowText(s);
    QApplication::processEvents();
    ASSERT_TRUE(w.Value->LastShowDirect()) << s.toStdString();
    EXPECT_EQ(w.Count.Paints, 0) << s.toStdString() << " reading " << i;
    EXPECT_EQ(w.Value->text(), s);
    const QImage direct = w.Shown();
    ASSERT_EQ(direct, w.Painted()) << s.toStdString();
    if (i == 20) {
      w.Panel->ShowStale(true);  // grey, then drawn directly again
      QApplication::processEvents();
    }
  }

  // A new look of the box, with the next reading before any paint: drawn
  // over the new box.
  int direct = 0;
  for (const QColor& c : {QColor(0xF0, 0xE0, 0xC0), QColor(0xC0, 0xE0, 0xF0)}) {
    QPalette pal = w.Panel->palette();
    pal.setColor(QPalette::Window, c);
    w.Panel->setPalette(pal);
    w.Value->ShowText(QString::fromUtf8("12,34\u00B0C"));
    if (!w.Value->LastShowDirect()) continue;
    ++direct;
    const QImage shown = w.Shown();
    EXPECT_EQ(shown, w.Painted());
  }
  EXPECT_GT(direct, 0);

  // Not a reading: the label paints it.
  w.Count.Paints = 0;
  w.Value->ShowText("n/a");
  QApplication::processEvents();
  EXPECT_FALSE(w.Value->LastShowDirect());
  EXPECT_GT(w.Count.Paints, 0);
  EXPECT_EQ(w.Shown(), w.Painted());

  // Something over the label: painted, and what lies over it stays.
  QLabel over("over", w.Panel);
  over.setAutoFillBackground(true);
  over.setGeometry(w.Value->geometry().adjusted(0, 0, -60, 0));
  over.show();
  QApplication::processEvents();
  w.Count.Paints = 0;
  w.Value->ShowText(QString::fromUtf8("-8.88\u00B0C"));
  QApplication::processEvents();
  EXPECT_FALSE(w.Value->LastShowDirect());
  EXPECT_GT(w.Count.Paints, 0);
  const QImage shown = w.Shown();
  EXPECT_EQ(shown, w.Painted()) << "drawn over the label above it";
}

}  // namespace
