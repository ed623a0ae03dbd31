#ifndef TOOL_SIMULATE_COMMAND_H_
#define TOOL_SIMULATE_COMMAND_H_

#include "tool/options.h"

namespace daqevstat::tool {

// `daqevstat simulate`: runs a simulated server for the duration or until
// SIGINT or SIGTERM, with a status line while it runs, then prints the
// report, writes the pictures asked for and saves the settings. Returns the
// exit status: 0, or 1 when the settings cannot be loaded or saved or a
// picture cannot be written (the message is on standard error).
int run_simulate(const SimulateOptions& options);

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_COMMAND_H_
