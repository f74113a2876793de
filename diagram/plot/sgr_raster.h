#pragma once
// Fills line segments of a wide solid pen straight into a 32-bit image as
// the painter strokes them (long slanted strokes may lie an edge pixel
// apart), at a fraction of the painter's cost.
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRgb>
#include <algorithm>
#include <functional>
#include <vector>

#include "diagram/plot/sgr_def.h"

// Segments with both ends this far outside the field are not drawn.
inline bool FarOff(const QPoint& p) {
  constexpr int kFar = 16000;
  return p.x() < -kFar || p.x() > kFar || p.y() < -kFar || p.y() > kFar;
}

// halfWidth is half the pen's width; only pixels inside clip (which must lie
// inside the image) are written, in the colour c (alpha included).
void FillSegments(QImage& img, const QRect& clip, const std::vector<TPixelSegment>& segs,
                  double halfWidth, QRgb c);

// How many pixel columns a segment's stroke may reach beyond its ends' X
// (square ends and a slanted pen widen it by up to the half width times √2).
inline int SegmentColumnPad(double halfWidth) {
  return static_cast<int>(halfWidth * 1.5) + 2;
}
// The rows top..bottom a stroke between rows y0 and y1 may cover: it reaches
// no further in rows than pad (SegmentColumnPad) does in columns.
inline void SegmentRows(int y0, int y1, int pad, int& top, int& bottom) {
  top = std::min(y0, y1) - pad;
  bottom = std::max(y0, y1) + pad;
}

// FillSegments limited to the pixel columns of runs: each segment is filled
// only inside the runs its stroke can reach, so pixels outside them stay as
// they are.
void FillSegmentsInRuns(QImage& img, const QRect& clip, const std::vector<TPixelSegment>& segs,
                        double halfWidth, QRgb c, const TColumnRuns& runs);

// The pixels FillSegments fills for segment s without a clip, row by row:
// span(row, first column, last column).
void StrokeRows(const TPixelSegment& s, double halfWidth,
                const std::function<void(int row, int c0, int c1)>& span);

// The rows a short segment's stroke covers in each pixel column it reaches:
// column First + k holds rows Rows[k][0]..Rows[k][1]. Within a column the
// stroke of a straight segment is one run of rows. False for segments not
// short enough to be looked up (then use StrokeRows).
struct TStrokeColumns {
  int First = 0, Count = 0;
  int Rows[8][2];
};
bool StrokeColumns(const TPixelSegment& s, double halfWidth, TStrokeColumns& out);
