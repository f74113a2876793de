// Building each chunk's pyramid and walking down it, and joining pieces of
// a file into segments, with notes where a new segment begins.
#include "viewer/LogData.h"

#include <algorithm>
#include <cmath>

#include "common/QxFormat.h"

namespace qxview {

// ---- chunk ----

TChunk::TChunk(int columns) : columns_(columns) {}

void TChunk::Reserve(size_t rows) {
  times_.reserve(rows);
  values_.reserve(rows * columns_);
}

void TChunk::Append(double time, const int32_t* values) {
  times_.push_back(time);
  values_.insert(values_.end(), values, values + columns_);
}

void TChunk::Finish() {
  // Room reserved from an estimate of the line length: give back what is
  // clearly too much, it adds up over a large file.
  if (times_.capacity() > times_.size() + times_.size() / 8 + 64) {
    times_.shrink_to_fit();
    values_.shrink_to_fit();
  }
  pyramid_.clear();
  const int cols = columns_;
  int64_t below = Rows();
  if (below <= Fan) return;
  auto build = [&](auto get) {
    const int64_t blocks = (below + Fan - 1) / Fan;
    std::vector<TMinMax> up(static_cast<size_t>(blocks * cols));
    for (int64_t b = 0; b < blocks; ++b) {
      TMinMax* out = up.data() + b * cols;
      for (int c = 0; c < cols; ++c) out[c] = {MaxCell, MinCell - 1};
      const int64_t e = std::min(below, (b + 1) * Fan);
      for (int64_t i = b * Fan; i < e; ++i)
        for (int c = 0; c < cols; ++c) {
          const TMinMax m = get(i, c);
          if (m.Min > m.Max) continue;
          out[c].Min = std::min(out[c].Min, m.Min);
          out[c].Max = std::max(out[c].Max, m.Max);
        }
    }
    pyramid_.push_back(std::move(up));
    below = blocks;
  };
  build([this, cols](int64_t i, int c) {
    const int32_t v = values_[i * cols + c];
    return v == NaCell ? TMinMax{MaxCell, MinCell - 1} : TMinMax{v, v};
  });
  while (below > Fan) {
    const size_t level = pyramid_.size() - 1;
    build([this, cols, level](int64_t i, int c) { return pyramid_[level][i * cols + c]; });
  }
}

size_t TChunk::Bytes() const {
  size_t b = times_.capacity() * sizeof(double) + values_.capacity() * sizeof(int32_t);
  for (const auto& l : pyramid_) b += l.capacity() * sizeof(TMinMax);
  return b;
}

int64_t TChunk::LevelSize(int level) const {
  if (level == 0) return Rows();
  return static_cast<int64_t>(pyramid_[level - 1].size()) / columns_;
}

bool TChunk::ValidAt(int c, int level, int64_t i) const {
  if (level == 0) return values_[i * columns_ + c] != NaCell;
  const TMinMax& m = pyramid_[level - 1][i * columns_ + c];
  return m.Min <= m.Max;
}

bool TChunk::MinMax(int c, int64_t a, int64_t b, int32_t& mn, int32_t& mx) const {
  a = std::max<int64_t>(a, 0);
  b = std::min(b, Rows());
  int32_t lo = MaxCell, hi = MinCell - 1;
  const int cols = columns_;
  int level = 0;
  auto take = [&](int64_t i) {
    if (level == 0) {
      const int32_t v = values_[i * cols + c];
      if (v == NaCell) return;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    } else {
      const TMinMax& m = pyramid_[level - 1][i * cols + c];
      if (m.Min > m.Max) return;
      lo = std::min(lo, m.Min);
      hi = std::max(hi, m.Max);
    }
  };
  // Ends at level 0 up to block edges, then the inside a level higher.
  const int levels = static_cast<int>(pyramid_.size());
  while (a < b) {
    if (level == levels || b - a < 2 * Fan) {
      for (int64_t i = a; i < b; ++i) take(i);
      break;
    }
    for (; a < b && a % Fan != 0; ++a) take(a);
    for (; b > a && b % Fan != 0;) take(--b);
    a /= Fan;
    b /= Fan;
    ++level;
  }
  if (lo > hi) return false;
  mn = lo;
  mx = hi;
  return true;
}

// The first (or last) valid row inside block i of a level.
int64_t TChunk::Descend(int c, int level, int64_t i, bool first) const {
  while (level > 0) {
    const int64_t lo = i * Fan, hi = std::min((i + 1) * Fan, LevelSize(level - 1));
    --level;
    int64_t found = -1;
    if (first) {
      for (int64_t k = lo; k < hi; ++k)
        if (ValidAt(c, level, k)) {
          found = k;
          break;
        }
    } else {
      for (int64_t k = hi - 1; k >= lo; --k)
        if (ValidAt(c, level, k)) {
          found = k;
          break;
        }
    }
    if (found < 0) return -1;  // the summary said otherwise; cannot happen
    i = found;
  }
  return i;
}

int64_t TChunk::FirstAt(int c, int level, int64_t a, int64_t b) const {
  const int levels = static_cast<int>(pyramid_.size());
  while (a < b) {
    if (a % Fan == 0 && level < levels && b - a >= Fan) {
      const int64_t r = FirstAt(c, level + 1, a / Fan, b / Fan);
      if (r >= 0) return r;  // already a row
      a = (b / Fan) * Fan;
      continue;
    }
    if (ValidAt(c, level, a)) return Descend(c, level, a, true);
    ++a;
  }
  return -1;
}

int64_t TChunk::LastAt(int c, int level, int64_t a, int64_t b) const {
  const int levels = static_cast<int>(pyramid_.size());
  while (a < b) {
    if (b % Fan == 0 && level < levels && b - a >= Fan) {
      const int64_t ua = (a + Fan - 1) / Fan;
      const int64_t r = LastAt(c, level + 1, ua, b / Fan);
      if (r >= 0) return r;
      b = ua * Fan;
      continue;
    }
    if (ValidAt(c, level, b - 1)) return Descend(c, level, b - 1, false);
    --b;
  }
  return -1;
}

int64_t TChunk::FirstValid(int c, int64_t a, int64_t b) const {
  a = std::max<int64_t>(a, 0);
  b = std::min(b, Rows());
  return FirstAt(c, 0, a, b);
}

int64_t TChunk::LastValid(int c, int64_t a, int64_t b) const {
  a = std::max<int64_t>(a, 0);
  b = std::min(b, Rows());
  return LastAt(c, 0, a, b);
}

// ---- segments and data ----

void TSegment::Add(std::unique_ptr<TChunk> c) {
  if (!c || c->Rows() == 0) return;
  const double t0 = c->Times().front(), t1 = c->Times().back();
  if (Rows == 0) {
    TMin = t0;
    TMax = t1;
  } else {
    TMin = std::min(TMin, t0);
    TMax = std::max(TMax, t1);
  }
  ChunkBase.push_back(Rows);
  Rows += c->Rows();
  Chunks.push_back(std::move(c));
}

int TLogData::AddFile(const std::string& path, const TLogFormat& f, const std::string& text) {
  TFileInfo fi;
  fi.Path = path;
  fi.Format = f;
  fi.FormatText = text;
  files_.push_back(std::move(fi));
  ++stamp_;
  return static_cast<int>(files_.size()) - 1;
}

void TLogData::AddPiece(TPiece&& p) {
  if (p.File < 0 || p.File >= static_cast<int>(files_.size())) return;
  TFileInfo& fi = files_[p.File];
  const int64_t base = fi.Lines;  // lines of the file before this piece
  for (const TPiece::TBad& b : p.Bad) {
    if (fi.BadNoted >= MaxBadNotesPerFile) break;
    ++fi.BadNoted;
    notes_.push_back({fi.Path, base + b.Line + 1, LineErrorText(b.Error), true});
  }
  fi.BadLines += p.BadCount;
  for (TRun& r : p.Runs) {
    if (!r.Chunk || r.Chunk->Rows() == 0) continue;
    const int cols = r.Chunk->Columns();
    const double t0 = r.Chunk->Times().front();
    TSegmentStart start = r.Start;
    if (start == ssAfterGap) {
      // The piece began with this run: decide against the file's last line.
      if (fi.Segment < 0)
        start = ssFileStart;
      else if (segments_[fi.Segment].Columns != cols)
        start = ssColumns;
      else if (t0 < fi.LastTime)
        start = ssTimeBack, r.PrevTime = fi.LastTime;
    }
    const int64_t line = base + r.FirstLine + 1;
    if (start == ssAfterGap && fi.Segment >= 0) {
      segments_[fi.Segment].Add(std::move(r.Chunk));
    } else {
      if (start == ssColumns) {
        const int before = fi.Segment >= 0 ? segments_[fi.Segment].Columns : 0;
        notes_.push_back({fi.Path, line,
                          "the number of columns changes from " + std::to_string(before) + " to " +
                              std::to_string(cols) + "; a new segment begins",
                          false});
      } else if (start == ssTimeBack) {
        if (fi.TimeBackNoted < MaxTimeBackNotesPerFile)
          notes_.push_back({fi.Path, line,
                            "the time goes back from " + FormatStamp(r.PrevTime) + " to " +
                                FormatStamp(t0) + "; a new segment begins",
                            true});
        ++fi.TimeBackNoted;
      }
      TSegment s;
      s.File = p.File;
      s.Columns = cols;
      s.FirstLine = line;
      s.Start = start;
      segments_.push_back(std::move(s));
      fi.Segment = static_cast<int>(segments_.size()) - 1;
      segments_.back().Add(std::move(r.Chunk));
    }
    TSegment& seg = segments_[fi.Segment];
    const TChunk& c = *seg.Chunks.back();
    fi.LastTime = c.Times().back();
    rows_ += c.Rows();
    columns_ = std::max(columns_, cols);
    if (static_cast<int>(colMin_.size()) < columns_) {
      colMin_.resize(columns_, MaxCell);
      colMax_.resize(columns_, MinCell - 1);
    }
    for (int k = 0; k < cols; ++k) {
      int32_t mn, mx;
      if (c.ColumnRange(k, mn, mx)) {
        colMin_[k] = std::min(colMin_[k], mn);
        colMax_[k] = std::max(colMax_[k], mx);
      }
    }
  }
  fi.Lines = base + p.Lines;
  fi.Consumed = std::max(fi.Consumed, p.End);
  fi.Incomplete = p.Incomplete;
  fi.Cache = p.Cache;
  ++stamp_;
}

bool TLogData::TimeRange(double& t0, double& t1) const {
  bool any = false;
  for (const TSegment& s : segments_) {
    if (s.Rows == 0) continue;
    if (!any) {
      t0 = s.TMin;
      t1 = s.TMax;
      any = true;
    } else {
      t0 = std::min(t0, s.TMin);
      t1 = std::max(t1, s.TMax);
    }
  }
  return any;
}

bool TLogData::ColumnRange(int c, int32_t& mn, int32_t& mx) const {
  if (c < 0 || c >= static_cast<int>(colMin_.size()) || colMin_[c] > colMax_[c]) return false;
  mn = colMin_[c];
  mx = colMax_[c];
  return true;
}

bool TLogData::Nearest(double t, int& segment, int& chunk, int64_t& row) const {
  double best = INFINITY;
  for (int s = 0; s < static_cast<int>(segments_.size()); ++s) {
    const TSegment& seg = segments_[s];
    if (seg.Rows == 0) continue;
    // The chunk whose range holds t, or the nearest one.
    auto it = std::upper_bound(
        seg.Chunks.begin(), seg.Chunks.end(), t,
        [](double v, const std::unique_ptr<TChunk>& c) { return v < c->Times().front(); });
    for (int k : {static_cast<int>(it - seg.Chunks.begin()) - 1,
                  static_cast<int>(it - seg.Chunks.begin())}) {
      if (k < 0 || k >= static_cast<int>(seg.Chunks.size())) continue;
      const std::vector<double>& ts = seg.Chunks[k]->Times();
      auto r = std::lower_bound(ts.begin(), ts.end(), t);
      for (auto q : {r - 1, r}) {
        if (q < ts.begin() || q >= ts.end()) continue;
        const double d = std::fabs(*q - t);
        if (d < best) {
          best = d;
          segment = s;
          chunk = k;
          row = q - ts.begin();
        }
      }
    }
  }
  return std::isfinite(best);
}

size_t TLogData::Bytes() const {
  size_t b = 0;
  for (const TSegment& s : segments_)
    for (const auto& c : s.Chunks) b += c->Bytes();
  return b;
}

std::string TimeAxisFormat(double span, const TFormatSettings& fs) {
  if (span >= 3) return fs.ShortDateFormat + " " + fs.ShortTimeFormat();
  if (span >= 2.0 / 1440) return fs.ShortDateFormat + " " + fs.LongTimeFormat;
  // As the log writes its stamps: the separator right after the time.
  return fs.LongTimeFormat + "\"" + std::string(1, fs.DecimalSeparator) + "\"zzz";
}

std::string FormatStamp(double t) {
  const TFormatSettings& fs = FormatSettings();
  return FormatDateTime(fs.ShortDateFormat + " " + fs.LongTimeFormat, t) +
         std::string(1, fs.DecimalSeparator) + FormatDateTime("zzz", t);
}

}  // namespace qxview
