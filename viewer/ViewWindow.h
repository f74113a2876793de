#pragma once
// The log viewer's window: the plot of the diagram over the whole log, a
// channel list with show/hide boxes and editable names, a readout of the
// values under the mouse, notes on what the files held, and export of the
// data (CSV), the picture (PNG/BMP) and a printed page.
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "diagram/XPrinter.h"
#include "viewer/LogData.h"
#include "viewer/LogReader.h"
#include "viewer/ViewSeries.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPrinter;
class QProgressBar;
class QTableWidget;
class QTimer;
class Tsp_XYPlot;

namespace qxview {

class TViewWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit TViewWindow(QWidget* parent = nullptr);
  ~TViewWindow() override;

  // Starts reading the files (replacing what is shown); returns at once.
  void OpenFiles(const QStringList& paths);
  const QStringList& Paths() const { return paths_; }
  bool Loading() const { return job_ != nullptr; }
  // Processes events until the files are read; false on timeout.
  bool WaitLoaded(int timeoutMs);
  // Takes what the reader has ready (the load timer's work).
  void PollLoad();
  // Looks for lines added to the files (the follow timer's work).
  void PollFollow();
  bool Following() const;
  void SetFollowing(bool on);

  TLogData& Data() { return *data_; }
  Tsp_XYPlot* Plot() const { return plot_; }
  TViewSeries* Series(int column) const;
  TFormatChoice FormatChoice() const { return choice_; }
  void SetFormatChoice(const TFormatChoice& c);

  void ShowWholeRange();
  // Back to the view before the last zoom, pan or wheel step.
  bool UndoView();
  // Time axis narrower (factor < 1) or wider around a time.
  void ZoomTime(double factor, double centre);

  QString ChannelName(int column) const;
  void SetChannelName(int column, const QString& name);
  bool ChannelShown(int column) const;
  void SetChannelShown(int column, bool on);

  bool ExportCsv(const QString& path, bool all, QString* error = nullptr);
  // PNG or BMP by the name's suffix (PNG when it has none).
  bool SavePicture(const QString& path, QString* error = nullptr);
  // The picture: the plot with the shown channels' names below it.
  QImage Picture();
  // The picture below a white strip holding the comment, as printed.
  QImage ComposePrintImage(const QString& comment);
  bool PrintImage(const QImage& image);
  // What the readout shows for the mouse at x (plot coordinates).
  QString ReadoutAt(int x) const;
  QString NotesText() const;
  QString StatusText() const;
  TXPrint& XPrint1() { return xprint_; }

  // Dialogs, replaceable for tests.
  std::function<QStringList()> AskOpenFiles;
  std::function<QString(const QString& title, const QString& filter)> AskSaveFileName;
  std::function<bool(QString& comment)> AskComment;
  std::function<bool(QPrinter& printer)> PrinterSetup;
  std::function<void(const QString& text)> ShowError;
  // "picture": first drawing of the whole time range; "read": the files
  // are read and drawn.
  std::function<void(const char* event)> OnEvent;

  static constexpr int CommentStripHeight = 20;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  struct TView {
    double X0, X1, Y0, Y1;
  };
  void BuildUi();
  void StartLoad();
  void FinishLoad();
  void UpdateChannels();
  void UpdateNotes();
  void UpdateStatus();
  void AutoRangeY();
  void PushView();
  void SetView(const TView& v);
  TView CurrentView();
  void DrawEnd();
  void OpenClick();
  void ExportClick(bool all);
  void SavePictureClick();
  void PrintClick();
  void FormatChanged();
  void TickLabel(Tsp_Axis* axis, double v, std::string& s);
  void TakeNotes(const std::vector<TNote>& notes);

  std::unique_ptr<TLogData> data_;
  TViewGeometry geometry_;
  std::unique_ptr<TLoadJob> job_;
  std::vector<TFileHead> heads_;
  QStringList paths_;
  TFormatChoice choice_;
  Tsp_XYPlot* plot_ = nullptr;
  std::vector<TViewSeries*> series_;
  std::vector<QString> names_;
  std::vector<bool> shown_;
  QTableWidget* channels_ = nullptr;
  QComboBox* orderBox_ = nullptr;
  QComboBox* decimalBox_ = nullptr;
  QCheckBox* followBox_ = nullptr;
  QLabel* formatLabel_ = nullptr;
  QLabel* readout_ = nullptr;
  QLabel* status_ = nullptr;
  QPlainTextEdit* notes_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QTimer* loadTimer_ = nullptr;
  QTimer* followTimer_ = nullptr;
  QAction* print1_ = nullptr;
  size_t notesShown_ = 0;
  bool userView_ = false;  // the operator zoomed or panned: keep the view
  bool updatingTable_ = false;
  bool pictureSent_ = false, readPending_ = false;
  qint64 lastDraw_ = 0;
  std::vector<TView> undo_;
  qint64 lastWheel_ = 0;
  QStringList fatal_;
  TXPrint xprint_;
};

}  // namespace qxview
