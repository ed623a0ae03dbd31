#include "tool/client/remote_location.h"

#include <utility>

#include "tool/client/client_error.h"
#include "tool/client/client_options.h"
#include "tool/shell/command_shell.h"

namespace daqevstat::tool::client {
namespace {

constexpr const char* kLocationsPath = "/api/v1/locations";
constexpr const char* kLegacyPropertiesPath = "/api/v1/properties";

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The server's reason for a refusal, kept to one line.
std::string reason_of(const Json& document, int status) {
  std::string reason = "HTTP " + std::to_string(status);
  if (document.is_object() && document.contains("error") && document["error"].is_string()) {
    reason = document["error"].get<std::string>() + " (" + reason + ")";
  }
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return reason;
}

// The server's refusals of a write by its token (net/http_router.cc).
constexpr const char* kTokenNeeded = "writing needs the write token (Authorization: Bearer)";
constexpr const char* kTooManyWrongTokens = "too many writes with a wrong token; try again later";

}  // namespace

RemoteLocation::RemoteLocation(ServerUrl server, std::string location, std::string token,
                               HttpLimits limits)
    : server_(std::move(server)),
      token_(std::move(token)),
      limits_(std::move(limits)),
      location_(std::move(location)) {}

void RemoteLocation::resolve() {
  if (resolved_) return;
  const HttpResponse response =
      send_request(server_, HttpRequest{"GET", kLocationsPath, "", ""}, limits_);
  const std::string where = server_.text();
  if (response.status == 404) {
    // A server of one unnamed location: a name asked for cannot be checked.
    if (!location_.empty()) {
      throw ClientError(
          ClientError::Kind::answer,
          "the server at " + where + " does not name its locations; leave out --location");
    }
    named_paths_ = false;
    resolved_ = true;
    return;
  }
  const Json document = Json::parse(response.body, nullptr, false);
  if (response.status != 200 || !document.is_object() || !document.contains("locations") ||
      !document["locations"].is_array()) {
    throw ClientError(ClientError::Kind::answer,
                      "the server at " + where +
                          " did not list its locations: " + reason_of(document, response.status));
  }
  std::vector<std::string> names;
  for (const Json& name : document["locations"]) {
    if (name.is_string()) names.push_back(name.get<std::string>());
  }
  if (names.empty()) {
    throw ClientError(ClientError::Kind::answer, "the server at " + where + " serves no location");
  }
  if (location_.empty()) {
    if (names.size() > 1) {
      throw ClientError(
          ClientError::Kind::usage,
          "the server at " + where +
              " serves several locations; choose one with --location: " + joined(names));
    }
    location_ = names.front();
  } else {
    bool found = false;
    for (const std::string& name : names) found = found || name == location_;
    if (!found) {
      throw ClientError(ClientError::Kind::answer, "no location \"" + location_ + "\" at " + where +
                                                       "; it serves: " + joined(names));
    }
  }
  resolved_ = true;
}

std::string RemoteLocation::path(const std::string& name) const {
  std::string path =
      named_paths_ ? std::string(kLocationsPath) + "/" + path_segment(location_) + "/properties"
                   : std::string(kLegacyPropertiesPath);
  if (!name.empty()) path += "/" + path_segment(name);
  return path;
}

PropertyAnswer RemoteLocation::exchange(const HttpRequest& request, const char* member) {
  const HttpResponse response = send_request(server_, request, limits_);
  PropertyAnswer answer;
  answer.status = response.status;
  answer.body = response.body;
  const Json document = Json::parse(response.body, nullptr, false);
  if (document.is_discarded()) {
    throw ClientError(ClientError::Kind::answer,
                      "the server at " + server_.text() + " answered HTTP " +
                          std::to_string(response.status) + " without JSON");
  }
  if (!answer.ok()) {
    answer.error = refusal_of(document, response);
    return answer;
  }
  if (!document.is_object() || !document.contains(member)) {
    throw ClientError(ClientError::Kind::answer,
                      "the server at " + server_.text() + " answered without \"" + member + "\"");
  }
  answer.value = document[member];
  return answer;
}

// The server's reason, and for a refusal of the token what to do about it:
// no token sent and a wrong one read alike from the server.
std::string RemoteLocation::refusal_of(const Json& document, const HttpResponse& response) const {
  const std::string status = " (HTTP " + std::to_string(response.status) + ")";
  const std::string server_reason =
      document.is_object() && document.contains("error") && document["error"].is_string()
          ? document["error"].get<std::string>()
          : "";
  if (response.status == 403 && server_reason == kTokenNeeded) {
    if (token_.empty()) {
      return std::string("no write token given: pass --token-file FILE or set ") + kTokenVariable +
             status;
    }
    return "the server did not accept the write token" +
           (token_source_.empty() ? "" : " from " + token_source_) + status;
  }
  if (response.status == 429 && server_reason == kTooManyWrongTokens) {
    std::string wait = "later";
    if (!response.retry_after.empty() &&
        response.retry_after.find_first_not_of("0123456789") == std::string::npos &&
        response.retry_after.size() < 10) {
      wait = "in " + response.retry_after + " s";
    }
    return "too many writes with a wrong token; try again " + wait + status;
  }
  return reason_of(document, response.status);
}

PropertyAnswer RemoteLocation::get(const std::string& name) {
  // An empty name would address the whole set.
  if (name.empty()) throw ClientError(ClientError::Kind::usage, "empty property name");
  resolve();
  return exchange(HttpRequest{"GET", path(name), "", ""}, "value");
}

PropertyAnswer RemoteLocation::put(const std::string& name, const Json& value) {
  if (name.empty()) throw ClientError(ClientError::Kind::usage, "empty property name");
  resolve();
  Json body = Json::object();
  body["value"] = value;
  return exchange(HttpRequest{"PUT", path(name), body.dump(), token_}, "value");
}

std::string RemoteLocation::why_missing(const std::string& name) {
  const std::string on = switch_of(name);
  if (on.empty()) return "";
  const PropertyAnswer answer = get(on);
  return answer.ok() && answer.value.is_number() && answer.value == 0 ? "; " + statistics_off(on)
                                                                      : "";
}

PropertyAnswer RemoteLocation::get_all() {
  resolve();
  return exchange(HttpRequest{"GET", path(""), "", ""}, "properties");
}

}  // namespace daqevstat::tool::client
