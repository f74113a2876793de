#pragma once
// Page-oriented printing in physical units. During a job the painter's
// coordinates are measured in the chosen unit from the top-left margin corner,
// where the margins count from the paper edge (not from the printable area),
// and PageWidth/PageHeight give the usable size inside the margins.
#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <memory>

class QPainter;
class QPrinter;

enum TXPrintScaling { pscDot, pscMil, pscMetric10, pscMetric100 };
enum TXPrintOrientation { xpoPortrait, xpoLandscape };

// Units per inch of a scaling (pscDot: 1, no conversion).
int XPrintUnitsPerInch(TXPrintScaling scaling);

class TXPrint {
 public:
  // Counts the system printers once; printers installed later are not seen.
  TXPrint();
  ~TXPrint();
  TXPrint(const TXPrint&) = delete;
  TXPrint& operator=(const TXPrint&) = delete;

  // Sends jobs to a PDF file at the given resolution instead of a system
  // printer; the file then counts as the one printer.
  void UsePdfFile(const QString& path, int dotsPerInch);

  bool HasPrinter() const { return printerCount_ != 0; }
  int PrinterCount() const { return printerCount_; }

  TXPrintScaling Scaling() const { return scaling_; }
  void SetScaling(TXPrintScaling scaling);
  int MarginLeft = 0;
  int MarginTop = 0;
  int MarginRight = 0;
  int MarginBottom = 0;
  QFont Font;

  bool Aborted() const;
  int Copies() const;
  void SetCopies(int copies);
  QString Title() const;
  void SetTitle(const QString& title);
  TXPrintOrientation Orientation() const;
  void SetOrientation(TXPrintOrientation orientation);
  int Angle10() const { return angle10_; }
  void SetAngle10(int angle);

  // Starts a job. False without printers or when the job could not start;
  // the painter is then not available.
  bool BeginDoc();
  // Ends the job. False when the printer reported a failure.
  bool EndDoc();
  bool Printing() const { return printing_; }
  int PageWidth() const { return pageWidth_; }
  int PageHeight() const { return pageHeight_; }
  // The drawing surface; only valid between BeginDoc and EndDoc.
  QPainter* Canvas() const { return painter_.get(); }
  // The system printer object (null without printers), shared with the
  // printer setup dialog.
  QPrinter* Printer() const { return printer_.get(); }

  void SetFontSize(int size);

  // Unit conversions in integer arithmetic, truncating towards zero.
  int64_t UnitsToDotsX(int64_t u) const;
  int64_t UnitsToDotsY(int64_t u) const;
  int64_t DotsToUnitsX(int64_t d) const;
  int64_t DotsToUnitsY(int64_t d) const;
  int DpiX() const { return dpiX_; }
  int DpiY() const { return dpiY_; }

 private:
  void ReadMetrics();

  std::unique_ptr<QPrinter> printer_;
  std::unique_ptr<QPainter> painter_;
  int printerCount_ = 0;
  TXPrintScaling scaling_ = pscDot;
  int angle10_ = 0;
  bool printing_ = false;
  int dpiX_ = 300;
  int dpiY_ = 300;
  int physWidth_ = 0;
  int physHeight_ = 0;
  int offsetX_ = 0;
  int offsetY_ = 0;
  int pageWidth_ = 0;
  int pageHeight_ = 0;
  int fontResolution_ = 300;
  QFont savedFont_;
};

// Where an image of bw x bh lands on a page of pw x ph when fitted with its
// aspect ratio and scaled by percent. Empty for empty images or pages.
QRect XPrintFitRect(int pw, int ph, int bw, int bh, int percent);
