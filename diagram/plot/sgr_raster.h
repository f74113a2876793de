#pragma once
// Fills line segments of a wide solid pen straight into a 32-bit image as
// the painter strokes them (long slanted strokes may lie an edge pixel
// apart), at a fraction of the painter's cost.
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRgb>
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
