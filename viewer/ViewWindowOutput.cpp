// The viewer window's output: the CSV export, the picture of the diagram
// (saved or printed) and the menu handlers that ask for a file name first.
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QSaveFile>
#include <string>
#include <vector>

#include "diagram/oem_diagramm.h"
#include "viewer/CsvExport.h"
#include "viewer/ViewWindow.h"
#include "viewer/ViewWindowText.h"

namespace qxview {

bool TViewWindow::ExportCsv(const QString& path, bool all, QString* error) {
  TCsvOptions o;
  o.All = all;
  o.T0 = plot_->BottomAxis().Min();
  o.T1 = plot_->BottomAxis().Max();
  for (int c = 0; c < data_->Columns(); ++c) {
    if (!ChannelShown(c)) continue;
    o.Columns.push_back(c);
    o.Names.push_back(ChannelName(c).toStdString());
  }
  std::string e;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const bool ok = WriteCsv(*data_, path.toLocal8Bit().toStdString(), o, e);
  QApplication::restoreOverrideCursor();
  if (!ok && error) *error = Q(e);
  return ok;
}

QImage TViewWindow::Picture() {
  plot_->RepaintNow();
  const QImage plot = plot_->ToImage();
  std::vector<TLegend::TEntry> entries;
  for (int c = 0; c < data_->Columns(); ++c)
    if (ChannelShown(c)) entries.push_back({ChannelName(c), ToQColor(ChannelColors[c % 32])});
  TLegend legend;
  legend.SetEntries(entries);
  const int lh = entries.empty() ? 0 : legend.HeightFor(plot.width());
  QImage image(plot.width(), plot.height() + lh, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.drawImage(0, 0, plot);
  if (lh > 0) {
    legend.resize(plot.width(), lh);
    legend.render(&p, QPoint(0, plot.height()), QRegion(), QWidget::DrawChildren);
  }
  return image;
}

bool TViewWindow::SavePicture(const QString& path, QString* error) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  const char* format = suffix == "bmp" ? "BMP" : "PNG";
  const QImage image = Picture();
  QSaveFile file(path);
  QString reason;
  if (!file.open(QIODevice::WriteOnly)) {
    reason = file.errorString();
  } else if (!image.save(&file, format)) {
    reason = file.errorString();
    file.cancelWriting();
  } else if (!file.commit()) {
    reason = file.errorString();
  } else {
    return true;
  }
  if (error) *error = "Could not access File : " + path + "\n" + reason;
  return false;
}

QImage TViewWindow::ComposePrintImage(const QString& comment) {
  const QImage pic = Picture();
  QImage image(pic.width(), pic.height() + CommentStripHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.drawImage(0, CommentStripHeight, pic);
  const QRect strip(0, 0, pic.width(), CommentStripHeight);
  p.setClipRect(strip);
  p.setPen(Qt::black);
  p.drawText(strip, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, comment);
  return image;
}

bool TViewWindow::PrintImage(const QImage& image) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  bool ok = xprint_.BeginDoc();
  if (ok) {
    const QRect target =
        XPrintFitRect(xprint_.PageWidth(), xprint_.PageHeight(), image.width(), image.height(), 99);
    if (!target.isEmpty()) xprint_.Canvas()->drawImage(target, image);
    ok = xprint_.EndDoc();
  }
  QApplication::restoreOverrideCursor();
  return ok;
}

void TViewWindow::OpenClick() {
  const QStringList files = AskOpenFiles ? AskOpenFiles() : QStringList();
  if (!files.isEmpty()) OpenFiles(files);
}

void TViewWindow::ExportClick(bool all) {
  const QString path =
      AskSaveFileName ? AskSaveFileName(all ? "Export All as CSV" : "Export Visible Range as CSV",
                                        "CSV (*.csv)")
                      : QString();
  if (path.isEmpty()) return;
  QString error;
  if (!ExportCsv(path, all, &error) && ShowError) ShowError(error);
}

void TViewWindow::SavePictureClick() {
  const QString path = AskSaveFileName
                           ? AskSaveFileName("Save Picture", "PNG image (*.png);;Bitmap (*.bmp)")
                           : QString();
  if (path.isEmpty()) return;
  QString error;
  if (!SavePicture(path, &error) && ShowError) ShowError(error);
}

void TViewWindow::PrintClick() {
  if (!xprint_.HasPrinter() || !xprint_.Printer()) return;
  static QString comment;
  if (AskComment && !AskComment(comment)) return;
  const QImage image = ComposePrintImage(comment);
  if (PrinterSetup && !PrinterSetup(*xprint_.Printer())) return;
  if (!PrintImage(image) && ShowError) ShowError("Printing failed");
}
}  // namespace qxview
