#pragma once
// The readings of one or more log files in memory: runs of lines with the
// same column count and rising time ("segments"), each kept in chunks with
// a min/max pyramid per column so that a pixel column of any width is
// reduced to its first, lowest, highest and last value in a few steps.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/QxFormat.h"
#include "viewer/LogFormat.h"

namespace qxview {

// Rows of one segment read in one piece of a file.
class TChunk {
 public:
  explicit TChunk(int columns);
  int Columns() const { return columns_; }
  int64_t Rows() const { return static_cast<int64_t>(times_.size()); }
  const std::vector<double>& Times() const { return times_; }
  int32_t Value(int c, int64_t row) const { return values_[row * columns_ + c]; }
  const int32_t* Row(int64_t row) const { return values_.data() + row * columns_; }

  void Reserve(size_t rows);
  void Append(double time, const int32_t* values);
  // After the last Append: trims spare room and builds the pyramid.
  void Finish();

  // Valid (not N/A) values of column c in rows [a, b).
  bool MinMax(int c, int64_t a, int64_t b, int32_t& mn, int32_t& mx) const;
  int64_t FirstValid(int c, int64_t a, int64_t b) const;  // -1: none
  int64_t LastValid(int c, int64_t a, int64_t b) const;   // -1: none
  bool ColumnRange(int c, int32_t& mn, int32_t& mx) const { return MinMax(c, 0, Rows(), mn, mx); }
  size_t Bytes() const;

  static constexpr int Fan = 16;

 private:
  struct TMinMax {
    int32_t Min, Max;  // Min > Max: no valid value in the block
  };
  bool ValidAt(int c, int level, int64_t i) const;
  int64_t Descend(int c, int level, int64_t i, bool first) const;
  int64_t FirstAt(int c, int level, int64_t a, int64_t b) const;
  int64_t LastAt(int c, int level, int64_t a, int64_t b) const;
  int64_t LevelSize(int level) const;

  int columns_;
  std::vector<double> times_;
  // Row by row, all columns of a row together: the lines are drawn one
  // after the other over the same rows, and so find them in the cache.
  std::vector<int32_t> values_;
  // [level - 1][block * columns + column]: blocks of Fan^level rows.
  std::vector<std::vector<TMinMax>> pyramid_;
};

enum TSegmentStart { ssFileStart, ssColumns, ssTimeBack, ssAfterGap };

struct TSegment {
  int File = 0;
  int Columns = 0;
  int64_t FirstLine = 0;  // 1-based line number in its file
  TSegmentStart Start = ssFileStart;
  std::vector<std::unique_ptr<TChunk>> Chunks;
  std::vector<int64_t> ChunkBase;  // row number of each chunk's first row
  int64_t Rows = 0;
  double TMin = 0, TMax = 0;
  void Add(std::unique_ptr<TChunk> c);
};

struct TNote {
  std::string File;
  int64_t Line = 0;  // 0: about the whole file
  std::string Text;
  bool Error = false;  // bad input, as opposed to information
};

// Lines of a piece of a file, as the reader hands them over.
struct TRun {
  std::unique_ptr<TChunk> Chunk;
  int64_t FirstLine = 0;  // within the piece, 0-based
  TSegmentStart Start = ssAfterGap;
  double PrevTime = 0;  // time of the line before, for ssTimeBack
};
struct TPiece {
  int File = 0;
  std::vector<TRun> Runs;
  struct TBad {
    int64_t Line;  // within the piece, 0-based
    TLineError Error;
  };
  std::vector<TBad> Bad;  // the first few
  int64_t BadCount = 0;
  int64_t Lines = 0;        // complete lines it held
  int64_t End = 0;          // file offset after its last complete line
  bool Incomplete = false;  // the file ended inside a line
  int64_t IncompleteBytes = 0;
  TDateCache Cache;
};

struct TFileInfo {
  std::string Path;
  TLogFormat Format;
  std::string FormatText;
  int64_t Lines = 0;     // complete lines taken in
  int64_t Consumed = 0;  // file offset after the last complete line
  int64_t Size = 0;      // size when last looked at
  int64_t BadLines = 0;
  int64_t BadNoted = 0;
  int64_t TimeBackNoted = 0;
  bool Incomplete = false;
  int Segment = -1;  // its last segment
  double LastTime = 0;
  bool Failed = false;  // could not be read at all
  TDateCache Cache;
};

class TLogData {
 public:
  int AddFile(const std::string& path, const TLogFormat& f, const std::string& formatText);
  std::vector<TFileInfo>& Files() { return files_; }
  const std::vector<TFileInfo>& Files() const { return files_; }
  // Takes a piece of a file in file order.
  void AddPiece(TPiece&& p);
  void AddNote(TNote n) { notes_.push_back(std::move(n)); }

  const std::vector<TSegment>& Segments() const { return segments_; }
  const std::vector<TNote>& Notes() const { return notes_; }
  int Columns() const { return columns_; }  // the most of any segment
  int64_t Rows() const { return rows_; }
  bool TimeRange(double& t0, double& t1) const;
  // Over all segments, in hundredths; false when the column has no value.
  bool ColumnRange(int c, int32_t& mn, int32_t& mx) const;
  // The row nearest to time t; false when there is no row.
  bool Nearest(double t, int& segment, int& chunk, int64_t& row) const;
  size_t Bytes() const;
  // Bumped by every change, for caches that depend on the rows.
  uint64_t Stamp() const { return stamp_; }

  static constexpr int MaxBadNotesPerFile = 20;
  static constexpr int MaxTimeBackNotesPerFile = 20;

 private:
  std::vector<TFileInfo> files_;
  std::vector<TSegment> segments_;
  std::vector<TNote> notes_;
  std::vector<int32_t> colMin_, colMax_;
  int columns_ = 0;
  int64_t rows_ = 0;
  uint64_t stamp_ = 1;
};

std::string FormatStamp(double t);  // in the user's regional settings

// The time axis's label format for a view `span` days wide, from the
// regional settings: the date and the time without seconds over days, with
// seconds down to minutes, and below that the time alone with milliseconds.
std::string TimeAxisFormat(double span, const TFormatSettings& fs);

}  // namespace qxview
