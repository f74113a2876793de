// The panel's value drawn from its glyph table must look exactly as a plain
// label with the same settings draws the same text: over every kind of
// reading, at several sizes, both separators, the placeholder; texts outside
// the table are drawn by the label itself.
#include <gtest/gtest.h>

#include <QApplication>
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

}  // namespace
