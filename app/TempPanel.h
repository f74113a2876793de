#pragma once
// One channel's reading on the main window: a framed box whose caption names
// the channel, with the value in red below it (grey while not current).
#include <QFont>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStyle>
#include <cstdint>
#include <functional>

#include "app/ValueLabel.h"

class TTempPanel : public QGroupBox {
  Q_OBJECT
 public:
  TTempPanel(QWidget* owner, uint32_t captionColor, const QString& caption);
  void ShowValue(double x);
  // A value that is no longer current stays in grey; red again when fresh.
  void ShowStale(bool stale);
  bool Stale() const { return stale_; }
  // The size the value is meant to have; the label uses less where the
  // widest reading would not fit the panel at that size.
  void SetValuePointSize(qreal points);
  qreal ValuePointSize() const { return valuePoints_; }
  // Called when the popup menu is requested on the panel or its label.
  std::function<void(TTempPanel* panel, const QPoint& globalPos)> OnPopup;
  QLabel* ValueLabel;
  uint32_t CaptionColor;

 protected:
  void contextMenuEvent(QContextMenuEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void changeEvent(QEvent* e) override;
  bool event(QEvent* e) override;

 private:
  void PlaceValueLabel();
  void UpdateOpaque();
  void FitValueFont();
  // The styled box as the panel paints it; null where the panel paints
  // otherwise (a patterned background).
  // quick: with every new value, where a look unchanged since the last
  // full check is taken as it is (see BoxLookHeld).
  const QImage* Box(bool quick);
  bool BoxLookHeld() const;
  int LookFlags() const;
  TValueLabel* value_;
  qreal valuePoints_ = 18;
  // The styled box with its background, drawn once per look: every new value
  // repaints the area under the text, and the style's box is slow to draw.
  struct TBoxKey {
    QSize Size;
    qreal Dpr = 0;
    int State = 0;
    QString Text;
    qint64 Palette = 0;
    QFont Font;
    const QStyle* Style = nullptr;
    bool operator!=(const TBoxKey& o) const {
      return Size != o.Size || Dpr != o.Dpr || State != o.State || Text != o.Text ||
             Palette != o.Palette || Font != o.Font || Style != o.Style;
    }
  };
  QImage boxCache_;
  TBoxKey boxKey_;
  // No event has reached the panel since boxKey_ was taken, and the look's
  // flags then.
  bool boxHeld_ = false;
  int boxFlags_ = 0;
  bool stale_ = false;
};
