#ifndef TOOL_CLIENT_REMOTE_SHELL_H_
#define TOOL_CLIENT_REMOTE_SHELL_H_

#include <ostream>
#include <string>

#include "tool/client/client_options.h"

namespace daqevstat::tool::client {

class RemoteLocation;

// The shell's commands against a running server (`daqevstat shell
// --connect URL`), one line at a time. Every answer, errors included, goes
// to one stream, one line per reply (list writes several); error lines
// start with "error: " and no error stops the shell.
//
//   list            every property of the location, "NAME = VALUE"
//   get NAME        "NAME = VALUE"
//   set NAME VALUE  writes VALUE (the rest of the line, read as the local
//                   shell reads it) with the token, then tells what was
//                   sent, the answer and the value before and after:
//                   "NAME: sent int 20; reply 20; value now 20 (was 15)"
//   help            the command list
//   quit, exit      execute returns false
// The local shell's clear, pause, resume, report and save answer that they
// need a local server. Blank lines and lines starting with '#' are ignored.
//
// Thread safety: one thread at a time.
class RemoteShell {
 public:
  // `location` and `out` must outlive the shell.
  RemoteShell(RemoteLocation& location, std::ostream& out);
  RemoteShell(const RemoteShell&) = delete;
  RemoteShell& operator=(const RemoteShell&) = delete;

  // Runs one command line; false when it asks to quit.
  bool execute(const std::string& line);

  static std::string help_text();

 private:
  void list();
  void get(const std::string& name);
  void set(const std::string& name, const std::string& text);

  RemoteLocation& location_;
  std::ostream& out_;
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
