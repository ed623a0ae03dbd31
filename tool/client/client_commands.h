#ifndef TOOL_CLIENT_CLIENT_COMMANDS_H_
#define TOOL_CLIENT_CLIENT_COMMANDS_H_

#include "tool/client/client_options.h"
#include "tool/client/value_json.h"

namespace daqevstat::tool::client {

// The client commands against a running server. Each returns the exit
// status: 0 done; 1 a property or location unknown, a write refused or
// ignored, or the server unreachable (one line on standard error naming
// which, but for an ignored write, see run_set); 2 a usage
// error (no server, a malformed URL, several locations and none named).
// Nothing is retried: each request is made once.

// Prints "NAME = VALUE" for each name, as the shell does, or with --json
// each answer's JSON as the server sent it, one a line. An unknown name is
// reported and the others are still read; an unreachable server ends it.
int run_get(const GetOptions& options);

// Writes VALUE with the token and prints "NAME = VALUE" of the value the
// server answered (read back when the write answers with none). When that
// value is not the one sent (see holds_sent), the property ignored the
// write: "NAME = VALUE unchanged" and exit 1.
int run_set(const SetOptions& options);

// Whether `value`, a property's value after a write of `sent`, holds what
// was sent: the same number (an integer property's whole part of a
// fraction, a float's rounding), the same text, or a conversion between a
// number and a text, which the property made itself.
bool holds_sent(const Json& sent, const Json& value);

// Shows one statistics object (see WatchStatus): in place on a terminal,
// one plain line per reading otherwise, every --interval seconds; a server
// that cannot be reached is shown as such and read again at the next
// interval. Ends after --count lines, or cleanly at SIGINT or SIGTERM.
// Returns 1 when the object is not published at the location, and when no
// reading ever succeeded.
int run_watch(const WatchOptions& options);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_CLIENT_COMMANDS_H_
