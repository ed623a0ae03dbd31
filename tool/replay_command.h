#ifndef TOOL_REPLAY_COMMAND_H_
#define TOOL_REPLAY_COMMAND_H_

#include <string>

#include "tool/replay/replay.h"

namespace daqevstat::tool {

// The work of `daqevstat replay`: builds a Replay, feeds options.file,
// writes the pictures asked for (--svg, --csv) and returns the text to print
// (the summary or the JSON object). Nothing is printed here, so a failed
// replay produces no output of its own. Throws ReplayError, PlotError and
// whatever the statistics object throws.
std::string run_replay(const ReplayOptions& options);

// `daqevstat replay`: run_replay, then its text on standard output. Returns
// the exit status: 0, or 1 when the replay fails or the output cannot be
// written (the message is on standard error).
int run_replay_command(const ReplayOptions& options);

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_COMMAND_H_
