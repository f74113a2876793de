// The viewer window itself: its layout, the channel list and notes, the view
// (zoom, undo, range) and the readout under the mouse. Loading and output
// live in ViewWindowLoad.cpp and ViewWindowOutput.cpp.
#include "viewer/ViewWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "common/ChannelColors.h"
#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_def.h"
#include "viewer/CsvExport.h"
#include "viewer/ViewWindowText.h"

namespace qxview {

namespace {

QString CentiText(int32_t v) {
  if (v == NaCell) return "N/A";
  return Q(FormatFixedWidth(v / 100.0, 1, 2));
}

QIcon Swatch(const QColor& c) {
  QPixmap pm(14, 14);
  pm.fill(c);
  return QIcon(pm);
}

}  // namespace

TViewWindow::TViewWindow(QWidget* parent) : QMainWindow(parent), data_(new TLogData) {
  setWindowTitle("Quilex Log Viewer");
  setAcceptDrops(true);
  resize(1100, 640);
  BuildUi();

  AskOpenFiles = [this] {
    return QFileDialog::getOpenFileNames(this, "Open Log Files", ".",
                                         "Log files (*.log *.txt *.dat);;All files (*)");
  };
  AskSaveFileName = [this](const QString& title, const QString& filter) {
    QFileDialog dlg(this, title);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setNameFilter(filter);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    return dlg.selectedFiles().first();
  };
  AskComment = [this](QString& comment) {
    bool ok = false;
    const QString t =
        QInputDialog::getText(this, "Comment", "Comment", QLineEdit::Normal, comment, &ok);
    if (ok) comment = t;
    return ok;
  };
  PrinterSetup = [this](QPrinter& printer) {
    QPrintDialog dlg(&printer, this);
    return dlg.exec() == QDialog::Accepted;
  };
  ShowError = [this](const QString& text) { QMessageBox::warning(this, windowTitle(), text); };

  xprint_.SetScaling(pscMetric10);
  xprint_.MarginLeft = 250;
  xprint_.MarginTop = 248;
  xprint_.MarginRight = 250;
  xprint_.MarginBottom = 248;
  xprint_.SetCopies(1);
  xprint_.SetOrientation(xpoLandscape);
  print1_->setEnabled(xprint_.HasPrinter());
}

TViewWindow::~TViewWindow() {
  job_.reset();
  for (TViewSeries* s : series_) delete s;
  series_.clear();
}

void TViewWindow::BuildUi() {
  auto add = [this](QMenu* m, const QString& text, const QKeySequence& key,
                    std::function<void()> fn) {
    QAction* a = m->addAction(text);
    if (!key.isEmpty()) a->setShortcut(key);
    connect(a, &QAction::triggered, this, [fn] { fn(); });
    return a;
  };
  QMenu* file = menuBar()->addMenu("&File");
  add(file, "&Open...", QKeySequence::Open, [this] { OpenClick(); });
  file->addSeparator();
  add(file, "Export &Visible Range as CSV...", {}, [this] { ExportClick(false); });
  add(file, "Export &All as CSV...", {}, [this] { ExportClick(true); });
  add(file, "&Save Picture...", {}, [this] { SavePictureClick(); });
  print1_ = add(file, "&Print...", QKeySequence::Print, [this] { PrintClick(); });
  file->addSeparator();
  add(file, "&Close", QKeySequence::Quit, [this] { close(); });
  QMenu* view = menuBar()->addMenu("&View");
  add(view, "&Whole Range", QKeySequence(Qt::Key_Home), [this] { ShowWholeRange(); });
  add(view, "&Undo Zoom", QKeySequence::Undo, [this] { UndoView(); });
  add(view, "Zoom &In", QKeySequence::ZoomIn, [this] {
    PushView();
    ZoomTime(0.5, (plot_->BottomAxis().Min() + plot_->BottomAxis().Max()) / 2);
  });
  add(view, "Zoom &Out", QKeySequence::ZoomOut, [this] {
    PushView();
    ZoomTime(2.0, (plot_->BottomAxis().Min() + plot_->BottomAxis().Max()) / 2);
  });

  auto* split = new QSplitter(Qt::Horizontal, this);
  auto* left = new QWidget(split);
  auto* lv = new QVBoxLayout(left);
  lv->setContentsMargins(0, 0, 0, 0);
  lv->setSpacing(2);
  plot_ = new Tsp_XYPlot(left);
  plot_->SetBorderStyle(bs_None);
  plot_->SetFieldColor(clWhite);
  plot_->SetBufferedDisplay(true);
  plot_->SetZoom(zpdBoth);
  plot_->SetPan(zpdBoth);
  plot_->setMouseTracking(true);
  plot_->installEventFilter(this);
  Tsp_Axis& la = plot_->LeftAxis();
  la.SetMargin(20);
  la.SetCaption("T/\u00B0C");
  la.SetTicksCount(11);
  la.SetLabelFormat("###0.##");
  la.GridAttr().SetVisible(true);
  Tsp_Axis& ba = plot_->BottomAxis();
  ba.SetMargin(4);
  ba.SetTicksCount(5);
  // The regional date and time; the labels themselves also follow the span
  // shown (TickLabel).
  ba.SetLabelFormat(TimeAxisFormat(1, FormatSettings()));
  ba.SetLabelAsDataTime(true);
  ba.GridAttr().SetVisible(true);
  for (Tsp_Axis* a : {&plot_->RightAxis(), &plot_->TopAxis()}) {
    a->SetMargin(4);
    a->SetTicksCount(5);
    a->GridAttr().SetVisible(false);
  }
  plot_->OnGetTickLabel = [this](Tsp_Axis* a, int, double v, std::string& s) {
    TickLabel(a, v, s);
  };
  plot_->OnDrawEnd = [this](Tsp_XYPlot*) { DrawEnd(); };
  plot_->OnMouseDown = [this](Tsp_XYPlot*, Qt::MouseButton b, TShiftState s, int, int) {
    if (b != Qt::LeftButton) return;
    const TShiftState keys = s & (ssShift | ssAlt | ssCtrl);
    if (keys == plot_->PanShiftKeys() || keys == plot_->ZoomShiftKeys()) PushView();
  };
  plot_->OnMouseUp = [this](Tsp_XYPlot*, Qt::MouseButton, TShiftState, int, int) {
    // A click without a drag leaves the view; forget the entry it made.
    if (!undo_.empty()) {
      const TView v = CurrentView(), &u = undo_.back();
      if (v.X0 == u.X0 && v.X1 == u.X1 && v.Y0 == u.Y0 && v.Y1 == u.Y1)
        undo_.pop_back();
      else
        userView_ = true;
    }
  };
  plot_->OnMouseMove = [this](Tsp_XYPlot*, TShiftState, int x, int) {
    readout_->setText(ReadoutAt(x));
  };
  lv->addWidget(plot_, 1);
  readout_ = new QLabel(left);
  readout_->setWordWrap(true);
  readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  readout_->setMinimumHeight(readout_->fontMetrics().height() * 2 + 4);
  readout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lv->addWidget(readout_);
  split->addWidget(left);

  auto* right = new QWidget(split);
  auto* rv = new QVBoxLayout(right);
  rv->setContentsMargins(4, 0, 0, 0);
  channels_ = new QTableWidget(0, 1, right);
  channels_->setHorizontalHeaderLabels({"Channel (double-click to rename)"});
  channels_->horizontalHeader()->setStretchLastSection(true);
  channels_->verticalHeader()->hide();
  channels_->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(channels_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* it) {
    if (updatingTable_) return;
    const int c = it->row();
    if (c < 0 || c >= static_cast<int>(names_.size())) return;
    const QString name = it->text().trimmed();
    if (!name.isEmpty() && name != names_[c]) SetChannelName(c, name);
    const bool on = it->checkState() == Qt::Checked;
    if (on != ChannelShown(c)) SetChannelShown(c, on);
  });
  rv->addWidget(channels_, 3);

  auto* form = new QFormLayout();
  orderBox_ = new QComboBox(right);
  orderBox_->addItem("as detected", doAuto);
  orderBox_->addItem("day month year", doDMY);
  orderBox_->addItem("month day year", doMDY);
  orderBox_->addItem("year month day", doYMD);
  decimalBox_ = new QComboBox(right);
  decimalBox_->addItem("as detected", 0);
  decimalBox_->addItem("comma ,", static_cast<int>(','));
  decimalBox_->addItem("point .", static_cast<int>('.'));
  form->addRow("Date order", orderBox_);
  form->addRow("Decimals", decimalBox_);
  formatLabel_ = new QLabel(right);
  formatLabel_->setWordWrap(true);
  form->addRow("Read as", formatLabel_);
  rv->addLayout(form);
  connect(orderBox_, QOverload<int>::of(&QComboBox::activated), this, [this] { FormatChanged(); });
  connect(decimalBox_, QOverload<int>::of(&QComboBox::activated), this,
          [this] { FormatChanged(); });
  followBox_ = new QCheckBox("Follow the file (show new lines as they are written)", right);
  followBox_->setChecked(true);
  rv->addWidget(followBox_);
  rv->addWidget(new QLabel("Notes", right));
  notes_ = new QPlainTextEdit(right);
  notes_->setReadOnly(true);
  notes_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  rv->addWidget(notes_, 2);
  split->addWidget(right);
  split->setStretchFactor(0, 4);
  split->setStretchFactor(1, 1);
  split->setSizes({820, 280});
  setCentralWidget(split);

  status_ = new QLabel(this);
  statusBar()->addWidget(status_, 1);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 1000);
  progress_->setMaximumWidth(240);
  progress_->hide();
  statusBar()->addPermanentWidget(progress_);

  loadTimer_ = new QTimer(this);
  loadTimer_->setInterval(30);
  connect(loadTimer_, &QTimer::timeout, this, [this] { PollLoad(); });
  followTimer_ = new QTimer(this);
  followTimer_->setInterval(250);
  connect(followTimer_, &QTimer::timeout, this, [this] { PollFollow(); });
  followTimer_->start();
}

// ---- channels, notes, status ----

void TViewWindow::UpdateChannels() {
  const int n = data_->Columns();
  while (static_cast<int>(names_.size()) < n) {
    names_.push_back(QString("Channel %1").arg(names_.size() + 1));
    shown_.push_back(true);
  }
  while (static_cast<int>(series_.size()) < n) {
    const int c = static_cast<int>(series_.size());
    auto* s = new TViewSeries(data_.get(), &geometry_, c);
    s->SetLegend(names_[c].toStdString());
    s->SetShown(shown_[c]);
    s->SetPlot(plot_);
    series_.push_back(s);
  }
  if (channels_->rowCount() != n) {
    updatingTable_ = true;
    channels_->setRowCount(n);
    for (int c = 0; c < n; ++c) {
      auto* it = new QTableWidgetItem(names_[c]);
      it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable |
                   Qt::ItemIsUserCheckable);
      it->setCheckState(shown_[c] ? Qt::Checked : Qt::Unchecked);
      it->setIcon(Swatch(ToQColor(ChannelColors[c % MaxChannels])));
      channels_->setItem(c, 0, it);
    }
    updatingTable_ = false;
  }
}

void TViewWindow::UpdateNotes() {
  const std::vector<TNote>& notes = data_->Notes();
  for (; notesShown_ < notes.size(); ++notesShown_) {
    const TNote& n = notes[notesShown_];
    QString line = Q(n.File);
    if (n.Line > 0) line += QString(", line %1").arg(n.Line);
    line += ": " + Q(n.Text);
    notes_->appendPlainText(line);
  }
}

QString TViewWindow::NotesText() const {
  return notes_->toPlainText();
}

void TViewWindow::UpdateStatus() {
  int64_t bad = 0;
  for (const TFileInfo& fi : data_->Files()) bad += fi.BadLines;
  QString s = QString("%1 lines, %2 channels, %3 segment(s)")
                  .arg(data_->Rows())
                  .arg(data_->Columns())
                  .arg(data_->Segments().size());
  if (bad) s += QString(", %1 bad lines skipped").arg(bad);
  status_->setText(s);
}

QString TViewWindow::StatusText() const {
  return status_->text();
}

TViewSeries* TViewWindow::Series(int column) const {
  if (column < 0 || column >= static_cast<int>(series_.size())) return nullptr;
  return series_[column];
}

QString TViewWindow::ChannelName(int column) const {
  if (column < 0 || column >= static_cast<int>(names_.size()))
    return QString("Channel %1").arg(column + 1);
  return names_[column];
}

void TViewWindow::SetChannelName(int column, const QString& name) {
  if (column < 0 || column >= static_cast<int>(names_.size()) || name.isEmpty()) return;
  names_[column] = name;
  if (TViewSeries* s = Series(column)) s->SetLegend(name.toStdString());
  if (QTableWidgetItem* it = channels_->item(column, 0); it && it->text() != name) {
    updatingTable_ = true;
    it->setText(name);
    updatingTable_ = false;
  }
}

bool TViewWindow::ChannelShown(int column) const {
  return column >= 0 && column < static_cast<int>(shown_.size()) && shown_[column];
}

void TViewWindow::SetChannelShown(int column, bool on) {
  if (column < 0 || column >= static_cast<int>(shown_.size())) return;
  shown_[column] = on;
  if (TViewSeries* s = Series(column)) s->SetShown(on);
  if (QTableWidgetItem* it = channels_->item(column, 0)) {
    updatingTable_ = true;
    it->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    updatingTable_ = false;
  }
  plot_->Invalidate();
}

// ---- the view ----

TViewWindow::TView TViewWindow::CurrentView() {
  return {plot_->BottomAxis().Min(), plot_->BottomAxis().Max(), plot_->LeftAxis().Min(),
          plot_->LeftAxis().Max()};
}

void TViewWindow::SetView(const TView& v) {
  plot_->BottomAxis().SetMinMax(v.X0, v.X1);
  plot_->LeftAxis().SetMinMax(v.Y0, v.Y1);
  plot_->Invalidate();
}

void TViewWindow::PushView() {
  undo_.push_back(CurrentView());
  if (undo_.size() > 100) undo_.erase(undo_.begin());
}

bool TViewWindow::UndoView() {
  if (undo_.empty()) return false;
  SetView(undo_.back());
  undo_.pop_back();
  if (undo_.empty()) userView_ = false;
  return true;
}

void TViewWindow::AutoRangeY() {
  bool any = false;
  int32_t lo = 0, hi = 0;
  for (int c = 0; c < data_->Columns(); ++c) {
    int32_t mn, mx;
    if (!ChannelShown(c) || !data_->ColumnRange(c, mn, mx)) continue;
    lo = any ? std::min(lo, mn) : mn;
    hi = any ? std::max(hi, mx) : mx;
    any = true;
  }
  if (!any) return;
  double y0 = lo / 100.0, y1 = hi / 100.0;
  const double pad = std::max((y1 - y0) * 0.05, 0.5);
  plot_->LeftAxis().SetMinMax(y0 - pad, y1 + pad);
}

void TViewWindow::ShowWholeRange() {
  double t0, t1;
  if (!data_->TimeRange(t0, t1)) return;
  if (t1 <= t0) {
    t0 -= 1.0 / 1440;
    t1 += 1.0 / 1440;
  }
  plot_->BottomAxis().SetMinMax(t0, t1);
  AutoRangeY();
  userView_ = false;
  undo_.clear();
  plot_->Invalidate();
}

void TViewWindow::ZoomTime(double factor, double centre) {
  Tsp_Axis& b = plot_->BottomAxis();
  const double span = (b.Max() - b.Min()) * factor;
  // Not below a few milliseconds per field, nor beyond a few centuries.
  if (!(span > 1e-8) || span > 1e5) return;
  const double rel = (centre - b.Min()) / (b.Max() - b.Min());
  const double lo = centre - rel * span;
  b.SetMinMax(lo, lo + span);
  userView_ = true;
  plot_->Invalidate();
}

void TViewWindow::TickLabel(Tsp_Axis* axis, double v, std::string& s) {
  if (axis != &plot_->BottomAxis()) return;
  s = FormatDateTime(TimeAxisFormat(axis->Max() - axis->Min(), FormatSettings()), v);
}

void TViewWindow::DrawEnd() {
  if (!OnEvent) return;
  if (!pictureSent_ && !heads_.empty() && data_->Rows() > 0) {
    pictureSent_ = true;
    OnEvent("picture");
  }
  if (readPending_ && !job_) {
    readPending_ = false;
    OnEvent("read");
  }
}

QString TViewWindow::ReadoutAt(int x) const {
  if (x < plot_->FieldLeft() || x >= plot_->FieldRight()) return QString();
  const double t = plot_->BottomAxis().PixelToValue(x);
  int s = 0, k = 0;
  int64_t r = 0;
  if (!data_->Nearest(t, s, k, r)) return QString();
  const TSegment& seg = data_->Segments()[s];
  const TChunk& ch = *seg.Chunks[k];
  QString text = Q(FormatStamp(ch.Times()[r]));
  for (int c = 0; c < ch.Columns(); ++c) {
    if (!ChannelShown(c)) continue;
    text += "   " + ChannelName(c) + ": " + CentiText(ch.Value(c, r));
  }
  return text;
}

void TViewWindow::SetFormatChoice(const TFormatChoice& c) {
  choice_ = c;
  orderBox_->setCurrentIndex(std::max(0, orderBox_->findData(static_cast<int>(c.Order))));
  decimalBox_->setCurrentIndex(std::max(0, decimalBox_->findData(static_cast<int>(c.Decimal))));
  if (!paths_.isEmpty()) StartLoad();
}

void TViewWindow::FormatChanged() {
  TFormatChoice c;
  c.Order = static_cast<TDateOrder>(orderBox_->currentData().toInt());
  c.Decimal = static_cast<char>(decimalBox_->currentData().toInt());
  SetFormatChoice(c);
}

// ---- events ----

void TViewWindow::closeEvent(QCloseEvent* e) {
  // Reading stops within a megabyte per worker; nothing waits for the rest.
  loadTimer_->stop();
  followTimer_->stop();
  job_.reset();
  e->accept();
}

void TViewWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void TViewWindow::dropEvent(QDropEvent* e) {
  QStringList files;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) files << u.toLocalFile();
  if (files.isEmpty()) return;
  e->acceptProposedAction();
  OpenFiles(files);
}

bool TViewWindow::eventFilter(QObject* watched, QEvent* e) {
  if (watched == plot_ && e->type() == QEvent::Wheel) {
    auto* w = static_cast<QWheelEvent*>(e);
    const int steps = w->angleDelta().y();
    if (steps == 0) return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // One undo step per turn of the wheel, not per notch.
    if (now - lastWheel_ > 600) PushView();
    lastWheel_ = now;
    const int x = std::clamp(static_cast<int>(w->position().x()), plot_->FieldLeft(),
                             plot_->FieldRight() - 1);
    ZoomTime(std::pow(0.8, steps / 120.0), plot_->BottomAxis().PixelToValue(x));
    return true;
  }
  if (watched == plot_ && e->type() == QEvent::Leave) readout_->clear();
  return QMainWindow::eventFilter(watched, e);
}

}  // namespace qxview
