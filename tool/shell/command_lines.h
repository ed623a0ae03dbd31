#ifndef TOOL_SHELL_COMMAND_LINES_H_
#define TOOL_SHELL_COMMAND_LINES_H_

#include <functional>
#include <string>
#include <vector>

namespace daqevstat::tool {

// How a shell reads its commands from standard input. On a terminal:
// `banner` on standard output, then lines with editing, history and the
// prompt "daqevstat> "; from a pipe: one line at a time, without either.
// Each line goes to `execute` until it returns false, the input ends, or
// SIGINT or SIGTERM arrive. Those two are caught for the duration of the
// call (without SA_RESTART, so a blocked read returns), which lets the
// caller end cleanly instead of the process dying.
//
// What Tab may complete: given the line before the word under the cursor
// and that word's start, the candidates (those not starting with the word
// are left out by the caller).
using Completer = std::function<std::vector<std::string>(const std::string& before)>;

// `complete`, when given, completes the word under the cursor on a
// terminal.
//
// One call at a time per process: the signal handling is process-wide.
void read_command_lines(const std::string& banner,
                        const std::function<bool(const std::string&)>& execute,
                        Completer complete = nullptr);

// Whether SIGINT or SIGTERM arrived during the current read_command_lines,
// for a command that waits on something else meanwhile.
bool command_lines_interrupted();

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_COMMAND_LINES_H_
