// The window's menus, the legend, AddPoint with its buffer trim and one
// repaint per reading, and saving, copying and printing the picture.
#include "diagram/oem_diagramm.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QSaveFile>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "common/QxClock.h"
#include "diagram/diagramm_dialog.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

// ---- legend ----

namespace {

constexpr int LegendSwatch = 16;
constexpr int LegendPad = 4;

// Very light line colours (the unused-channel gray, yellow, cyan) would make
// unreadable text; their caption is drawn dark beside the coloured swatch.
QColor LegendTextColor(const QColor& c) {
  return qGray(c.rgb()) > 190 ? QColor(64, 64, 64) : c;
}

}  // namespace

TLegend::TLegend(QWidget* parent) : QWidget(parent) {}

int TLegend::RowHeight() const {
  return fontMetrics().height() + 2;
}

int TLegend::CellWidth() const {
  int textWidth = 0;
  for (const TEntry& e : entries_)
    textWidth = std::max(textWidth, fontMetrics().horizontalAdvance(e.Caption));
  return LegendSwatch + LegendPad + textWidth + 3 * LegendPad;
}

int TLegend::Columns(int width) const {
  return std::max(1, (width - LegendPad) / std::max(1, CellWidth()));
}

int TLegend::HeightFor(int width) const {
  if (entries_.empty()) return 0;
  const int n = static_cast<int>(entries_.size());
  const int rows = (n + Columns(width) - 1) / Columns(width);
  return rows * RowHeight() + LegendPad;
}

void TLegend::SetEntries(const std::vector<TEntry>& entries) {
  entries_ = entries;
  update();
}

void TLegend::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int rh = RowHeight(), cw = CellWidth(), cols = Columns(width());
  for (int i = 0; i < static_cast<int>(entries_.size()); ++i) {
    const TEntry& e = entries_[i];
    const int x = LegendPad + (i % cols) * cw, y = (i / cols) * rh;
    const int mid = y + rh / 2;
    p.setPen(QPen(e.Color, 2));
    p.drawLine(x, mid, x + LegendSwatch, mid);
    p.setPen(LegendTextColor(e.Color));
    p.drawText(QRect(x + LegendSwatch + LegendPad, y, cw, rh), Qt::AlignLeft | Qt::AlignVCenter,
               e.Caption);
  }
}

// ---- diagram window ----

TDiagramm::TDiagramm(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Diagram");
  setAttribute(Qt::WA_QuitOnClose, false);
  QFont f = font();
  f.setPixelSize(11);
  setFont(f);
  resize(635, 419);

  auto* central = new QWidget(this);
  // The legend is a strip below the plot: beside it, it would take the width
  // the date-time labels of the time axis need.
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  Plot1 = new Tsp_XYPlot(central);
  layout->addWidget(Plot1, 1);
  legend_ = new TLegend(central);
  legend_->hide();  // the plot fills the window until a scan names channels
  layout->addWidget(legend_);
  setCentralWidget(central);

  QMenu* window = menuBar()->addMenu("&Window");
  window->addAction("&Save as Bitmap", this, [this] { Save1Click(); });
  window->addAction("&Copy to Clipboard", this, [this] { CopytoClipboard1Click(); });
  print1_ = window->addAction("&Print", this, [this] { Print1Click(); });
  window->addSeparator();
  window->addAction("&Close", this, [this] { Close1Click(); });

  AskSaveFileName = [this] {
    QFileDialog dlg(this, "Save as Bitmap");
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix("bmp");
    dlg.setNameFilter("Bitmap (*.bmp)");
    dlg.setOption(QFileDialog::DontConfirmOverwrite, false);
    dlg.setSizeGripEnabled(true);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    return dlg.selectedFiles().first();
  };
  PrinterSetup = [this](QPrinter& printer) {
    QPrintDialog dlg(&printer, this);
    return dlg.exec() == QDialog::Accepted;
  };
  ShowError = [this](const QString& text) { QMessageBox::critical(this, windowTitle(), text); };

  FormCreate();
}

TDiagramm::~TDiagramm() {
  // The lines detach from the plot before the plot goes.
  for (Tsp_XYLine* l : lines_) delete l;
  lines_.clear();
}

void TDiagramm::FormCreate() {
  Plot1->SetBorderStyle(bs_None);
  Plot1->SetFieldColor(clWhite);
  Plot1->SetBufferedDisplay(true);
  Plot1->SetZoom(zpdBoth);
  Plot1->SetPan(zpdBoth);

  Tsp_Axis& left = Plot1->LeftAxis();
  left.SetMargin(20);
  left.SetCaption("T/\u00B0C");
  left.SetTicksCount(11);
  left.SetLabelFormat("###0.##");
  left.GridAttr().SetVisible(true);

  Tsp_Axis& bottom = Plot1->BottomAxis();
  bottom.SetMargin(4);
  bottom.SetTicksCount(5);
  bottom.SetLabelFormat("dd.mm.yy hh.MM.ss");
  bottom.SetLabelAsDataTime(true);
  bottom.GridAttr().SetVisible(true);

  for (Tsp_Axis* a : {&Plot1->RightAxis(), &Plot1->TopAxis()}) {
    a->SetMargin(4);
    a->SetTicksCount(5);
    a->SetLabelFormat("###0.##");
    a->GridAttr().SetVisible(false);
  }

  Plot1->OnDblClick = [this](Tsp_XYPlot*) { Plot1DblClick(); };

  lines_.reserve(MaxChannels);
  for (int i = 0; i < MaxChannels; ++i) {
    auto* line = new Tsp_XYLine();
    line->SetPlot(Plot1);
    line->LineAttr().SetColor(ChannelColors[i]);
    line->LineAttr().SetWidth(2);
    lines_.push_back(line);
  }

  SetTimeRange(1.0 / 144.0);

  setupDialog_ = new TDiagSetupDialog(this);
  setupDialog_->OnClose = [this] { UpdateAxis(); };
  UpdateAxis();

  xprint_.SetScaling(pscMetric10);
  xprint_.MarginLeft = 250;
  xprint_.MarginTop = 248;
  xprint_.MarginRight = 250;
  xprint_.MarginBottom = 248;
  xprint_.SetCopies(1);
  xprint_.SetOrientation(xpoLandscape);
  xprint_.SetAngle10(0);
  print1_->setEnabled(xprint_.HasPrinter());
}

Tsp_XYLine* TDiagramm::Line(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(lines_.size())) return nullptr;
  return lines_[channel];
}

QWidget* TDiagramm::LegendArea() const {
  return legend_;
}

void TDiagramm::UpdateLegendHeight() {
  legend_->setFixedHeight(legend_->HeightFor(centralWidget()->width()));
}

void TDiagramm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  UpdateLegendHeight();
}

double TDiagramm::BufferHoursNow() const {
  double hours = BufferHours ? BufferHours() : 12.0;
  // An unusable setting must neither keep points forever nor poison the
  // cut-off comparison.
  if (!std::isfinite(hours)) hours = 12.0;
  return hours;
}

void TDiagramm::AddPoint(int channel, double time, double temperature) {
  Tsp_XYLine* line = Line(channel);
  if (!line) return;
  if (!std::isfinite(time) || !std::isfinite(temperature)) return;
  // Append, trim and axis move are drawn by one synchronous repaint at the
  // end instead of one per changed point: with full buffers the loop would
  // otherwise wait for two or three field repaints per reading.
  struct THeldRepaint {
    Tsp_XYPlot* Plot;
    explicit THeldRepaint(Tsp_XYPlot* p) : Plot(p) { Plot->BeginUpdate(); }
    ~THeldRepaint() {
      try {
        Plot->EndUpdate();
      } catch (...) {
        // A failed repaint must not end the program; the next one redraws.
      }
    }
  } held(Plot1);
  line->AddXY(time, temperature);

  const double hours = BufferHoursNow();
  if (hours <= 0) {
    // No buffer keeps nothing, also a point stamped in the same millisecond.
    while (line->Count() > 0) line->Delete(0);
  } else {
    while (line->Count() > 0 && Clock().Now() - hours / 24.0 > line->GetX(0)) line->Delete(0);
  }

  Tsp_Axis& bottom = Plot1->BottomAxis();
  bottom.MoveMinMax(Clock().Now() - bottom.Max());
}

void TDiagramm::SetChannelCount(int count) {
  channelCount_ = std::clamp(count, 0, MaxChannels);
}

void TDiagramm::SetLegendEntries(const QStringList& captions) {
  std::vector<TLegend::TEntry> entries;
  const int n = std::min<int>(captions.size(), MaxChannels);
  for (int i = 0; i < n; ++i) {
    const uint32_t c = ChannelColors[i];
    entries.push_back({captions[i], QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF)});
  }
  legend_->SetEntries(entries);
  legend_->setVisible(!entries.empty());
  UpdateLegendHeight();
}

void TDiagramm::SetTimeRange(double days) {
  if (std::isfinite(days) && days > 0) timeRange_ = std::max(days, MinTimeRange);
  const double now = Clock().Now();
  Tsp_Axis& bottom = Plot1->BottomAxis();
  // Set the end that cannot cross the old range first, so a clock that went
  // back still gives the range ending at now.
  if (bottom.Min() < now) {
    bottom.SetMax(now);
    bottom.SetMin(now - timeRange_);
  } else {
    bottom.SetMin(now - timeRange_);
    bottom.SetMax(now);
  }
}

void TDiagramm::UpdateAxis() {
  const double mn = setupDialog_->Min, mx = setupDialog_->Max;
  if (std::isfinite(mn) && std::isfinite(mx)) {
    Plot1->LeftAxis().SetMinMax(mn, mx);
    Plot1->Invalidate();
  }
  SetTimeRange(setupDialog_->TimeRange / 60.0 / 24.0);
}

void TDiagramm::Plot1DblClick() {
  setupDialog_->Min = Plot1->LeftAxis().Min();
  setupDialog_->Max = Plot1->LeftAxis().Max();
  setupDialog_->TimeRange = timeRange_ * 60 * 24;
  setupDialog_->show();
  setupDialog_->FormActivate();
  setupDialog_->raise();
  setupDialog_->activateWindow();
}

void TDiagramm::mouseDoubleClickEvent(QMouseEvent* event) {
  Plot1DblClick();
  event->accept();
}

bool TDiagramm::SaveBitmap(const QString& path, QString* error) {
  Plot1->RepaintNow();
  const QImage image = Plot1->ToImage();
  // Written beside the target and renamed at the end, so a failure leaves
  // no half-written file at path.
  QSaveFile file(path);
  QString reason;
  if (image.isNull()) {
    reason = "the diagram has no image";
  } else if (!file.open(QIODevice::WriteOnly)) {
    reason = file.errorString();
  } else if (!image.save(&file, "BMP")) {
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

void TDiagramm::Save1Click() {
  const QString path = AskSaveFileName ? AskSaveFileName() : QString();
  if (path.isEmpty()) return;
  QString error;
  if (!SaveBitmap(path, &error) && ShowError) ShowError(error);
}

void TDiagramm::CopytoClipboard1Click() {
  Plot1->CopyToClipboard();
}

QImage TDiagramm::ComposePrintImage(const QString& comment) {
  Plot1->RepaintNow();
  const QImage plot = Plot1->ToImage();
  const int w = plot.width(), h = plot.height();
  QImage image(w, h + CommentStripHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.drawImage(0, CommentStripHeight, plot);
  const QRect strip(0, 0, w, CommentStripHeight);
  p.setClipRect(strip);
  p.setPen(Qt::black);
  p.drawText(strip, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, comment);
  return image;
}

bool TDiagramm::XPrintImage(const QImage& image, int percent) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  bool ok = xprint_.BeginDoc();
  if (ok) {
    const QRect target = XPrintFitRect(xprint_.PageWidth(), xprint_.PageHeight(), image.width(),
                                       image.height(), percent);
    if (!target.isEmpty()) xprint_.Canvas()->drawImage(target, image);
    ok = xprint_.EndDoc();
  }
  QApplication::restoreOverrideCursor();
  return ok;
}

void TDiagramm::Print1Click() {
  if (!xprint_.HasPrinter() || !xprint_.Printer()) return;
  QString comment;
  if (AskComment && !AskComment(comment)) return;
  const QImage image = ComposePrintImage(comment);
  if (PrinterSetup && !PrinterSetup(*xprint_.Printer())) return;
  if (!XPrintImage(image, 99) && ShowError) ShowError("Printing failed");
}

void TDiagramm::Close1Click() {
  close();
}
