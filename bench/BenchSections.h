#pragma once
// The benchmark's sections; each prints its table and adds its targets.
#include <algorithm>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

namespace bench {

struct TOptionsBench {
  bool Quick = false;
  std::vector<std::string> Only;
  std::string Sim;           // quilex-sim; empty: next to Self
  std::string Self;          // this program
  std::string Sets = "ABC";  // data sets of the diagram section
  std::string Images;        // directory for the compared pictures; empty: none
  // Over the pty, only passes of one kind (for profiling): "shipped",
  // "every" (every drawing on two threads) or "one"; empty: all alternate.
  std::string Draw;
  bool Wants(const std::string& section) const {
    return Only.empty() || std::find(Only.begin(), Only.end(), section) != Only.end();
  }
};

void RunDiagram(const TOptionsBench& opt, std::vector<TTarget>& targets);
void RunTrim(const TOptionsBench& opt, std::vector<TTarget>& targets);
// The diagram at a line's pace (one reading after an idle spell).
void RunPace(const TOptionsBench& opt, std::vector<TTarget>& targets);
void RunLoop(const TOptionsBench& opt, std::vector<TTarget>& targets);
void RunLogLine(const TOptionsBench& opt, std::vector<TTarget>& targets);
void RunMemory(const TOptionsBench& opt, std::vector<TTarget>& targets);
void RunViewer(const TOptionsBench& opt, std::vector<TTarget>& targets);
// Publishing to a broker on loopback; only where the publishing library is built.
void RunPublish(const TOptionsBench& opt, std::vector<TTarget>& targets);
// Child-process body of the memory section; prints "rss <empty> <full> <raw>".
int RunRssProbe();

}  // namespace bench
