#ifndef TOOL_REPLAY_COMMAND_H_
#define TOOL_REPLAY_COMMAND_H_

#include <string>

#include "tool/replay/replay.h"

namespace daqevstat::tool {

// A file that held no event (empty, or comments and blank lines only):
// there is nothing to report.
class NoEventsError : public ReplayError {
 public:
  using ReplayError::ReplayError;
};

// The exit status of a replay whose file held no event.
inline constexpr int kNoEventsStatus = 3;

// The work of `daqevstat replay`: builds a Replay, feeds options.file,
// writes the pictures asked for (--svg, --csv) and returns the text to print
// (the summary or the JSON object). Nothing is printed here, so a failed
// replay produces no output of its own. Throws NoEventsError when the file
// held no event, ReplayError, PlotError and whatever the statistics object
// throws.
std::string run_replay(const ReplayOptions& options);

// `daqevstat replay`: run_replay, then its text on standard output. With
// --json, standard output holds the JSON alone: what the statistics library
// prints itself meanwhile goes to standard error. Returns the exit status:
// 0; 1 when the replay fails or the output cannot be written; 3
// (kNoEventsStatus) when the file held no event. Every message is one line
// on standard error starting "daqevstat replay: ", and a failed replay
// prints nothing on standard output.
int run_replay_command(const ReplayOptions& options);

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_COMMAND_H_
