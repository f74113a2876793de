// The viewer window's loading: the reader thread started and polled, the
// result taken over, and the follow mode that reads what a running program
// appends to its log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "viewer/ViewWindow.h"
#include "viewer/ViewWindowText.h"

namespace qxview {

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

}  // namespace qxview
