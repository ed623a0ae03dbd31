// Writes the scrapes of the precision table's distributions for a real
// Prometheus to read (tests/monitoring/precision_test.py): one location with
// a latency distribution per entry of tests/net/distributions.h, its base
// the entry's key, rendered in both formats with every count multiplied by
// 1, 2, ... VERSIONS (so that rates are the distribution itself), and the
// exact nearest-rank percentiles.
//
// Usage: exposition_sample DIR VERSIONS
//   DIR/classic-V.txt, DIR/native-V.pb for V = 1..VERSIONS; DIR/exact.json.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "distributions.h"
#include "eq_fct.h"
#include "net/metrics.h"

namespace {

bool write(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) < 1) {
    std::fprintf(stderr, "usage: exposition_sample DIR VERSIONS\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int versions = std::atoi(argv[2]);
  const std::vector<daqnet::testing::Distribution> table = daqnet::testing::distributions();
  EqFct location{"PRECISION"};
  std::vector<std::unique_ptr<D_spectrum>> spectra;
  std::string exact = "{";
  for (const auto& d : table) {
    spectra.push_back(
        std::make_unique<D_spectrum>(std::string(d.key) + ".STAT.EV.LATENCY.TD latency",
                                     daqnet::testing::kBins, &location, false));
    location.add_property(spectra.back().get(), 0);
    char entry[256];
    std::snprintf(entry, sizeof entry,
                  "%s\"%s\": {\"what\": \"%s\", \"0.5\": %.17g, \"0.9\": %.17g, "
                  "\"0.99\": %.17g}",
                  exact.size() > 1 ? ", " : "", d.key, d.what,
                  daqnet::testing::exact_percentile(0.5, d.bins),
                  daqnet::testing::exact_percentile(0.9, d.bins),
                  daqnet::testing::exact_percentile(0.99, d.bins));
    exact += entry;
  }
  exact += "}\n";
  for (int v = 1; v <= versions; ++v) {
    for (std::size_t k = 0; k < table.size(); ++k) {
      for (int i = 0; i < daqnet::testing::kBins; ++i) {
        spectra[k]->fill_spectrum(i, v * table[k].bins[static_cast<std::size_t>(i)]);
      }
    }
    const std::string n = std::to_string(v);
    if (!write(dir + "/classic-" + n + ".txt", daqnet::render_metrics({&location})) ||
        !write(dir + "/native-" + n + ".pb",
               daqnet::render_metrics({&location}, daqnet::MetricsFormat::protobuf))) {
      std::perror(dir.c_str());
      return 1;
    }
  }
  for (auto& s : spectra) location.rem_property(s.get());
  return write(dir + "/exact.json", exact) ? 0 : 1;
}
