#pragma once
// The log line as the main program writes it, read back: date in the
// writer's short date format, time in its long time format, milliseconds
// after its decimal separator, then one cell per channel ("%7.2f" with that
// separator, or "  N/A  "). The regional format is not stored in the file,
// so it is recognised from the lines themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ChannelColors.h"

namespace qxview {

// Cell values are kept in hundredths: the writer prints two decimals, so
// this holds them exactly in half the room of a double.
constexpr int32_t NaCell = INT32_MIN;
constexpr int32_t MaxCell = INT32_MAX;
constexpr int32_t MinCell = INT32_MIN + 1;
constexpr int MaxColumns = MaxChannels;
// Longer lines are not log lines (32 channels take under 400 bytes).
constexpr size_t MaxLineBytes = 64 * 1024;

enum TDateOrder { doAuto, doDMY, doMDY, doYMD };

struct TLogFormat {
  TDateOrder Order = doDMY;
  char Decimal = '.';  // '.' or ','
  bool operator==(const TLogFormat& o) const { return Order == o.Order && Decimal == o.Decimal; }
  bool operator!=(const TLogFormat& o) const { return !(*this == o); }
};

// What the user chose; doAuto / 0 mean "as detected".
struct TFormatChoice {
  TDateOrder Order = doAuto;
  char Decimal = 0;
};

enum TLineError {
  leOk,
  leEmpty,      // blank line
  leTimestamp,  // no date and time at the start
  leDate,       // date fields out of range
  leTime,       // time fields out of range
  leCell,       // a cell is neither a number nor N/A
  leRange,      // a number too large to keep
  leColumns,    // more than MaxColumns cells
  leNoCells,    // a timestamp without any cell
  leTooLong,    // longer than MaxLineBytes
  leBinary,     // control characters or bytes no writer produces
};
const char* LineErrorText(TLineError e);

// Remembers the last date text so that lines of the same day skip the
// calendar arithmetic.
struct TDateCache {
  char Text[24] = {};
  size_t Len = 0;
  double Value = 0;
};

struct TParsedLine {
  double Time = 0;
  int Count = 0;
  int32_t Values[MaxColumns];
};

// One line without its line end (a trailing CR is ignored).
TLineError ParseLogLine(const char* b, const char* e, const TLogFormat& f, TDateCache& cache,
                        TParsedLine& out);

// The fields of a timestamp as written, before the date order is known.
struct TRawStamp {
  int G[3] = {0, 0, 0};       // the three date numbers in written order
  int Digits[3] = {0, 0, 0};  // how many digits each had
  char Decimal = 0;           // separator before the milliseconds
  char DateSep = 0;           // first date separator
};
bool ScanStamp(const char* b, const char* e, TRawStamp& out);

struct TDetection {
  bool Found = false;  // at least one line with a timestamp
  TLogFormat Format;
  bool OrderCertain = false;  // a day above 12 or a four-digit year settled it
  char DateSep = 0;
  std::string Description;  // e.g. "day.month.year, decimal comma"
};
// From the first lines of a file (any bytes; stops at `maxLines` lines).
// `fallback` settles day/month order when no line does (the reader's own
// settings).
TDetection DetectFormat(const char* data, size_t size, TDateOrder fallback, int maxLines = 200);
// Combines the detections of a file's head and tail: a tail whose dates
// settle the day/month order that the head left open wins.
TDetection Combine(const TDetection& head, const TDetection& tail);
// The user's regional order, as the tie-breaker.
TDateOrder LocaleDateOrder();
TLogFormat Resolve(const TDetection& d, const TFormatChoice& c);
std::string DescribeFormat(const TLogFormat& f);

}  // namespace qxview
