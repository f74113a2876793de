#pragma once
// A channel panel's value text. Every reading sets a new text, and laying out
// a text (shaping it through the font's tables) is most of what repainting
// the label costs. Where the font draws the characters of a reading the same
// in every neighbourhood (no kerning, no substitution), the text is drawn
// from glyphs and advances found once per font, placed as the label's own
// layout places them; for any other font, text or look, the label draws as
// it always does.
#include <QFont>
#include <QLabel>
#include <QRawFont>
#include <QString>
#include <array>
#include <memory>

class TValueLabel : public QLabel {
 public:
  explicit TValueLabel(QWidget* parent = nullptr);
  // Off: always the label's own drawing (for comparing the two).
  void SetGlyphsAllowed(bool on);
  // Whether the last paint drew from the glyph table.
  bool LastPaintUsedGlyphs() const { return lastGlyphs_; }

  // The characters a reading is written with.
  static const QString& Alphabet();
  struct TGlyphTable {
    bool Usable = false;
    QRawFont Raw;
    qint64 Baseline64 = 0;  // from the line's top, in 1/64 pixel
    std::array<quint32, 32> Glyph{};
    std::array<int, 32> Advance64{};
  };

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  bool Plain() const;
  const TGlyphTable& Table(const QFont& f);
  // Text centred at the top of r; false when the table cannot draw it.
  bool DrawGlyphs(QPainter& p, const QRect& r, const QString& text, const TGlyphTable& t) const;
  bool allowed_ = true;
  bool lastGlyphs_ = false;
  std::shared_ptr<const TGlyphTable> table_;
  QFont tableFont_;
  int tableDpi_ = 0;
  mutable const QStyle* styleChecked_ = nullptr;
  mutable bool styleOk_ = false;
};
