#ifndef TOOL_SIMULATE_SIMULATE_REPORT_H_
#define TOOL_SIMULATE_SIMULATE_REPORT_H_

#include <string>
#include <vector>

#include "tool/output/distribution.h"

namespace daqevstat::tool {

class SimulatedServer;

// The end-of-run report of a simulated server, read through remote calls on
// its location as a client would: per statistics object every published
// property, each timing distribution as a block (count, percentiles,
// clamped edge bins, a text histogram), then the injected truth beside what
// each object counted, with one line explaining any difference by the
// counting rules. `interfered` says that statistics were switched, cleared
// or paused by hand during the run, which the truth cannot account for; a
// switch written by any client (SimulatedServer::switch_written) counts as
// well.
// The source is paused while the truth and the counters are read, so that
// they describe the same moment, and resumed afterwards. Ends in a newline.
std::string render_report(SimulatedServer& server, bool interfered);

// The timing distributions of every object, read by name through the
// location (absent ones, of an object switched off, are left out).
std::vector<Distribution> read_distributions(SimulatedServer& server);

// One status line (no newline): events, rate, lost, lost %, latency p50 and
// p99 of the first object. `rate_hz` is worked out by the caller.
std::string render_status(SimulatedServer& server, double rate_hz);

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_SIMULATE_REPORT_H_
