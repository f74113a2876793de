// Reading log files for the viewer: the head of each file (format, first and
// last time), then the bodies in pieces on worker threads, with progress and
// a way to stop.
#include "viewer/LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qxview {

namespace {

constexpr size_t BufferBytes = 1 << 20;
constexpr size_t MaxBadPerPiece = TLogData::MaxBadNotesPerFile;

ssize_t ReadAt(int fd, char* buf, size_t n, int64_t off) {
  for (;;) {
    const ssize_t r = pread(fd, buf, n, static_cast<off_t>(off));
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// Reads errno, so it must come straight after the failed read.
void NoteReadError(std::string* error, int64_t at) {
  if (error)
    *error = std::string("read error at byte ") + std::to_string(at) + ": " + std::strerror(errno);
}

enum TLineSeek { lsFound, lsStopped, lsNoLine };

// A piece that may start inside a line begins after the first line end at or
// after start - 1; that line belongs to the piece before. lsStopped covers a
// read error and a cancel, where the piece stays empty at start.
TLineSeek SeekLineStart(int fd, int64_t start, int64_t limit, char* buf,
                        const std::atomic<bool>* cancel, std::string* error, int64_t& pos) {
  int64_t q = start - 1;
  while (q < limit) {
    const ssize_t n = ReadAt(fd, buf, std::min<int64_t>(BufferBytes, limit - q), q);
    if (n < 0) {
      NoteReadError(error, q);
      return lsStopped;
    }
    if (n == 0) break;
    if (const void* nl = std::memchr(buf, '\n', static_cast<size_t>(n))) {
      pos = q + (static_cast<const char*>(nl) - buf) + 1;
      return lsFound;
    }
    q += n;
    if (cancel && cancel->load(std::memory_order_relaxed)) return lsStopped;
  }
  return lsNoLine;
}

// The state of one piece's body read, shared by its steps: lines are cut from
// a buffer that is refilled from the file until the piece end.
struct TBodyRead {
  TPiece& P;
  const TLogFormat& F;
  int Fd;
  int64_t End, Limit;
  const std::atomic<bool>* Cancel;
  std::atomic<int64_t>* Progress;
  std::string* Error;
  std::vector<char>& Buf;
  int64_t Pos;  // file offset of Buf[0]
  size_t Have = 0, Ls = 0;
  int64_t LineNo = 0;
  TRun* Run = nullptr;
  double LastTime = 0;
  TParsedLine Pl;
  bool Skipping = false;  // inside a line longer than MaxLineBytes

  TBodyRead(TPiece& p, const TLogFormat& f, int fd, int64_t end, int64_t limit,
            const std::atomic<bool>* cancel, std::atomic<int64_t>* progress, std::string* error,
            std::vector<char>& buf, int64_t pos)
      : P(p),
        F(f),
        Fd(fd),
        End(end),
        Limit(limit),
        Cancel(cancel),
        Progress(progress),
        Error(error),
        Buf(buf),
        Pos(pos) {}

  void Bad(TLineError e) {
    if (P.Bad.size() < MaxBadPerPiece) P.Bad.push_back({LineNo, e});
    ++P.BadCount;
  }

  // A new run starts at the first line, at a change of column count and
  // where time goes back.
  void TakeLine(const char* b, size_t nl) {
    const TLineError e = ParseLogLine(b + Ls, b + nl, F, P.Cache, Pl);
    if (e != leOk) {
      Bad(e);
      return;
    }
    if (!Run || Run->Chunk->Columns() != Pl.Count || Pl.Time < LastTime) {
      TSegmentStart why =
          !Run ? ssAfterGap : (Run->Chunk->Columns() != Pl.Count ? ssColumns : ssTimeBack);
      P.Runs.push_back(TRun{std::make_unique<TChunk>(Pl.Count), LineNo, why, LastTime});
      // The first run of a piece is nearly always the only one:
      // room for the rest of the piece at this line's length.
      const size_t len = nl - Ls + 1;
      const int64_t rest = std::max<int64_t>(0, End - (Pos + static_cast<int64_t>(Ls)));
      const size_t rows = Run ? 256 : static_cast<size_t>(rest / len + rest / len / 16 + 16);
      Run = &P.Runs.back();
      Run->Chunk->Reserve(rows);
    }
    Run->Chunk->Append(Pl.Time, Pl.Values);
    LastTime = Pl.Time;
  }

  // The line ending at Buf[nl]; false once the piece end is reached.
  bool EndLine(size_t nl) {
    if (Skipping)
      Skipping = false;
    else
      TakeLine(Buf.data(), nl);
    ++LineNo;
    Ls = nl + 1;
    P.End = Pos + static_cast<int64_t>(Ls);
    return P.End < End;
  }

  // No line end in the buffer: keep the partial line (or drop an overlong
  // one) and read more. False on cancel, read error or the end of the file.
  bool Refill() {
    if (!Skipping && Have - Ls > MaxLineBytes) {
      Bad(leTooLong);
      Skipping = true;
    }
    if (Skipping) {
      Pos += static_cast<int64_t>(Have);
      Have = Ls = 0;
    } else {
      std::memmove(Buf.data(), Buf.data() + Ls, Have - Ls);
      Pos += static_cast<int64_t>(Ls);
      Have -= Ls;
      Ls = 0;
    }
    if (Cancel && Cancel->load(std::memory_order_relaxed)) return false;
    const int64_t at = Pos + static_cast<int64_t>(Have);
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(Buf.size() - Have), Limit - at);
    ssize_t n = 0;
    if (want > 0) {
      n = ReadAt(Fd, Buf.data() + Have, static_cast<size_t>(want), at);
      if (n < 0) {
        NoteReadError(Error, at);
        return false;
      }
    }
    if (n == 0) {
      // The file ends inside a line (it may still be being written).
      if (Have > 0 || Skipping) {
        P.Incomplete = true;
        P.IncompleteBytes = at - P.End;
      }
      return false;
    }
    if (Progress) Progress->fetch_add(n, std::memory_order_relaxed);
    Have += static_cast<size_t>(n);
    return true;
  }
};

}  // namespace

TPiece ParseRange(int fd, int file, int64_t start, int64_t end, int64_t limit, const TLogFormat& f,
                  bool atLine, const TDateCache& cache, const std::atomic<bool>* cancel,
                  std::atomic<int64_t>* progress, std::string* error) {
  TPiece p;
  p.File = file;
  p.Cache = cache;
  p.End = start;
  std::vector<char> buf(BufferBytes + MaxLineBytes + 1);
  int64_t pos = start;  // file offset of buf[0]
  if (!atLine && start > 0) {
    switch (SeekLineStart(fd, start, limit, buf.data(), cancel, error, pos)) {
      case lsFound:
        break;
      case lsStopped:
        return p;
      case lsNoLine:
        p.End = limit;
        return p;
    }
  }
  p.End = pos;
  if (progress) progress->fetch_add(pos - start, std::memory_order_relaxed);
  if (pos >= end) return p;

  TBodyRead r(p, f, fd, end, limit, cancel, progress, error, buf, pos);
  for (;;) {
    const char* const b = buf.data();
    if (const void* nlp = r.Have > r.Ls ? std::memchr(b + r.Ls, '\n', r.Have - r.Ls) : nullptr) {
      if (!r.EndLine(static_cast<size_t>(static_cast<const char*>(nlp) - b))) break;
      continue;
    }
    if (!r.Refill()) break;
  }
  p.Lines = r.LineNo;
  for (TRun& run : p.Runs) run.Chunk->Finish();
  return p;
}

namespace {

// Later dates may settle what the first day left open (the 4th of March
// reads either way, the 13th does not): the last `len` bytes are read too.
void SettleDateOrder(int fd, size_t len, TFileHead& h) {
  std::vector<char> tailBuf(len);
  const int64_t at = h.Size - static_cast<int64_t>(tailBuf.size());
  const ssize_t tn = ReadAt(fd, tailBuf.data(), tailBuf.size(), at);
  if (tn > 0) {
    const char* b = tailBuf.data();
    const char* nl = static_cast<const char*>(std::memchr(b, '\n', static_cast<size_t>(tn)));
    if (nl) {
      ++nl;
      h.Detection = Combine(h.Detection,
                            DetectFormat(nl, static_cast<size_t>(b + tn - nl), LocaleDateOrder()));
    }
  }
}

// The time of the first (or, with `last`, the last) readable line in b..e;
// false when none reads.
std::pair<bool, double> ScanTime(const char* b, const char* e, bool last, const TLogFormat& format,
                                 TDateCache& cache, TParsedLine& pl) {
  bool got = false;
  double t = 0;
  const char* p = b;
  while (p < e) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
    if (!nl) break;
    if (ParseLogLine(p, nl, format, cache, pl) == leOk) {
      t = pl.Time;
      got = true;
      if (!last) break;
    }
    p = nl + 1;
  }
  return std::make_pair(got, t);
}

// First and last readable lines, for the time order of several files and the
// time axis before the body is read. `buf` holds the file's first n bytes and
// is reused for its last ones.
void ReadTimeSpan(int fd, std::vector<char>& buf, ssize_t n, TFileHead& h) {
  TDateCache cache;
  TParsedLine pl;
  const auto first = ScanTime(buf.data(), buf.data() + n, false, h.Format, cache, pl);
  if (!first.first) return;
  h.HasTimes = true;
  h.FirstTime = h.LastTime = first.second;
  const int64_t tail = std::max<int64_t>(0, h.Size - static_cast<int64_t>(buf.size()));
  n = ReadAt(fd, buf.data(), buf.size(), tail);
  if (n <= 0) return;
  const char* b = buf.data();
  const char* e = b + n;
  if (tail > 0) {
    const char* nl = static_cast<const char*>(std::memchr(b, '\n', static_cast<size_t>(n)));
    b = nl ? nl + 1 : e;
  }
  const auto last = ScanTime(b, e, true, h.Format, cache, pl);
  if (last.first && last.second >= h.FirstTime) h.LastTime = last.second;
}

}  // namespace

TFileHead ReadHead(const std::string& path, const TFormatChoice& choice) {
  TFileHead h;
  h.Path = path;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    h.Error = std::string("cannot be opened: ") + std::strerror(errno);
    return h;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    h.Error = S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a plain file";
    close(fd);
    return h;
  }
  h.Size = st.st_size;
  if (h.Size == 0) {
    h.Error = "is empty";
    close(fd);
    return h;
  }
  std::vector<char> buf(64 * 1024);
  ssize_t n = ReadAt(fd, buf.data(), buf.size(), 0);
  if (n < 0) {
    h.Error = std::string("cannot be read: ") + std::strerror(errno);
    close(fd);
    return h;
  }
  h.Detection = DetectFormat(buf.data(), static_cast<size_t>(n), LocaleDateOrder());
  if (!h.Detection.OrderCertain && h.Size > static_cast<int64_t>(buf.size()))
    SettleDateOrder(fd, buf.size(), h);
  h.Format = Resolve(h.Detection, choice);
  ReadTimeSpan(fd, buf, n, h);
  close(fd);
  return h;
}

TLoadJob::TLoadJob(std::vector<std::string> paths, TFormatChoice choice, int threads)
    : paths_(std::move(paths)), choice_(choice), threads_(threads) {
  if (threads_ <= 0) threads_ = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  coordinator_ = std::thread([this] { Run(); });
}

TLoadJob::~TLoadJob() {
  Cancel();
  if (coordinator_.joinable()) coordinator_.join();
  for (int fd : fds_)
    if (fd >= 0) close(fd);
}

void TLoadJob::Cancel() {
  cancel_ = true;
  wake_.notify_all();
}

void TLoadJob::Run() {
  std::vector<TFileHead> heads;
  for (const std::string& p : paths_) {
    if (cancel_) break;
    heads.push_back(ReadHead(p, choice_));
  }
  // Several files make one time line: in the order of their first lines.
  std::stable_sort(heads.begin(), heads.end(), [](const TFileHead& a, const TFileHead& b) {
    if (a.HasTimes != b.HasTimes) return a.HasTimes;
    return a.HasTimes && a.FirstTime < b.FirstTime;
  });
  std::vector<int> fds;
  std::vector<TPieceJob> jobs;
  int64_t total = 0;
  for (size_t i = 0; i < heads.size(); ++i) {
    int fd = -1;
    if (heads[i].Error.empty()) {
      fd = open(heads[i].Path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) heads[i].Error = std::string("cannot be opened: ") + std::strerror(errno);
    }
    fds.push_back(fd);
    if (fd < 0) continue;
    const int64_t size = heads[i].Size;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (int64_t s = 0; s < size; s += PieceBytes)
      jobs.push_back({static_cast<int>(i), s, std::min(size, s + PieceBytes), size});
    total += size;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heads_ = heads;
    fds_ = fds;
    jobs_ = jobs;
    results_.resize(jobs_.size());
    ready_.assign(jobs_.size(), 0);
    headsReady_ = true;
    planned_ = true;
  }
  total_ = total;
  const int n = std::min<int>(threads_, static_cast<int>(jobs.size()));
  for (int i = 0; i < n; ++i) workers_.emplace_back([this] { Work(); });
  for (std::thread& t : workers_) t.join();
}

void TLoadJob::Work() {
  for (;;) {
    if (cancel_) return;
    const size_t i = nextJob_.fetch_add(1);
    if (i >= jobs_.size()) return;
    const TPieceJob& j = jobs_[i];
    std::string error;
    TPiece p = ParseRange(fds_[j.File], j.File, j.Start, j.End, j.Limit, heads_[j.File].Format,
                          j.Start == 0, TDateCache(), &cancel_, &done_, &error);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error.empty()) errors_.push_back({heads_[j.File].Path, 0, error, true});
    results_[i] = std::move(p);
    ready_[i] = 1;
  }
}

bool TLoadJob::TakeHeads(std::vector<TFileHead>& heads) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!headsReady_ || headsTaken_) return false;
  heads = heads_;
  headsTaken_ = true;
  return true;
}

bool TLoadJob::TakePiece(TPiece& piece) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!planned_ || !headsTaken_ || taken_ >= ready_.size() || !ready_[taken_]) return false;
  piece = std::move(results_[taken_]);
  results_[taken_] = TPiece();
  ++taken_;
  return true;
}

bool TLoadJob::Finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancel_) return true;
  return planned_ && headsTaken_ && taken_ >= ready_.size();
}

std::vector<TNote> TLoadJob::TakeErrors() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TNote> e;
  e.swap(errors_);
  return e;
}

}  // namespace qxview
