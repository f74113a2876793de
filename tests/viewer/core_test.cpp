// The log line parser in the regional formats the program writes, format
// detection, the min/max pyramid against plain scans, the reader's pieces,
// segments, notes and growing files, and the CSV export read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "tests/viewer/test_logs.h"
#include "viewer/CsvExport.h"
#include "viewer/LogData.h"
#include "viewer/LogFormat.h"
#include "viewer/LogReader.h"

using namespace qxview;
using viewertest::GermanLine;
using viewertest::WriteText;

namespace {

const TLogFormat German{doDMY, ','};
const TLogFormat US{doMDY, '.'};

TLineError Parse(const std::string& line, const TLogFormat& f, TParsedLine& out) {
  TDateCache cache;
  return ParseLogLine(line.data(), line.data() + line.size(), f, cache, out);
}

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "qxview_" + name;
}

TLogData Load(const std::vector<std::string>& paths, TFormatChoice choice = {}) {
  TLoadJob job(paths, choice, 2);
  TLogData data;
  std::vector<TFileHead> heads;
  while (!job.TakeHeads(heads)) usleep(1000);
  for (const TFileHead& h : heads) {
    const int f = data.AddFile(h.Path, h.Format, "");
    if (!h.Error.empty()) {
      data.Files()[f].Failed = true;
      data.AddNote({h.Path, 0, h.Error, true});
    }
  }
  while (!job.Finished()) {
    TPiece p;
    while (job.TakePiece(p)) data.AddPiece(std::move(p));
    usleep(500);
  }
  return data;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool HasNote(const TLogData& d, int64_t line, const std::string& part) {
  for (const TNote& n : d.Notes())
    if (n.Line == line && n.Text.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(ViewerParse, BothRegionalFormatsAsTheProgramWritesThem) {
  TParsedLine p;
  ASSERT_EQ(Parse("08.12.2026 14:03:07,123    23,45   -1,20  N/A  \r", German, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 12, 8, 14, 3, 7, 123));
  ASSERT_EQ(p.Count, 3);
  EXPECT_EQ(p.Values[0], 2345);
  EXPECT_EQ(p.Values[1], -120);
  EXPECT_EQ(p.Values[2], NaCell);

  ASSERT_EQ(Parse("12/08/2026 02:03:07 PM.123    23.45   -1.20  N/A  ", US, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 12, 8, 14, 3, 7, 123));
  EXPECT_EQ(p.Values[0], 2345);
  EXPECT_EQ(p.Values[2], NaCell);
  // 12 AM is midnight, 12 PM noon; wide numbers are never cut by the writer.
  ASSERT_EQ(Parse("01/02/2026 12:04:05 AM.007   899.99  N/A   -1000.50", US, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 1, 2, 0, 4, 5, 7));
  EXPECT_EQ(p.Values[0], 89999);
  EXPECT_EQ(p.Values[1], NaCell);
  EXPECT_EQ(p.Values[2], -100050);
  ASSERT_EQ(Parse("01/02/2026 12:00:00 PM.000     0.00", US, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 1, 2, 12, 0, 0, 0));
  // Other regional forms: year first, dots with blanks, no leading zeros,
  // two-digit years, a time with dots.
  ASSERT_EQ(Parse("2026-03-04 09:05:30.250    21.50", TLogFormat{doYMD, '.'}, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 3, 4, 9, 5, 30, 250));
  ASSERT_EQ(Parse("4. 3. 2026 9:05:30,250    21,50", German, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 3, 4, 9, 5, 30, 250));
  ASSERT_EQ(Parse("04.03.26 09.05.30,250    21,50   123456,78", German, p), leOk);
  EXPECT_DOUBLE_EQ(p.Time, EncodeDateTime(2026, 3, 4, 9, 5, 30, 250));
  EXPECT_EQ(p.Values[1], 12345678);
}

TEST(ViewerParse, BadLinesAreNamedNotGuessed) {
  TParsedLine p;
  const std::string stamp = "04.03.2026 09:05:30,250 ";
  EXPECT_EQ(Parse("", German, p), leEmpty);
  EXPECT_EQ(Parse("   \r", German, p), leEmpty);
  EXPECT_EQ(Parse("hello world", German, p), leTimestamp);
  EXPECT_EQ(Parse("31.02.2026 09:05:30,250    21,50", German, p), leDate);
  EXPECT_EQ(Parse("04.13.2026 09:05:30,250    21,50", German, p), leDate);
  EXPECT_EQ(Parse("04.03.2026 24:05:30,250    21,50", German, p), leTime);
  EXPECT_EQ(Parse("04.03.2026 13:05:30 PM,250    21,50", German, p), leTime);
  // The wrong decimal separator is caught, both at the milliseconds and in
  // the cells.
  EXPECT_EQ(Parse("04.03.2026 09:05:30.250    21,50", German, p), leTimestamp);
  EXPECT_EQ(Parse(stamp + "   21.50", German, p), leCell);
  EXPECT_EQ(Parse(stamp + "   21,50x", German, p), leCell);
  EXPECT_EQ(Parse(stamp + "   N/Ax", German, p), leCell);
  EXPECT_EQ(Parse(stamp + "   -", German, p), leCell);
  EXPECT_EQ(Parse(stamp + "   99999999999,00", German, p), leRange);
  EXPECT_EQ(Parse(stamp + "   30000000,00", German, p), leRange);
  EXPECT_EQ(Parse(stamp, German, p), leNoCells);
  std::string wide = stamp;
  for (int i = 0; i < 33; ++i) wide += "    1,00";
  EXPECT_EQ(Parse(wide, German, p), leColumns);
  EXPECT_EQ(Parse(stamp + "   21,50\x01\x02", German, p), leBinary);
  EXPECT_EQ(Parse(std::string("\x7f\x45\x4c\x46\x02\x01", 6), German, p), leBinary);
  EXPECT_EQ(Parse(stamp + std::string(MaxLineBytes, ' '), German, p), leTooLong);
  // More than two decimals (not written by the program) round to hundredths.
  ASSERT_EQ(Parse(stamp + "   21,505  -1,994", German, p), leOk);
  EXPECT_EQ(p.Values[0], 2151);
  EXPECT_EQ(p.Values[1], -199);
}

TEST(ViewerDetect, FromTheFirstLinesWithTheReadersOrderAsTieBreak) {
  const std::string de = GermanLine(4, 9, 0, 0, 0, {1, 2}) + GermanLine(13, 9, 0, 0, 0, {1, 2});
  TDetection d = DetectFormat(de.data(), de.size(), doMDY);
  ASSERT_TRUE(d.Found);
  EXPECT_EQ(d.Format, German);
  EXPECT_TRUE(d.OrderCertain);

  const std::string us = "03/13/2026 09:05:30 AM.250    21.50\r\n";
  d = DetectFormat(us.data(), us.size(), doDMY);
  EXPECT_EQ(d.Format, US);
  EXPECT_TRUE(d.OrderCertain);
  // Only early days: slashes leave it to the reader's settings, dots and
  // decimal commas mean day first.
  const std::string early = "03/04/2026 09:05:30.250    21.50\r\n";
  EXPECT_EQ(DetectFormat(early.data(), early.size(), doMDY).Format.Order, doMDY);
  EXPECT_EQ(DetectFormat(early.data(), early.size(), doDMY).Format.Order, doDMY);
  EXPECT_FALSE(DetectFormat(early.data(), early.size(), doDMY).OrderCertain);
  const std::string dots = GermanLine(4, 9, 0, 0, 0, {1});
  EXPECT_EQ(DetectFormat(dots.data(), dots.size(), doMDY).Format.Order, doDMY);
  const std::string iso = "2026-03-04 09:05:30.250    21.50\r\n";
  EXPECT_EQ(DetectFormat(iso.data(), iso.size(), doMDY).Format.Order, doYMD);
  // A later part of the file can settle what the head left open.
  const std::string late = "03/14/2026 09:05:30.250    21.50\r\n";
  const TDetection c = Combine(DetectFormat(early.data(), early.size(), doDMY),
                               DetectFormat(late.data(), late.size(), doDMY));
  EXPECT_EQ(c.Format.Order, doMDY);
  const std::string junk = "\x01\x02 not a log\n";
  EXPECT_FALSE(DetectFormat(junk.data(), junk.size(), doDMY).Found);
  // The user's choice wins over the detection.
  EXPECT_EQ(Resolve(d, TFormatChoice{doYMD, ','}), (TLogFormat{doYMD, ','}));
}

TEST(ViewerPyramid, AgreesWithPlainScansAroundGapsAndBlockEdges) {
  std::mt19937 rng(3);
  for (int n : {1, 15, 16, 17, 255, 256, 4097, 70001}) {
    TChunk c(2);
    std::vector<int32_t> v0, v1;
    bool gap = false;
    for (int i = 0; i < n; ++i) {
      if (rng() % 300 == 0) gap = !gap;  // long runs of N/A
      const int32_t a =
          gap || rng() % 50 == 0 ? NaCell : static_cast<int32_t>(rng() % 20001) - 10000;
      const int32_t b = NaCell;  // a column without any value
      const int32_t row[2] = {a, b};
      c.Append(i, row);
      v0.push_back(a);
      v1.push_back(b);
    }
    c.Finish();
    for (int k = 0; k < 400; ++k) {
      int64_t a = rng() % (n + 1), b = rng() % (n + 1);
      if (a > b) std::swap(a, b);
      int32_t mn = MaxCell, mx = MinCell - 1;
      int64_t first = -1, last = -1;
      for (int64_t i = a; i < b; ++i) {
        if (v0[i] == NaCell) continue;
        if (first < 0) first = i;
        last = i;
        mn = std::min(mn, v0[i]);
        mx = std::max(mx, v0[i]);
      }
      int32_t gmn = 0, gmx = 0;
      ASSERT_EQ(c.MinMax(0, a, b, gmn, gmx), first >= 0) << n << " [" << a << "," << b << ")";
      if (first >= 0) {
        EXPECT_EQ(gmn, mn);
        EXPECT_EQ(gmx, mx);
      }
      ASSERT_EQ(c.FirstValid(0, a, b), first) << n << " [" << a << "," << b << ")";
      ASSERT_EQ(c.LastValid(0, a, b), last) << n << " [" << a << "," << b << ")";
      EXPECT_EQ(c.FirstValid(1, a, b), -1);
      EXPECT_FALSE(c.MinMax(1, a, b, gmn, gmx));
    }
  }
}

TEST(ViewerReader, PiecesSplitAnywhereGiveEveryLineOnce) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += GermanLine(4, 9, 0, i, 0, {double(i), -double(i)});
  text += "garbage line\r\n";
  text += GermanLine(4, 9, 1, 0, 0, {99, 98});
  const std::string path = TempPath("split.log");
  WriteText(path, text);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const int64_t size = static_cast<int64_t>(text.size());
  for (int64_t cut = 0; cut <= size; cut += 7) {
    TPiece a = ParseRange(fd, 0, 0, cut, size, German, true, TDateCache());
    TPiece b = ParseRange(fd, 0, cut, size, size, German, false, TDateCache());
    int64_t rows = 0;
    for (const TPiece* p : {&a, &b})
      for (const TRun& r : p->Runs) rows += r.Chunk->Rows();
    ASSERT_EQ(rows, 41) << "cut at " << cut;
    ASSERT_EQ(a.Lines + b.Lines, 42) << "cut at " << cut;
    ASSERT_EQ(a.BadCount + b.BadCount, 1);
    ASSERT_EQ(b.End, size);
  }
  close(fd);
}

TEST(ViewerReader, SegmentsNotesAndBreaks) {
  std::string text;
  text += GermanLine(4, 9, 0, 0, 0, {20, 21});
  text += GermanLine(4, 9, 0, 10, 0, {950, 21.5});  // N/A
  text += GermanLine(4, 9, 0, 20, 0, {22, 22});
  text += GermanLine(4, 9, 0, 30, 0, {23, 23, 30});                // line 4: a third column
  text += "04.03.2026 09:00:40,000    zz,zz   23,00   30,00\r\n";  // line 5: bad
  text += GermanLine(4, 8, 0, 0, 0, {24, 24, 31});                 // line 6: an hour back
  text += std::string(200000, 'x') + "\r\n";                       // line 7: far too long
  text += GermanLine(4, 8, 0, 10, 0, {25, 25, 32});                // line 8
  text += "04.03.2026 08:00:20,000    26,0";                       // cut off
  const std::string path = TempPath("segments.log");
  WriteText(path, text);
  const TLogData d = Load({path});
  ASSERT_EQ(d.Segments().size(), 3u);
  EXPECT_EQ(d.Segments()[0].Columns, 2);
  EXPECT_EQ(d.Segments()[0].Rows, 3);
  EXPECT_EQ(d.Segments()[1].Columns, 3);
  EXPECT_EQ(d.Segments()[1].FirstLine, 4);
  EXPECT_EQ(d.Segments()[1].Start, ssColumns);
  EXPECT_EQ(d.Segments()[2].FirstLine, 6);
  EXPECT_EQ(d.Segments()[2].Start, ssTimeBack);
  EXPECT_EQ(d.Segments()[2].Rows, 2);
  EXPECT_EQ(d.Columns(), 3);
  EXPECT_EQ(d.Segments()[1].Rows, 1);
  EXPECT_EQ(d.Rows(), 6);
  EXPECT_EQ(d.Segments()[0].Chunks[0]->Value(0, 1), NaCell);
  EXPECT_EQ(d.Segments()[0].Chunks[0]->Value(1, 1), 2150);
  EXPECT_TRUE(HasNote(d, 4, "columns changes from 2 to 3"));
  EXPECT_TRUE(HasNote(d, 5, "neither a number nor N/A"));
  EXPECT_TRUE(HasNote(d, 6, "time goes back"));
  EXPECT_TRUE(HasNote(d, 7, "too long"));
  const TFileInfo& fi = d.Files()[0];
  EXPECT_TRUE(fi.Incomplete);
  EXPECT_EQ(fi.Lines, 8);
  EXPECT_EQ(fi.Consumed, static_cast<int64_t>(text.rfind("04.03.2026 08:00:20")));
  // Column ranges skip N/A.
  int32_t mn, mx;
  ASSERT_TRUE(d.ColumnRange(0, mn, mx));
  EXPECT_EQ(mn, 2000);
  EXPECT_EQ(mx, 2500);
}

TEST(ViewerReader, AGrowingFileIsContinuedWhereItStopped) {
  const std::string path = TempPath("grow.log");
  std::string first = GermanLine(4, 9, 0, 0, 0, {20}) + "04.03.2026 09:00:10,000    2";
  WriteText(path, first);
  TLogData d = Load({path});
  ASSERT_EQ(d.Rows(), 1);
  ASSERT_TRUE(d.Files()[0].Incomplete);
  // The rest of the cut line arrives, and more lines.
  WriteText(path, "1,00\r\n" + GermanLine(4, 9, 0, 20, 0, {22}), true);
  TFileInfo& fi = d.Files()[0];
  const int fd = open(path.c_str(), O_RDONLY);
  const int64_t size = lseek(fd, 0, SEEK_END);
  TPiece p = ParseRange(fd, 0, fi.Consumed, size, size, fi.Format, true, fi.Cache);
  close(fd);
  d.AddPiece(std::move(p));
  ASSERT_EQ(d.Segments().size(), 1u);
  EXPECT_EQ(d.Rows(), 3);
  EXPECT_EQ(d.Segments()[0].Chunks[1]->Value(0, 0), 2100);
  EXPECT_FALSE(d.Files()[0].Incomplete);
  EXPECT_EQ(d.Files()[0].Lines, 3);
}

TEST(ViewerReader, FilesThatAreNoLogs) {
  const std::string empty = TempPath("empty.log"), junk = TempPath("junk.bin");
  WriteText(empty, "");
  std::string bytes;
  std::mt19937 rng(9);
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(rng());
  WriteText(junk, bytes);
  const TLogData d = Load({empty, junk, TempPath("missing.log")});
  EXPECT_EQ(d.Rows(), 0);
  bool emptyNoted = false, missingNoted = false;
  for (const TNote& n : d.Notes()) {
    emptyNoted |= n.File == empty && n.Text == "is empty";
    missingNoted |= n.File.find("missing") != std::string::npos &&
                    n.Text.find("cannot be opened") != std::string::npos;
  }
  EXPECT_TRUE(emptyNoted);
  EXPECT_TRUE(missingNoted);
  int64_t bad = 0;
  for (const TFileInfo& f : d.Files()) bad += f.BadLines;
  EXPECT_GT(bad, 0);
}

TEST(ViewerReader, SeveralFilesInTimeOrderAndPiecesOfALargeFile) {
  // Over two pieces, so the pieces are joined into one segment.
  std::string big;
  int line = 0;
  while (big.size() < static_cast<size_t>(TLoadJob::PieceBytes) * 2 + 1000) {
    big += GermanLine(5, line / 3600 % 24, line / 60 % 60, line % 60, 0,
                      {double(line % 1000), line % 97 == 0 ? 950.0 : 1.0, 2, 3, 4, 5, 6, 7, 8, 9});
    ++line;
    if (line == 86400) break;
  }
  const std::string later = TempPath("big.log"), earlier = TempPath("early.log");
  WriteText(later, big);
  WriteText(earlier, GermanLine(4, 9, 0, 0, 0, {1, 2}));
  const TLogData d = Load({later, earlier});
  ASSERT_EQ(d.Files().size(), 2u);
  EXPECT_EQ(d.Files()[0].Path, earlier);
  ASSERT_EQ(d.Segments().size(), 2u);
  EXPECT_EQ(d.Segments()[1].Rows, line);
  EXPECT_GT(d.Segments()[1].Chunks.size(), 1u);
  EXPECT_EQ(d.Rows(), line + 1);
}

TEST(ViewerCsv, ReadBackGivesTheLogsValues) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  std::string text =
      GermanLine(4, 9, 0, 0, 250, {21.5, 950}) + GermanLine(4, 9, 0, 10, 0, {-3.25, 7});
  text += GermanLine(4, 9, 0, 20, 0, {1, 2, 3});
  const std::string path = TempPath("csv.log");
  WriteText(path, text);
  const TLogData d = Load({path});
  TCsvOptions o;
  o.Columns = {0, 2};
  o.Names = {"Oven, top", "say \"hi\""};
  const std::string out = TempPath("out.csv");
  std::string error;
  int64_t rows = 0;
  ASSERT_TRUE(WriteCsv(d, out, o, error, &rows)) << error;
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(ReadAll(out),
            "Time,\"Oven, top\",\"say \"\"hi\"\"\"\r\n"
            "2026-03-04T09:00:00.250+01:00,21.50,\r\n"
            "2026-03-04T09:00:10.000+01:00,-3.25,\r\n"
            "2026-03-04T09:00:20.000+01:00,1.00,3.00\r\n");
  // The visible range only, and summer time's offset.
  o.All = false;
  o.T0 = EncodeDateTime(2026, 3, 4, 9, 0, 5, 0);
  o.T1 = EncodeDateTime(2026, 3, 4, 9, 0, 15, 0);
  ASSERT_TRUE(WriteCsv(d, out, o, error, &rows));
  EXPECT_EQ(rows, 1);
  EXPECT_NE(ReadAll(out).find("\r\n2026-03-04T09:00:10.000+01:00,-3.25,\r\n"), std::string::npos);
  EXPECT_EQ(IsoStamp(EncodeDateTime(2026, 7, 1, 12, 0, 0, 5)), "2026-07-01T12:00:00.005+02:00");
  // A failed export leaves nothing under the name and says where.
  EXPECT_FALSE(WriteCsv(d, "/nonexistent-dir/x.csv", o, error));
  EXPECT_NE(error.find("/nonexistent-dir/x.csv"), std::string::npos);
  unsetenv("TZ");
  tzset();
}
