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

  QLabel* Label1;
  QProgressBar* ProgressBar1;
};
