#include "viewer/ViewWindow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
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
#include <QSaveFile>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QThread>
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

namespace qxview {

namespace {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

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

// ---- reading ----

void TViewWindow::OpenFiles(const QStringList& paths) {
  paths_ = paths;
  StartLoad();
}

void TViewWindow::StartLoad() {
  job_.reset();
  for (TViewSeries* s : series_) s->SetPlot(nullptr);
  data_.reset(new TLogData);
  for (TViewSeries* s : series_) delete s;
  series_.clear();
  heads_.clear();
  undo_.clear();
  userView_ = false;
  notesShown_ = 0;
  notes_->clear();
  fatal_.clear();
  pictureSent_ = false;
  readPending_ = false;
  geometry_ = TViewGeometry();
  std::vector<std::string> files;
  for (const QString& p : paths_) files.push_back(p.toLocal8Bit().toStdString());
  QStringList names;
  for (const QString& p : paths_) names << QFileInfo(p).fileName();
  setWindowTitle(names.isEmpty() ? "Quilex Log Viewer" : names.join(", ") + " - Quilex Log Viewer");
  UpdateChannels();
  if (files.empty()) {
    plot_->Invalidate();
    return;
  }
  job_ = std::make_unique<TLoadJob>(files, choice_);
  progress_->setValue(0);
  progress_->show();
  status_->setText("Reading...");
  loadTimer_->start();
}

void TViewWindow::PollLoad() {
  if (!job_) return;
  bool changed = false;
  std::vector<TFileHead> heads;
  if (job_->TakeHeads(heads)) {
    heads_ = heads;
    double t0 = 0, t1 = 0;
    bool any = false;
    QStringList formats;
    for (const TFileHead& h : heads_) {
      const int f = data_->AddFile(h.Path, h.Format, DescribeFormat(h.Format));
      TFileInfo& fi = data_->Files()[f];
      fi.Size = h.Size;
      if (!h.Error.empty()) {
        fi.Failed = true;
        data_->AddNote({h.Path, 0, h.Error, true});
        fatal_ << Q(h.Path) + " " + Q(h.Error);
        continue;
      }
      std::string text = DescribeFormat(h.Format);
      if (!h.Detection.Found)
        text += " (no readable line among the first)";
      else if (!h.Detection.OrderCertain && choice_.Order == doAuto)
        text += " (day and month order assumed)";
      formats << QFileInfo(Q(h.Path)).fileName() + ": " + Q(text);
      if (h.HasTimes) {
        t0 = any ? std::min(t0, h.FirstTime) : h.FirstTime;
        t1 = any ? std::max(t1, h.LastTime) : h.LastTime;
        any = true;
      }
    }
    formatLabel_->setText(formats.join("\n"));
    if (any) {
      // The whole time range from the first and last lines, so the first
      // picture already spans it while the body is still being read.
      if (t1 <= t0) t1 = t0 + 1.0 / 1440;
      plot_->BottomAxis().SetMinMax(t0, t1);
      plot_->Invalidate();
    }
    changed = true;
  }
  TPiece piece;
  while (job_->TakePiece(piece)) {
    data_->AddPiece(std::move(piece));
    changed = true;
  }
  TakeNotes(job_->TakeErrors());
  const int64_t total = job_->TotalBytes();
  if (total > 0)
    progress_->setValue(static_cast<int>(1000.0 * job_->DoneBytes() / static_cast<double>(total)));
  const bool finished = job_->Finished();
  if (changed) {
    UpdateChannels();
    UpdateNotes();
    if (!userView_) AutoRangeY();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // While reading, a picture every few tenths of a second is enough; the
    // processors are better used reading.
    if (finished || now - lastDraw_ >= 250) {
      lastDraw_ = now;
      plot_->Invalidate();
    }
  }
  if (finished) FinishLoad();
}

void TViewWindow::FinishLoad() {
  loadTimer_->stop();
  job_.reset();
  progress_->hide();
  for (TFileInfo& fi : data_->Files()) {
    if (fi.Failed) continue;
    if (fi.Lines == 0 || data_->Rows() == 0 ||
        std::none_of(data_->Segments().begin(), data_->Segments().end(),
                     [&](const TSegment& s) { return data_->Files()[s.File].Path == fi.Path; })) {
      const std::string text = fi.Lines == 0 ? "holds no complete line"
                                             : "holds no log line of this program (" +
                                                   std::to_string(fi.BadLines) + " bad lines)";
      data_->AddNote({fi.Path, 0, text, true});
      fatal_ << Q(fi.Path) + " " + Q(text);
    } else if (fi.BadLines > fi.BadNoted) {
      data_->AddNote({fi.Path, 0,
                      std::to_string(fi.BadLines) + " bad lines skipped in all (the first " +
                          std::to_string(fi.BadNoted) + " are listed)",
                      true});
    }
    if (fi.TimeBackNoted > TLogData::MaxTimeBackNotesPerFile)
      data_->AddNote({fi.Path, 0,
                      "the time goes back " + std::to_string(fi.TimeBackNoted) + " times in all",
                      true});
    if (fi.Incomplete)
      data_->AddNote({fi.Path, fi.Lines + 1,
                      "the last line has no line end yet; it is shown once it is complete", false});
  }
  UpdateChannels();
  UpdateNotes();
  if (!userView_) ShowWholeRange();
  plot_->Invalidate();
  readPending_ = true;
  UpdateStatus();
  if (!fatal_.isEmpty() && ShowError) {
    const QString text = fatal_.join("\n");
    fatal_.clear();
    ShowError(text);
  }
}

bool TViewWindow::WaitLoaded(int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (job_) {
    if (t.elapsed() > timeoutMs) return false;
    PollLoad();
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (job_) QThread::msleep(2);
  }
  QApplication::processEvents();
  return true;
}

bool TViewWindow::Following() const {
  return followBox_->isChecked();
}

void TViewWindow::SetFollowing(bool on) {
  followBox_->setChecked(on);
}

void TViewWindow::PollFollow() {
  if (job_ || !followBox_->isChecked()) return;
  bool changed = false;
  for (int i = 0; i < static_cast<int>(data_->Files().size()); ++i) {
    TFileInfo& fi = data_->Files()[i];
    if (fi.Failed) continue;
    struct stat st {};
    if (stat(fi.Path.c_str(), &st) != 0) continue;  // gone for now; it may come back
    const int64_t size = st.st_size;
    if (size < fi.Consumed) {
      // Truncated or replaced: what is shown no longer matches the file.
      const std::string path = fi.Path;
      const int64_t before = fi.Consumed;
      StartLoad();
      data_->AddNote({path, 0,
                      "the file became shorter (" + std::to_string(size) + " bytes, was " +
                          std::to_string(before) + "); it was read again from the start",
                      true});
      UpdateNotes();
      return;
    }
    if (size == fi.Size || size <= fi.Consumed) {
      fi.Size = size;
      continue;
    }
    fi.Size = size;
    const int fd = open(fi.Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string error;
    const bool wasIncomplete = fi.Incomplete;
    TPiece p = ParseRange(fd, i, fi.Consumed, size, size, fi.Format, true, fi.Cache, nullptr,
                          nullptr, &error);
    ::close(fd);
    if (!error.empty()) data_->AddNote({fi.Path, 0, error, true});
    if (p.Lines > 0 || p.Incomplete != wasIncomplete) {
      data_->AddPiece(std::move(p));
      changed = true;
    }
  }
  if (!changed) return;
  const TView v = CurrentView();
  double t0, t1;
  UpdateChannels();
  UpdateNotes();
  UpdateStatus();
  if (!userView_ && data_->TimeRange(t0, t1)) {
    // Showing everything: keep showing everything.
    ShowWholeRange();
  } else if (data_->TimeRange(t0, t1) && v.X1 < t1 && v.X1 >= t1 - (v.X1 - v.X0) * 0.5) {
    // A zoom near the end moves along with the new lines.
    plot_->BottomAxis().SetMinMax(t1 - (v.X1 - v.X0), t1);
  }
  plot_->Invalidate();
}

void TViewWindow::TakeNotes(const std::vector<TNote>& notes) {
  for (const TNote& n : notes) data_->AddNote(n);
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

// ---- getting data out ----

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
