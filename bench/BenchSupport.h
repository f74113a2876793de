#pragma once
// Small measuring harness: timers, order statistics, the synthetic
// temperature signal, resident size, and the result table.
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bench {

inline double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread (ms): what it computed, without the time it
// slept or waited for the disk or the line.
double ThreadCpuMs();
// CPU time of all the process's threads (the drawing helper and the log
// flusher too).
double ProcessCpuMs();

// Median, 95th percentile and maximum of a set of durations (ms).
struct TStats {
  double Median = 0, P95 = 0, Max = 0, Mean = 0;
  int Samples = 0;
};
// Nearest-rank percentiles; an empty set gives all zeros.
TStats Summarize(std::vector<double> samples);
// Value at quantile q (0..1) by nearest rank of the sorted samples.
double Quantile(const std::vector<double>& sorted, double q);

// A random walk pulled gently towards a centre, with measurement noise on top
// and a spike of 10 noise sigmas on every 50,000th value of the whole stream,
// so that the drawing has to keep single-point excursions.
class TSignal {
 public:
  static constexpr int SpikeEvery = 50000;
  static constexpr double SpikeSigmas = 10.0;

  explicit TSignal(uint64_t seed, double noiseSigma = 0.5);
  // Next value for a line centred at `centre`; `spike` tells whether it is
  // one of the spikes. Channels keep their own walk.
  double Next(int channel, double centre, bool* spike = nullptr);
  int64_t Produced() const { return produced_; }
  double NoiseSigma() const { return sigma_; }

 private:
  std::mt19937_64 rng_;
  std::normal_distribution<double> unit_{0.0, 1.0};
  double sigma_;
  std::vector<double> walk_;
  int64_t produced_ = 0;
};

// Resident set size of this process in bytes (0 when unknown).
int64_t ResidentBytes();

// Fixed-width text table, printed as it grows.
class TTable {
 public:
  explicit TTable(std::vector<std::pair<std::string, int>> columns);
  void Header() const;
  void Row(const std::vector<std::string>& cells) const;

 private:
  std::vector<std::pair<std::string, int>> cols_;
};

std::string Fmt(double v, int decimals = 2);
// "1234x" style ratio; "-" when the divisor is zero.
std::string Ratio(double a, double b);

// One checked target: printed in the summary and decides the exit status.
struct TTarget {
  std::string Name;
  std::string Measured;
  std::string Limit;
  bool Met = false;
};

}  // namespace bench
