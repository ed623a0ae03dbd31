#ifndef TOOL_CLIENT_CLIENT_ERROR_H_
#define TOOL_CLIENT_CLIENT_ERROR_H_

#include <stdexcept>
#include <string>

namespace daqevstat::tool::client {

// A request to a server that could not be made or answered usefully. The
// message is one line naming the server or the property it concerns.
class ClientError : public std::runtime_error {
 public:
  enum class Kind {
    unreachable,  // no connection, no answer in time, or interrupted
    answer,       // the server answered, but not with what was asked for
    usage,        // the command line cannot be served as given (exit 2)
  };

  ClientError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  Kind kind() const { return kind_; }
  // The tool's exit status for this error.
  int exit_status() const { return kind_ == Kind::usage ? 2 : 1; }

 private:
  Kind kind_;
};

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_CLIENT_ERROR_H_
