// CPU clocks per thread and process, quantiles, the noisy walk with a spike
// at a fixed count of readings, resident size from /proc, the table's print.
#include "bench/BenchSupport.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <sstream>

namespace bench {

namespace {
double CpuMs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}
}  // namespace

double ThreadCpuMs() {
  return CpuMs(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessCpuMs() {
  return CpuMs(CLOCK_PROCESS_CPUTIME_ID);
}

double Quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  // Nearest rank: the smallest value with at least q of the samples at or
  // below it.
  const double rank = std::ceil(q * static_cast<double>(sorted.size()));
  size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return sorted[std::min(i, sorted.size() - 1)];
}

TStats Summarize(std::vector<double> samples) {
  TStats s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  s.Samples = static_cast<int>(samples.size());
  s.Median = Quantile(samples, 0.5);
  s.P95 = Quantile(samples, 0.95);
  s.Max = samples.back();
  s.Mean = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
  return s;
}

TSignal::TSignal(uint64_t seed, double noiseSigma) : rng_(seed), sigma_(noiseSigma) {}

double TSignal::Next(int channel, double centre, bool* spike) {
  if (channel < 0) channel = 0;
  if (static_cast<size_t>(channel) >= walk_.size()) walk_.resize(channel + 1, 0.0);
  double& w = walk_[channel];
  // Mean reversion keeps the walk within a few degrees over any run length.
  w += 0.02 * unit_(rng_) - 0.0005 * w;
  double v = centre + w + sigma_ * unit_(rng_);
  ++produced_;
  const bool isSpike = produced_ % SpikeEvery == 0;
  if (isSpike) v += SpikeSigmas * sigma_;
  if (spike) *spike = isSpike;
  return v;
}

int64_t ResidentBytes() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream in(line.substr(6));
      int64_t kb = 0;
      in >> kb;
      return kb * 1024;
    }
  }
  return 0;
}

TTable::TTable(std::vector<std::pair<std::string, int>> columns) : cols_(std::move(columns)) {}

void TTable::Header() const {
  std::vector<std::string> names;
  for (const auto& c : cols_) names.push_back(c.first);
  Row(names);
  std::string rule;
  for (const auto& c : cols_) rule += std::string(static_cast<size_t>(c.second), '-') + " ";
  std::cout << rule << "\n";
}

void TTable::Row(const std::vector<std::string>& cells) const {
  std::string out;
  for (size_t i = 0; i < cols_.size(); ++i) {
    std::string cell = i < cells.size() ? cells[i] : "";
    const size_t w = static_cast<size_t>(cols_[i].second);
    // The first column is a label (left), the others numbers (right).
    if (cell.size() < w) {
      if (i == 0)
        cell += std::string(w - cell.size(), ' ');
      else
        cell = std::string(w - cell.size(), ' ') + cell;
    }
    out += cell + " ";
  }
  std::cout << out << std::endl;
}

std::string Fmt(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Ratio(double a, double b) {
  if (!(b > 0)) return "-";
  const double r = a / b;
  return Fmt(r, r >= 100 ? 0 : 1) + "x";
}

}  // namespace bench
