#pragma once
// A cap on the size of files this process writes, for the tests of a disk
// that fills up part way through a line: writes beyond it fail with EFBIG
// (the signal that would end the process is ignored meanwhile). The old cap
// and signal handling come back when the object goes.
#include <signal.h>
#include <sys/resource.h>

namespace qxtest {

class TFileSizeLimit {
 public:
  TFileSizeLimit() {
    ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~TFileSizeLimit() {
    if (ok_) setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
  // Files may grow to `bytes`; false when the cap could not be set.
  bool Set(rlim_t bytes) {
    if (!ok_) return false;
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    return setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  // The cap as it was, before the object goes.
  void Lift() {
    if (ok_) setrlimit(RLIMIT_FSIZE, &saved_);
  }

 private:
  struct rlimit saved_ {};
  bool ok_ = false;
  void (*oldHandler_)(int) = SIG_DFL;
};

}  // namespace qxtest
