#pragma once
// The small tool window shown while the bus is scanned: the label
// "Connecting..." and a bar over the bus addresses probed so far.
#include <QLabel>
#include <QProgressBar>
#include <QWidget>

class TStatusWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TStatusWindow(QWidget* parent = nullptr);

  // Shows `done` of the bus addresses as probed and paints the window at once.
  // The scan blocks the window thread, so nothing else is let through here:
  // no queued events, no user input, only this window's own paint.
  void ShowProgress(int done);

  // While a lost line is awaited: "Reconnecting..." and, below the bar, when
  // the line was lost and how many tries were made. The window grows for it.
  void ShowReconnecting(const QString& detail);
  // Back to the window of a plain connect.
  void EndReconnecting();

  QLabel* Label1;
  QProgressBar* ProgressBar1;
  QLabel* Label2;  // the reconnect detail, hidden otherwise
};
