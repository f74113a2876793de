// Point storage of the line series: a ring of points with per-block Y
// extremes, kept on large memory pages once it is big.
#include "diagram/plot/sgr_data.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

Tsp_XYDataSeries::Tsp_XYDataSeries(QObject* owner) : Tsp_DataSeries(owner) {
  lineAttr_.SetOnChange([this] { AttrChanged(false); });
}

Tsp_XYDataSeries::~Tsp_XYDataSeries() {
  lineAttr_.SetOnChange(nullptr);
  SetPlot(nullptr);
}

void Tsp_XYDataSeries::SetActive(bool a) {
  if (a == active_) return;
  active_ = a;
  if (Plot()) Plot()->SeriesChanged(this);
}

void Tsp_XYDataSeries::SetLineAttr(const Tsp_CustomLineAttr& a) {
  if (lineAttr_.SameAs(a)) return;
  lineAttr_.Assign(a);
  AttrChanged(false);
}

void Tsp_XYDataSeries::AttrChanged(bool) {
  if (Plot() && active_) Plot()->InvalidateParts(false, false, true);
}

namespace {
constexpr size_t kLargePage = size_t(2) << 20;
constexpr size_t kLargeFrom = size_t(1) << 20;
size_t LargeBufferBytes(size_t bytes) {
  return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}
}  // namespace

void* AllocateLargeBuffer(size_t bytes) {
  if (bytes < kLargeFrom) return ::operator new(bytes);
  // Fresh pages straight from the system, aligned to a large page: memory the
  // heap hands back was already touched in small pages and would stay in
  // them (the heap serves a buffer the size of one it was given back).
  const size_t rounded = LargeBufferBytes(bytes);
  void* raw = ::mmap(nullptr, rounded + kLargePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const begin = static_cast<char*>(raw);
  char* const p = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(begin) + kLargePage - 1) &
                                          ~static_cast<uintptr_t>(kLargePage - 1));
  if (p > begin) ::munmap(begin, static_cast<size_t>(p - begin));
  char* const end = begin + rounded + kLargePage;
  if (end > p + rounded) ::munmap(p + rounded, static_cast<size_t>(end - (p + rounded)));
  // Only a request: without large pages the buffer works the same.
  ::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void FreeLargeBuffer(void* p, size_t bytes) {
  if (bytes < kLargeFrom)
    ::operator delete(p);
  else
    ::munmap(p, LargeBufferBytes(bytes));
}

void Tsp_XYDataSeries::Grow() {
  // Room grows in multiples of 32 points, by half of what it has, so that
  // appending stays cheap at hundreds of thousands of points.
  long long extra = std::max(32LL, ((static_cast<long long>(cap_) / 2 + 31) / 32) * 32);
  long long ncap = cap_ + extra;
  if (ncap > std::numeric_limits<int>::max() / 2) throw std::bad_alloc();
  std::vector<TXY, TLargeBufferAllocator<TXY>> n(static_cast<size_t>(ncap));
  for (int i = 0; i < count_; ++i) n[i] = pts_[Phys(i)];
  pts_.swap(n);
  cap_ = static_cast<int>(ncap);
  head_ = 0;
  bmin0_.assign((cap_ + 31) / 32, kInf);
  bmax0_.assign((cap_ + 31) / 32, -kInf);
  bmin1_.assign((cap_ + 1023) / 1024, kInf);
  bmax1_.assign((cap_ + 1023) / 1024, -kInf);
  RebuildBlocks();
}

void Tsp_XYDataSeries::RebuildBlocks() {
  std::fill(bmin0_.begin(), bmin0_.end(), kInf);
  std::fill(bmax0_.begin(), bmax0_.end(), -kInf);
  std::fill(bmin1_.begin(), bmin1_.end(), kInf);
  std::fill(bmax1_.begin(), bmax1_.end(), -kInf);
  for (int i = 0; i < count_; ++i) {
    int p = Phys(i);
    double y = pts_[p].y;
    if (y < bmin0_[p >> 5]) bmin0_[p >> 5] = y;
    if (y > bmax0_[p >> 5]) bmax0_[p >> 5] = y;
    if (y < bmin1_[p >> 10]) bmin1_[p >> 10] = y;
    if (y > bmax1_[p >> 10]) bmax1_[p >> 10] = y;
  }
}

// Slots are written in ring order, so the first slot of a block starts the
// block afresh; a block that still holds older live points at that moment
// also holds the ring's head and is never used whole until the head passes.
void Tsp_XYDataSeries::MergeBlock(int p, double y) {
  int b0 = p >> 5, b1 = p >> 10;
  if ((p & 31) == 0) {
    bmin0_[b0] = kInf;
    bmax0_[b0] = -kInf;
  }
  if ((p & 1023) == 0) {
    bmin1_[b1] = kInf;
    bmax1_[b1] = -kInf;
  }
  if (y < bmin0_[b0]) bmin0_[b0] = y;
  if (y > bmax0_[b0]) bmax0_[b0] = y;
  if (y < bmin1_[b1]) bmin1_[b1] = y;
  if (y > bmax1_[b1]) bmax1_[b1] = y;
}

void Tsp_XYDataSeries::Store(double x, double y) {
  if (count_ == cap_) Grow();
  if (count_ == 0) {
    extValid_ = true;
    hasX_ = hasY_ = false;
  } else if (!InOrder(pts_[Phys(count_ - 1)].x, x)) {
    ++descents_;
  }
  if (std::isnan(y)) ++nanY_;
  int p = Phys(count_);
  pts_[p] = {x, y};
  MergeBlock(p, y);
  if (extValid_) {
    if (std::isfinite(x)) {
      if (!hasX_) {
        xMin_ = xMax_ = x;
        hasX_ = true;
      } else if (x < xMin_) {
        xMin_ = x;
      } else if (x > xMax_) {
        xMax_ = x;
      }
    }
    if (std::isfinite(y)) {
      if (!hasY_) {
        yMin_ = yMax_ = y;
        hasY_ = true;
      } else if (y < yMin_) {
        yMin_ = y;
      } else if (y > yMax_) {
        yMax_ = y;
      }
    }
  }
  ++count_;
}

void Tsp_XYDataSeries::NotifyPlot() {
  Tsp_XYPlot* pl = Plot();
  if (!pl) return;
  if (active_) pl->SeriesChanged(this);
  pl->RepaintNow();
}

void Tsp_XYDataSeries::AddXY(double x, double y) {
  Store(x, y);
  NotifyPlot();
}

void Tsp_XYDataSeries::Delete(int index) {
  if (index < 0 || index >= count_) return;
  extValid_ = false;
  auto descAt = [&](int i) {
    return i >= 0 && i + 1 < count_ && !InOrder(GetX(i), GetX(i + 1)) ? 1 : 0;
  };
  int before = descAt(index - 1) + descAt(index);
  int after = index > 0 && index + 1 < count_ && !InOrder(GetX(index - 1), GetX(index + 1)) ? 1 : 0;
  if (std::isnan(GetY(index))) --nanY_;
  descents_ += after - before;
  if (index == 0) {
    // Dropping the oldest point only moves the start.
    head_ = Phys(1);
    --count_;
    ++firstSeq_;
  } else {
    for (int i = index; i + 1 < count_; ++i) pts_[Phys(i)] = pts_[Phys(i + 1)];
    --count_;
    ++editStamp_;
    RebuildBlocks();
  }
  if (count_ == 0) {
    head_ = 0;
    descents_ = 0;
    nanY_ = 0;
  }
  NotifyPlot();
}

void Tsp_XYDataSeries::Clear() {
  if (count_ == 0) return;
  firstSeq_ += count_;
  count_ = 0;
  head_ = 0;
  descents_ = 0;
  nanY_ = 0;
  extValid_ = false;
  NotifyPlot();
}

double Tsp_XYDataSeries::GetX(int index) const {
  if (index < 0 || index >= count_) return 0;
  return pts_[Phys(index)].x;
}

double Tsp_XYDataSeries::GetY(int index) const {
  if (index < 0 || index >= count_) return 0;
  return pts_[Phys(index)].y;
}

void Tsp_XYDataSeries::CalcExtremes() {
  // After the oldest points of a long line were dropped, sorted X keeps its
  // finite extremes at the two ends and the block summaries give Y, so the
  // next repaint does not pay a pass over every stored point. Infinite Y
  // values would hide the finite extremes in the summaries: full pass then.
  double mn = 0, mx = 0;
  const bool anyY = RangeMinMaxY(0, count_, mn, mx);
  if (XSorted() && (!anyY || (std::isfinite(mn) && std::isfinite(mx)))) {
    int a = 0, b = count_ - 1;
    while (a <= b && !std::isfinite(GetX(a))) ++a;
    while (b >= a && !std::isfinite(GetX(b))) --b;
    hasX_ = a <= b;
    if (hasX_) {
      xMin_ = GetX(a);
      xMax_ = GetX(b);
    }
    hasY_ = anyY;
    if (hasY_) {
      yMin_ = mn;
      yMax_ = mx;
    }
    extValid_ = true;
    return;
  }
  hasX_ = hasY_ = false;
  for (int i = 0; i < count_; ++i) {
    const TXY& t = pts_[Phys(i)];
    if (std::isfinite(t.x)) {
      if (!hasX_) {
        xMin_ = xMax_ = t.x;
        hasX_ = true;
      } else if (t.x < xMin_) {
        xMin_ = t.x;
      } else if (t.x > xMax_) {
        xMax_ = t.x;
      }
    }
    if (std::isfinite(t.y)) {
      if (!hasY_) {
        yMin_ = yMax_ = t.y;
        hasY_ = true;
      } else if (t.y < yMin_) {
        yMin_ = t.y;
      } else if (t.y > yMax_) {
        yMax_ = t.y;
      }
    }
  }
  extValid_ = true;
}

bool Tsp_XYDataSeries::GetXMin(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasX_) v = xMin_;
  return hasX_;
}
bool Tsp_XYDataSeries::GetXMax(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasX_) v = xMax_;
  return hasX_;
}
bool Tsp_XYDataSeries::GetYMin(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasY_) v = yMin_;
  return hasY_;
}
bool Tsp_XYDataSeries::GetYMax(double& v) {
  if (count_ == 0) return false;
  if (!extValid_) CalcExtremes();
  if (hasY_) v = yMax_;
  return hasY_;
}

namespace {
// Min and max of the Y values of len contiguous points (NaN is passed over).
// Four running pairs keep the comparisons independent of each other, so the
// scan is not held up by one long chain of dependent minimums.
template <typename TPoint>
void ScanMinMaxY(const TPoint* pt, int len, double& mn, double& mx) {
  double a0 = mn, a1 = mn, a2 = mn, a3 = mn, b0 = mx, b1 = mx, b2 = mx, b3 = mx;
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const double y0 = pt[k].y, y1 = pt[k + 1].y, y2 = pt[k + 2].y, y3 = pt[k + 3].y;
    a0 = y0 < a0 ? y0 : a0;
    a1 = y1 < a1 ? y1 : a1;
    a2 = y2 < a2 ? y2 : a2;
    a3 = y3 < a3 ? y3 : a3;
    b0 = y0 > b0 ? y0 : b0;
    b1 = y1 > b1 ? y1 : b1;
    b2 = y2 > b2 ? y2 : b2;
    b3 = y3 > b3 ? y3 : b3;
  }
  for (; k < len; ++k) {
    const double y = pt[k].y;
    a0 = y < a0 ? y : a0;
    b0 = y > b0 ? y : b0;
  }
  a0 = a1 < a0 ? a1 : a0;
  a2 = a3 < a2 ? a3 : a2;
  mn = a2 < a0 ? a2 : a0;
  b0 = b1 > b0 ? b1 : b0;
  b2 = b3 > b2 ? b3 : b2;
  mx = b2 > b0 ? b2 : b0;
}
}  // namespace

void Tsp_XYDataSeries::ScanPhysMinMax(int p, int q, double& mn, double& mx) const {
  if (q - p < 64) {
    if (p < q) ScanMinMaxY(&pts_[p], q - p, mn, mx);
    return;
  }
  auto one = [&](double y) {
    if (y < mn) mn = y;
    if (y > mx) mx = y;
  };
  while (p < q && (p & 31)) one(pts_[p++].y);
  while (p + 32 <= q) {
    if ((p & 1023) == 0 && p + 1024 <= q) {
      mn = std::min(mn, bmin1_[p >> 10]);
      mx = std::max(mx, bmax1_[p >> 10]);
      p += 1024;
    } else {
      mn = std::min(mn, bmin0_[p >> 5]);
      mx = std::max(mx, bmax0_[p >> 5]);
      p += 32;
    }
  }
  while (p < q) one(pts_[p++].y);
}

bool Tsp_XYDataSeries::RangeMinMaxY(int a, int b, double& mn, double& mx) const {
  a = std::max(a, 0);
  b = std::min(b, count_);
  if (a >= b) return false;
  mn = kInf;
  mx = -kInf;
  int p0 = Phys(a), len = b - a;
  if (p0 + len <= cap_) {
    ScanPhysMinMax(p0, p0 + len, mn, mx);
  } else {
    ScanPhysMinMax(p0, cap_, mn, mx);
    ScanPhysMinMax(0, p0 + len - cap_, mn, mx);
  }
  return mn <= mx;
}
