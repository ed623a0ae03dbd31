#ifndef TESTS_NET_DISTRIBUTIONS_H_
#define TESTS_NET_DISTRIBUTIONS_H_

// The table of latency distributions the quantile precision is shown on (the
// exposition test, tests/monitoring/precision_test.py, docs/http.md): 1 ms
// bins, 8192 of them, bin 0 holding everything below 1 ms and the last one
// everything from 8191 ms on.

#include <cmath>
#include <vector>

namespace daqnet::testing {

constexpr int kBins = 8192;

// The nearest-rank percentile of the 1 ms bins in seconds: the lower edge of
// the bin holding the ceil(q * n)-th sample.
inline double exact_percentile(double q, const std::vector<double>& bins) {
  double n = 0.0;
  for (double v : bins) n += v;
  const double need = std::ceil(q * n);
  double seen = 0.0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    seen += bins[i];
    if (seen >= need) return static_cast<double>(i) / 1000.0;
  }
  return NAN;
}

inline void add_normal(std::vector<double>* bins, double n, double mean_ms, double sd_ms) {
  const auto below = [&](double x) { return 0.5 * std::erfc((mean_ms - x) / (sd_ms * M_SQRT2)); };
  for (int i = 1; i < kBins - 1; ++i) {
    (*bins)[static_cast<std::size_t>(i)] += std::round(n * (below(i + 1) - below(i)));
  }
}

struct Distribution {
  const char* key;  // a name without spaces
  const char* what;
  std::vector<double> bins;
};

// The distributions of docs/http.md's precision table.
inline std::vector<Distribution> distributions() {
  std::vector<Distribution> out;
  const auto empty = [] { return std::vector<double>(kBins, 0.0); };
  Distribution at_1{"at_1", "narrow at 1 ms", empty()};
  at_1.bins[1] = 9000;
  at_1.bins[2] = 1000;
  out.push_back(at_1);
  Distribution at_17{"at_17", "narrow at 17 ms", empty()};
  add_normal(&at_17.bins, 1e5, 17.5, 0.4);
  out.push_back(at_17);
  Distribution wide{"wide", "wide 1-8000 ms", empty()};
  for (int i = 1; i <= 8000; ++i) wide.bins[static_cast<std::size_t>(i)] = 100;
  out.push_back(wide);
  Distribution peaks{"peaks", "two peaks 10 and 500 ms", empty()};
  add_normal(&peaks.bins, 8e5, 10, 2);
  add_normal(&peaks.bins, 2e5, 500, 100);
  out.push_back(peaks);
  Distribution clamped{"clamped", "clamped at both edges", empty()};
  clamped.bins[0] = 5500;
  clamped.bins[40] = 1000;
  clamped.bins[kBins - 1] = 3500;
  out.push_back(clamped);
  return out;
}

}  // namespace daqnet::testing

#endif  // TESTS_NET_DISTRIBUTIONS_H_
