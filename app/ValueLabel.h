#pragma once
// A channel panel's value text. Every reading sets a new text, and laying out
// a text (shaping it through the font's tables) is most of what repainting
// the label costs. Where the font draws the characters of a reading the same
// in every neighbourhood (no kerning, no substitution), the text is drawn
// from glyphs and advances found once per font, placed as the label's own
// layout places them; for any other font, text or look, the label draws as
// it always does.
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QRawFont>
#include <QString>
#include <array>
#include <functional>
#include <memory>

class TValueLabel : public QLabel {
 public:
  explicit TValueLabel(QWidget* parent = nullptr);
  // Off: always the label's own drawing (for comparing the two).
  void SetGlyphsAllowed(bool on);
  // Whether the last paint drew from the glyph table.
  bool LastPaintUsedGlyphs() const { return lastGlyphs_; }

  // Sets the text. Where the glyphs can draw it, nothing lies over the label
  // and the parent's drawing under it is known (Underlay), the new text is
  // drawn into the window's buffer and sent to the screen at once, without a
  // paint event through the parent and the label; otherwise as setText.
  void ShowText(const QString& text);
  // The parent's drawing, in its own coordinates, as its paint leaves it
  // under the label (null: not known).
  std::function<const QImage*()> Underlay;
  // Off: ShowText is setText (for comparing the two).
  void SetDirectShow(bool on) { direct_ = on; }
  // Whether the last ShowText drew directly.
  bool LastShowDirect() const { return lastDirect_; }

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
  bool Plain(bool newText = false) const;
  const TGlyphTable& Table(const QFont& f);
  // Text centred at the top of r; false when the table cannot draw it.
  bool DrawGlyphs(QPainter& p, const QRect& r, const QString& text, const TGlyphTable& t) const;
  bool ShowDirect(const QString& text);
  bool allowed_ = true;
  bool lastGlyphs_ = false;
  std::shared_ptr<const TGlyphTable> table_;
  QFont tableFont_;
  int tableDpi_ = 0;
  mutable const QStyle* styleChecked_ = nullptr;
  mutable bool styleOk_ = false;
  bool direct_ = true;
  bool lastDirect_ = false;
  // The label's picture is put together here, in the window buffer's
  // format, with a painter kept on it: a painter's set-up on the window's
  // buffer would cost more than the text.
  QImage scratch_;
  std::unique_ptr<QPainter> scratchPainter_;
};
