#ifndef TOOL_CLIENT_REMOTE_LOCATION_H_
#define TOOL_CLIENT_REMOTE_LOCATION_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tool/client/http_client.h"
#include "tool/client/server_url.h"

namespace daqevstat::tool::client {

using Json = nlohmann::ordered_json;

// A server's answer about properties.
struct PropertyAnswer {
  int status = 0;     // the HTTP status
  Json value;         // 200: the property's value, or the properties object
  std::string error;  // otherwise: the server's reason, one line
  std::string body;   // the answer as it came

  bool ok() const { return status == 200; }
};

// One location of a running server, reached over HTTP.
//
// Which location is settled at the first request (see resolve): the one
// named, or the only one the server lists; a server that does not list its
// locations serves one under its older paths. Every request runs on a
// connection of its own, so a server that restarts is simply found again.
//
// Thread safety: one thread at a time; the object holds no lock.
class RemoteLocation {
 public:
  // `location` empty: the server must serve exactly one. `token` is sent
  // with writes when not empty.
  RemoteLocation(ServerUrl server, std::string location, std::string token, HttpLimits limits);
  RemoteLocation(const RemoteLocation&) = delete;
  RemoteLocation& operator=(const RemoteLocation&) = delete;

  // Settles which location the requests go to, once. Throws ClientError:
  // unreachable (no answer); answer (a named location the server does not
  // serve, a server that serves none, or a named location on a server that
  // names none); usage (several and none named, the message listing them).
  void resolve();

  // The name of the location (after resolve); empty on a server that does
  // not name its locations.
  const std::string& location() const { return location_; }
  const ServerUrl& server() const { return server_; }

  // Where the token came from ("--token-file FILE", "DAQEVSTAT_TOKEN"), for
  // the refusal of a wrong one.
  void set_token_source(std::string source) { token_source_ = std::move(source); }

  // GET of one property, and PUT of {"value": V} with the token. Resolve
  // first if need be. Throw ClientError for a server that cannot be reached
  // or whose answer is not JSON; a refusal is an answer that is not ok(),
  // its error the server's reason and status; a refused token says whether
  // none was given (and how to give one) or the one given is wrong, and too
  // many wrong ones how long to wait (the server's Retry-After).
  PropertyAnswer get(const std::string& name);
  PropertyAnswer put(const std::string& name, const Json& value);
  // Every property of the location: value is the "properties" object.
  PropertyAnswer get_all();

  // For a property the server does not have: "; statistics are off
  // (SWITCH = 0)" when it belongs to a statistics object whose switch reads
  // 0, "" otherwise. Asks the server; throws as get does.
  std::string why_missing(const std::string& name);

 private:
  PropertyAnswer exchange(const HttpRequest& request, const char* member);
  std::string refusal_of(const Json& document, const HttpResponse& response) const;
  std::string path(const std::string& name) const;

  const ServerUrl server_;
  const std::string token_;
  std::string token_source_;
  const HttpLimits limits_;
  std::string location_;
  bool resolved_ = false;
  bool named_paths_ = true;  // the server lists its locations
};

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_REMOTE_LOCATION_H_
