#include "tool/replay_command.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "D_spectrum.h"
#include "tool/output/distribution.h"
#include "tool/output/plot_writer.h"
#include "tool/replay/json_writer.h"
#include "tool/replay/summary_writer.h"

namespace daqevstat::tool {
namespace {

// For its lifetime, what the process writes to standard output goes to
// standard error. The statistics library prints its own warnings (such as
// "NEGATIVE LOST EVENTS ...") on standard output; with --json that must hold
// the JSON alone, so the warnings are moved aside, unchanged.
class StdoutToStderr {
 public:
  StdoutToStderr() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      ::close(saved_);
      saved_ = -1;
    }
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;
  ~StdoutToStderr() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_ = -1;
};

void fail(const std::string& message) {
  std::fprintf(stderr, "daqevstat replay: %s\n", message.c_str());
}

}  // namespace

std::string run_replay(const ReplayOptions& options) {
  Replay replay(options);
  replay.feed_file(options.file, options.format);
  if (replay.records() == 0) throw NoEventsError(options.file + ": no event in the file");
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
  std::string output;
  try {
    if (options.json) {
      const StdoutToStderr library_lines_aside;
      output = run_replay(options);
    } else {
      output = run_replay(options);
    }
  } catch (const NoEventsError& e) {
    fail(e.what());
    return kNoEventsStatus;
  } catch (const std::exception& e) {
    fail(e.what());
    return 1;
  }
  std::fwrite(output.data(), 1, output.size(), stdout);
  if (std::fflush(stdout) != 0) {
    fail("error writing the output");
    return 1;
  }
  return 0;
}

}  // namespace daqevstat::tool
