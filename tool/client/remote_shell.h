#ifndef TOOL_CLIENT_REMOTE_SHELL_H_
#define TOOL_CLIENT_REMOTE_SHELL_H_

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tool/client/client_options.h"
#include "tool/shell/command_shell.h"

namespace daqevstat::tool::client {

class RemoteLocation;

// `daqevstat shell --connect URL`: the shell's commands (see CommandShell)
// against a running server's location, over HTTP.
//
//   set NAME VALUE  writes VALUE (read as the local shell reads it) with
//                   the token: "NAME: sent int 20; reply 20; value now 20
//                   (was 15)"; a refusal reads "error: NAME: refused: ..."
// The local shell's clear, pause, resume, report and save answer that they
// need a local server. A server that cannot be reached is an error line of
// the command, and the shell goes on.
//
// Thread safety: one thread at a time.
class RemoteShell : private PropertyAccess {
 public:
  // `location` and `out` must outlive the shell.
  RemoteShell(RemoteLocation& location, std::ostream& out);
  RemoteShell(const RemoteShell&) = delete;
  RemoteShell& operator=(const RemoteShell&) = delete;
  ~RemoteShell() override;

  // Runs one command line; false when it asks to quit.
  bool execute(const std::string& line) { return commands_.execute(line); }

  // What Tab completes (see CommandShell::completions).
  std::vector<std::string> completions(const std::string& before) {
    return commands_.completions(before);
  }

  std::string help_text() const { return commands_.help_text(); }

  // The property names the server lists now; none when it cannot be asked.
  std::vector<std::string> names() override;

 private:
  std::vector<std::pair<std::string, PropertyReading>> list() override;
  PropertyReading get(const std::string& name) override;
  WriteOutcome set(const std::string& name, const std::string& text) override;

  RemoteLocation& location_;
  CommandShell commands_;
};

// `daqevstat shell --connect URL`: reaches the server (the location it
// serves, or --location), then runs RemoteShell on standard input as the
// local shell reads it (line editing and history on a terminal). Returns 0;
// 1 when the server cannot be reached at the start or the output cannot be
// written; 2 for a usage error (see open_location and
// RemoteLocation::resolve).
int run_remote_shell(const ClientOptions& options);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_REMOTE_SHELL_H_
