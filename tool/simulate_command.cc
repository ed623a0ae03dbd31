#include "tool/simulate_command.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "stat_property_names.h"
#include "tool/output/plot_writer.h"
#include "tool/output/property_text.h"
#include "tool/simulate/http_listen.h"
#include "tool/simulate/server_startup.h"
#include "tool/simulate/settings_file.h"
#include "tool/simulate/simulate_report.h"
#include "tool/simulate/simulated_server.h"
#include "tool/simulate/stop_signals.h"

namespace daqevstat::tool {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<long long> counted_events(SimulatedServer& server) {
  const EqData reply =
      remote_read(server.location(),
                  stat_property::client_name(server.base_names().front(), stat_property::kTotal));
  if (reply.error() != 0) return std::nullopt;
  return reply.get_long();
}

// Prints the status line while the server runs: refreshed in place about
// twice a second on a terminal, a plain line every few seconds otherwise.
void run_until_done(SimulatedServer& server, double duration_sec) {
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  const auto every = terminal ? std::chrono::milliseconds(500) : std::chrono::milliseconds(3000);
  const auto start = Clock::now();
  const std::optional<Clock::time_point> deadline =
      duration_sec > 0.0 ? std::optional<Clock::time_point>(
                               start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(duration_sec)))
                         : std::nullopt;
  auto next_status = start + every;
  auto last_time = start;
  long long last_count = 0;
  bool printed = false;
  while (!StopRequestsCaught::stop_requested() && (!deadline || Clock::now() < *deadline)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto now = Clock::now();
    if (now < next_status) continue;
    next_status += every;
    const long long count = counted_events(server).value_or(last_count);
    const double seconds = std::chrono::duration<double>(now - last_time).count();
    const double rate = seconds > 0.0 ? static_cast<double>(count - last_count) / seconds : 0.0;
    last_count = count;
    last_time = now;
    const std::string line = render_status(server, rate < 0.0 ? 0.0 : rate);
    if (terminal) {
      std::printf("\r\033[K%s", line.c_str());
    } else {
      std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    printed = true;
  }
  if (terminal && printed) std::printf("\n");
  if (StopRequestsCaught::stop_requested()) std::printf("interrupted: ending the run\n");
  std::fflush(stdout);
}

}  // namespace

int run_simulate(const SimulateOptions& options) {
  const std::unique_ptr<SimulatedServer> server = open_server("simulate", options.server);
  if (server == nullptr) return 1;

  {
    std::optional<HttpListen> http;
    if (!open_listen("simulate", options.listen, *server, http)) return 1;
    StopRequestsCaught signals;
    server->start();
    run_until_done(*server, options.duration_sec);
    // No request may reach the location once the run is over.
    http.reset();
    server->stop();
  }

  const std::string report = render_report(*server, false);
  std::fwrite(report.data(), 1, report.size(), stdout);
  int status = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("daqevstat simulate: error writing the output\n", stderr);
    status = 1;
  }

  try {
    if (!options.svg_file.empty() || !options.csv_dir.empty()) {
      const std::vector<Distribution> distributions = read_distributions(*server);
      if (!options.svg_file.empty()) write_svg(distributions, options.svg_file);
      if (!options.csv_dir.empty()) write_csv_dir(distributions, options.csv_dir);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat simulate: %s\n", e.what());
    status = 1;
  }
  try {
    server->save();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat simulate: %s\n", e.what());
    status = 1;
  }
  return status;
}

}  // namespace daqevstat::tool
