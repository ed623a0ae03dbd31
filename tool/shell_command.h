#ifndef TOOL_SHELL_COMMAND_H_
#define TOOL_SHELL_COMMAND_H_

#include <functional>
#include <string>

#include "tool/options.h"

namespace daqevstat::tool {

// `daqevstat shell`: runs a simulated server and executes Shell commands
// read from standard input, with line editing, history and the prompt
// "daqevstat> " on a terminal, plain lines without a prompt otherwise.
// Replies and error lines go to standard output; messages of the program
// itself (settings warnings and failures) to standard error.
//
// The shell ends at quit or exit, at the end of input, and at SIGINT or
// SIGTERM (Ctrl-C at the prompt leaves the shell as quit does). It then
// stops the server and, with --config, saves the settings.
//
// Returns the exit status: 0; 1 when the settings cannot be loaded or saved,
// the server cannot be built or the output cannot be written.
int run_shell(const ShellOptions& options);

// The shell's way of reading commands, for any shell: on a terminal,
// `banner` on standard output, then lines with editing, history and the
// prompt; from a pipe, one line at a time without either. Each line goes
// to `execute` until it returns false, the input ends, or SIGINT or SIGTERM
// arrive (caught for the duration of the call).
void read_command_lines(const std::string& banner,
                        const std::function<bool(const std::string&)>& execute);

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_COMMAND_H_
