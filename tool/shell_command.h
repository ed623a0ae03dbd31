#ifndef TOOL_SHELL_COMMAND_H_
#define TOOL_SHELL_COMMAND_H_

#include "tool/client/client_options.h"
#include "tool/simulate/http_listen.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {

// What `daqevstat shell` was asked to do.
// What `daqevstat shell` was asked to do: a simulated server of its own,
// or with --connect a running one.
struct ShellOptions {
  ServerOptions server;
  ListenOptions listen;
  client::ClientOptions connect;  // server empty: the simulated server
};

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

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_COMMAND_H_
