#pragma once
// One column of the log as a line of the plot, drawn from the data's
// min/max pyramid: per pixel column the first, lowest, highest and last
// reading, so a single-reading spike always shows however far the view is
// zoomed out. N/A readings break the line; nothing joins across them.
#include <QColor>
#include <cstdint>
#include <memory>
#include <vector>

#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"
#include "viewer/LogData.h"

namespace qxview {

// Which rows fall into which pixel column, per chunk; shared by all lines,
// since they have the same times.
class TViewGeometry {
 public:
  struct TEdges {
    bool Left = false, Right = false;  // the whole chunk lies left / right of the field
    int X0 = 0;                        // pixel of the first column
    std::vector<int64_t> E;            // rows of column X0 + i are [E[i], E[i + 1])
  };
  // Recomputed only when the rows, the time mapping or the field changed.
  void Update(const TLogData& data, const Tsp_Axis& ax, int fieldLeft, int fieldRight);
  const TEdges& Edges(int segment, int chunk) const { return edges_[segment][chunk]; }

 private:
  struct TKey {
    uint64_t Stamp = 0;
    double Ppu = 0, Op = 0, Ov = 0;
    int L = 0, R = 0;
    bool operator==(const TKey& o) const {
      return Stamp == o.Stamp && Ppu == o.Ppu && Op == o.Op && Ov == o.Ov && L == o.L && R == o.R;
    }
  };
  TKey key_;
  std::vector<std::vector<TEdges>> edges_;
};

class TViewSeries : public Tsp_DataSeries {
  Q_OBJECT
 public:
  TViewSeries(const TLogData* data, TViewGeometry* geometry, int column, QObject* owner = nullptr);
  ~TViewSeries() override;

  int Column() const { return column_; }
  bool Shown() const { return shown_; }
  void SetShown(bool on);
  QColor Color() const;
  bool IsActive() const override;

  void Draw() override;
  bool GetXMin(double& v) override;
  bool GetXMax(double& v) override;
  bool GetYMin(double& v) override;
  bool GetYMax(double& v) override;
  void DrawLegendSample(QPainter& canvas, const QRect& r) override;
  TDirect DirectPrepare() override;
  void DirectBuild(std::vector<TPixelSegment>& segs) override;
  void DirectFill(const std::vector<TPixelSegment>& segs, QImage& img, const QRect& clip) override;

  // The segments of the present view (for tests and the benchmark).
  void Build(std::vector<TPixelSegment>& segs);

 private:
  bool InView();
  const TLogData* data_;
  TViewGeometry* geometry_;
  int column_;
  bool shown_ = true;
  // Never attached to a plot: it only fills pixels with the line's pen.
  Tsp_XYLine pen_;
};

}  // namespace qxview
