#include "tool/replay_command.h"

#include <cstdio>
#include <exception>
#include <vector>

#include "D_spectrum.h"
#include "tool/output/distribution.h"
#include "tool/output/plot_writer.h"
#include "tool/replay/json_writer.h"
#include "tool/replay/summary_writer.h"

namespace daqevstat::tool {

std::string run_replay(const ReplayOptions& options) {
  Replay replay(options);
  replay.feed_file(options.file, options.format);
  if (!options.svg_file.empty() || !options.csv_dir.empty()) {
    vrel_daq_event_stat& stat = replay.stat();
    std::vector<Distribution> distributions;
    for (D_spectrum* spectrum :
         {stat.event_latency_, stat.event_period_, stat.event_period_local_}) {
      if (spectrum != nullptr) distributions.push_back(read_distribution(*spectrum));
    }
    if (!options.svg_file.empty()) write_svg(distributions, options.svg_file);
    if (!options.csv_dir.empty()) write_csv_dir(distributions, options.csv_dir);
  }
  return options.json ? render_json(replay.stat())
                      : render_summary(replay.base_name(), replay.stat());
}

int run_replay_command(const ReplayOptions& options) {
  try {
    const std::string output = run_replay(options);
    std::fwrite(output.data(), 1, output.size(), stdout);
    if (std::fflush(stdout) != 0) {
      std::fputs("daqevstat: error writing the output\n", stderr);
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat: %s\n", e.what());
    return 1;
  }
}

}  // namespace daqevstat::tool
