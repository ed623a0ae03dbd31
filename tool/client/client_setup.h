#ifndef TOOL_CLIENT_CLIENT_SETUP_H_
#define TOOL_CLIENT_CLIENT_SETUP_H_

#include <memory>
#include <string>

#include "tool/client/client_options.h"
#include "tool/client/http_client.h"
#include "tool/client/remote_location.h"

namespace daqevstat::tool::client {

// The first steps of every client command. A failure is printed on
// standard error as one line "daqevstat COMMAND: ...", and the command ends
// with the status these return through `status`: 2 when the server is
// missing or its URL is malformed, 1 when the token or the password
// cannot be read.

// The location `options` point at, not yet contacted; null on failure.
// With `token`, the write token is read: from the first line of
// --token-file, else $DAQEVSTAT_TOKEN, else none (writes are then sent
// without one and the server refuses them). With --user, the password
// comes from --password-file, else $DAQEVSTAT_PASSWORD.
std::unique_ptr<RemoteLocation> open_location(const std::string& command,
                                              const ClientOptions& options, bool token,
                                              HttpLimits limits, int* status);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_CLIENT_SETUP_H_
