#pragma once
// The "Diagram" window: one coloured line per channel over a time axis that
// ends at the current time, fed by the measurement loop through AddPoint. The
// window is created once, hidden, and keeps collecting points while hidden.
#include <QColor>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "common/ChannelColors.h"
#include "diagram/XPrinter.h"

class QAction;
class QPrinter;
class Tsp_XYPlot;
class Tsp_XYLine;
class TDiagSetupDialog;

// A strip below the plot naming each channel of the last scan in its line's
// colour, in as many columns as the width allows.
class TLegend : public QWidget {
  Q_OBJECT
 public:
  struct TEntry {
    QString Caption;
    QColor Color;
  };
  explicit TLegend(QWidget* parent = nullptr);
  void SetEntries(const std::vector<TEntry>& entries);
  const std::vector<TEntry>& Entries() const { return entries_; }
  int RowHeight() const;
  int CellWidth() const;
  int Columns(int width) const;
  // Height needed to show every entry at the given width.
  int HeightFor(int width) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<TEntry> entries_;
};

class TDiagramm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TDiagramm(QWidget* parent = nullptr);
  ~TDiagramm() override;

  // One point of a channel (0..31) at a date-time. Other channels and
  // non-finite values are ignored.
  void AddPoint(int channel, double time, double temperature);
  // Number of devices of the last scan; the legend itself comes from
  // SetLegendEntries.
  void SetChannelCount(int count);
  int ChannelCount() const { return channelCount_; }
  // One caption per channel of the last scan; replaces the previous entries.
  void SetLegendEntries(const QStringList& captions);

  // Hours of points kept per line (default 12 when unset).
  std::function<double()> BufferHours;
  // Asks for the comment printed above the diagram; true on OK.
  std::function<bool(QString& comment)> AskComment;
  // The printer setup dialog; true when confirmed. Replaceable for tests.
  std::function<bool(QPrinter& printer)> PrinterSetup;
  // The save dialog; an empty result means cancelled. Replaceable for tests.
  std::function<QString()> AskSaveFileName;
  // Shows an error text to the operator. Replaceable for tests.
  std::function<void(const QString& text)> ShowError;

  Tsp_XYPlot* Plot1 = nullptr;
  Tsp_XYLine* Line(int channel) const;
  TDiagSetupDialog* SetupDialog() const { return setupDialog_; }
  TXPrint& XPrint1() { return xprint_; }
  TLegend* Legend() const { return legend_; }
  QWidget* LegendArea() const;
  QAction* PrintAction() const { return print1_; }
  double BufferHoursNow() const;

  // Width of the time axis in days; re-anchors the axis at the current time.
  // A width that is not a positive finite number keeps the current width.
  void SetTimeRange(double days);
  double TimeRange() const { return timeRange_; }
  // Applies the setup dialog's values; the dialog's close notification.
  void UpdateAxis();

  void Plot1DblClick();
  void Save1Click();
  void CopytoClipboard1Click();
  void Print1Click();
  void Close1Click();

  // Writes the plot's image as BMP through a temporary file, so a failure
  // leaves nothing half-written at path. False with a message in error.
  bool SaveBitmap(const QString& path, QString* error = nullptr);
  // The plot's image below a white strip of 20 pixels holding the comment.
  QImage ComposePrintImage(const QString& comment);
  // Prints an image fitted to the page at percent of the limiting size.
  bool XPrintImage(const QImage& image, int percent);

  static constexpr int CommentStripHeight = 20;
  static constexpr double MinTimeRange = 1.0 / 86400.0;  // one second

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormCreate();
  void UpdateLegendHeight();

  std::vector<Tsp_XYLine*> lines_;
  double timeRange_ = 1.0 / 144.0;
  int channelCount_ = 0;
  TDiagSetupDialog* setupDialog_ = nullptr;
  TXPrint xprint_;
  TLegend* legend_ = nullptr;
  QAction* print1_ = nullptr;
};
