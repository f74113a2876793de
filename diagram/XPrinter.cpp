// Unit and dot conversions, the origin and scale set at the start of a job,
// font sizes kept in points on paper, and an image fitted in its proportions.
#include "diagram/XPrinter.h"

#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <cmath>
#include <cstdlib>

int XPrintUnitsPerInch(TXPrintScaling scaling) {
  switch (scaling) {
    case pscMil:
      return 1000;
    case pscMetric10:
      return 254;
    case pscMetric100:
      return 2540;
    case pscDot:
      break;
  }
  return 1;
}

TXPrint::TXPrint() {
  try {
    printerCount_ = static_cast<int>(QPrinterInfo::availablePrinters().size() & 0xFFFF);
  } catch (...) {
    printerCount_ = 0;
  }
  if (printerCount_ > 0) {
    // A default-constructed printer is the system default printer.
    printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    Font = QFont();
  }
}

TXPrint::~TXPrint() {
  if (printing_) EndDoc();
}

void TXPrint::UsePdfFile(const QString& path, int dotsPerInch) {
  if (printing_) return;
  // The job settings already made carry over to the file.
  const int copies = Copies();
  const TXPrintOrientation orientation = Orientation();
  const QString title = Title();
  printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  printer_->setOutputFormat(QPrinter::PdfFormat);
  printer_->setCopyCount(copies);
  printer_->setDocName(title);
  SetOrientation(orientation);
  printer_->setOutputFileName(path);
  printer_->setResolution(dotsPerInch);
  printerCount_ = 1;
}

void TXPrint::SetScaling(TXPrintScaling scaling) {
  if (printing_ || scaling == scaling_) return;
  // Margins keep their physical size: through dots with the old unit, back
  // with the new one.
  int64_t l = UnitsToDotsX(MarginLeft), r = UnitsToDotsX(MarginRight);
  int64_t t = UnitsToDotsY(MarginTop), b = UnitsToDotsY(MarginBottom);
  scaling_ = scaling;
  MarginLeft = static_cast<int>(DotsToUnitsX(l));
  MarginRight = static_cast<int>(DotsToUnitsX(r));
  MarginTop = static_cast<int>(DotsToUnitsY(t));
  MarginBottom = static_cast<int>(DotsToUnitsY(b));
}

int64_t TXPrint::UnitsToDotsX(int64_t u) const {
  if (scaling_ == pscDot) return u;
  return u * dpiX_ / XPrintUnitsPerInch(scaling_);
}

int64_t TXPrint::UnitsToDotsY(int64_t u) const {
  if (scaling_ == pscDot) return u;
  return u * dpiY_ / XPrintUnitsPerInch(scaling_);
}

int64_t TXPrint::DotsToUnitsX(int64_t d) const {
  if (scaling_ == pscDot || dpiX_ <= 0) return d;
  return d * XPrintUnitsPerInch(scaling_) / dpiX_;
}

int64_t TXPrint::DotsToUnitsY(int64_t d) const {
  if (scaling_ == pscDot || dpiY_ <= 0) return d;
  return d * XPrintUnitsPerInch(scaling_) / dpiY_;
}

bool TXPrint::Aborted() const {
  return printer_ && printer_->printerState() == QPrinter::Aborted;
}

int TXPrint::Copies() const {
  return printer_ ? printer_->copyCount() : 1;
}

void TXPrint::SetCopies(int copies) {
  if (printer_) printer_->setCopyCount(copies);
}

QString TXPrint::Title() const {
  return printer_ ? printer_->docName() : QString();
}

void TXPrint::SetTitle(const QString& title) {
  if (printer_) printer_->setDocName(title);
}

TXPrintOrientation TXPrint::Orientation() const {
  if (!printer_) return xpoPortrait;
  return printer_->pageLayout().orientation() == QPageLayout::Landscape ? xpoLandscape
                                                                        : xpoPortrait;
}

void TXPrint::SetOrientation(TXPrintOrientation orientation) {
  if (printer_)
    printer_->setPageOrientation(orientation == xpoLandscape ? QPageLayout::Landscape
                                                             : QPageLayout::Portrait);
}

void TXPrint::SetAngle10(int angle) {
  angle10_ = angle % 3600;
}

void TXPrint::ReadMetrics() {
  dpiX_ = printer_->logicalDpiX();
  dpiY_ = printer_->logicalDpiY();
  if (dpiX_ <= 0) dpiX_ = 300;
  if (dpiY_ <= 0) dpiY_ = 300;
  const QRectF paper = printer_->paperRect(QPrinter::DevicePixel);
  const QRectF page = printer_->pageRect(QPrinter::DevicePixel);
  physWidth_ = static_cast<int>(std::lround(paper.width()));
  physHeight_ = static_cast<int>(std::lround(paper.height()));
  offsetX_ = static_cast<int>(std::lround(page.left() - paper.left()));
  offsetY_ = static_cast<int>(std::lround(page.top() - paper.top()));
  fontResolution_ = dpiY_;
}

bool TXPrint::BeginDoc() {
  if (!printer_ || printing_) return false;
  ReadMetrics();
  painter_ = std::make_unique<QPainter>();
  if (!painter_->begin(printer_.get())) {
    painter_.reset();
    return false;
  }
  printing_ = true;

  if (scaling_ == pscDot) {
    pageWidth_ = physWidth_ - MarginLeft - MarginRight - 1;
    pageHeight_ = physHeight_ - MarginTop - MarginBottom - 1;
  } else {
    const int upi = XPrintUnitsPerInch(scaling_);
    const int64_t ml = UnitsToDotsX(MarginLeft), mr = UnitsToDotsX(MarginRight);
    const int64_t mt = UnitsToDotsY(MarginTop), mb = UnitsToDotsY(MarginBottom);
    pageWidth_ = static_cast<int>((physWidth_ - ml - mr - 1) * upi / dpiX_);
    pageHeight_ = static_cast<int>((physHeight_ - mt - mb - 1) * upi / dpiY_);
    // The painter starts at the printable area's corner; move the origin to
    // the margin corner measured from the paper edge, then scale to units.
    // The scale is the exact resolution ratio, so one unit stays one unit at
    // every resolution.
    painter_->translate(static_cast<qreal>(ml - offsetX_), static_cast<qreal>(mt - offsetY_));
    painter_->scale(static_cast<qreal>(dpiX_) / upi, static_cast<qreal>(dpiY_) / upi);
  }

  savedFont_ = Font;
  const int size = Font.pointSize() > 0 ? Font.pointSize() : 10;
  SetFontSize(size);
  return true;
}

bool TXPrint::EndDoc() {
  if (!printer_ || !printing_) return false;
  bool ok = painter_->end();
  painter_.reset();
  Font = savedFont_;
  printing_ = false;
  return ok && printer_->printerState() != QPrinter::Error &&
         printer_->printerState() != QPrinter::Aborted;
}

void TXPrint::SetFontSize(int size) {
  if (!printer_) return;
  double s = std::abs(size);
  // The painter already scales by the unit; undo that for text so a font
  // keeps its point size on paper.
  if (printing_ && scaling_ != pscDot && fontResolution_ > 0)
    s = s * XPrintUnitsPerInch(scaling_) / fontResolution_;
  if (s <= 0) s = 1;
  Font.setPointSizeF(s);
  if (painter_) painter_->setFont(Font);
}

namespace {

// a * b / c rounded to the nearest integer, in 64 bits.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return 0;
  const int64_t p = a * b;
  const int64_t q = p / c, r = p % c;
  if (std::llabs(r) * 2 >= std::llabs(c)) return q + (((p < 0) != (c < 0)) ? -1 : 1);
  return q;
}

}  // namespace

QRect XPrintFitRect(int pw, int ph, int bw, int bh, int percent) {
  if (pw <= 0 || ph <= 0 || bw <= 0 || bh <= 0 || percent <= 0) return QRect();
  int64_t w, h;
  if (static_cast<double>(pw) / ph >= static_cast<double>(bw) / bh) {
    h = ph;
    w = MulDivRound(bw, ph, bh);
  } else {
    w = pw;
    h = MulDivRound(bh, pw, bw);
  }
  const int tw = static_cast<int>(std::nearbyint(static_cast<double>(w) * percent / 100.0));
  const int th = static_cast<int>(std::nearbyint(static_cast<double>(h) * percent / 100.0));
  return QRect(0, 0, tw, th);
}
