#include "tool/client/client_commands.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "tool/client/client_error.h"
#include "tool/client/client_setup.h"
#include "tool/client/value_json.h"
#include "tool/client/watch_status.h"
#include "tool/shell/command_shell.h"
#include "tool/simulate/stop_signals.h"

namespace daqevstat::tool::client {
namespace {

using Clock = std::chrono::steady_clock;

void fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "daqevstat %s: %s\n", command, message.c_str());
}

bool flush_output(const char* command) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    fail(command, "error writing the output");
    return false;
  }
  return true;
}

void print_json_answer(const std::string& body) {
  std::fputs(body.c_str(), stdout);
  if (body.empty() || body.back() != '\n') std::fputc('\n', stdout);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "none" : text;
}

// "location NAME of URL", or the URL alone for a server that names none.
std::string place_of(const RemoteLocation& location) {
  if (location.location().empty()) return location.server().text();
  return "location " + location.location() + " of " + location.server().text();
}

// Sleeps until `until` or a stop request.
void wait_until(Clock::time_point until) {
  while (!StopRequestsCaught::stop_requested()) {
    const auto now = Clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(until - now, std::chrono::milliseconds(50)));
  }
}

}  // namespace

bool holds_sent(const Json& sent, const Json& value) {
  if (sent.is_number() && value.is_number()) {
    return holds_number(sent.get<double>(), value.get<double>());
  }
  if (sent.is_string() && value.is_string()) return sent == value;
  // A text property given a number (or the reverse) converts it itself.
  return !value.is_null() && sent.is_number() != value.is_number();
}

int run_get(const GetOptions& options) {
  int status = 0;
  const std::unique_ptr<RemoteLocation> location =
      open_location("get", options.client, false, HttpLimits{}, &status);
  if (location == nullptr) return status;
  try {
    for (const std::string& name : options.names) {
      const PropertyAnswer answer = location->get(name);
      if (!answer.ok()) {
        fail("get", name + ": " + answer.error +
                        (answer.status == 404 ? location->why_missing(name) : ""));
        status = 1;
        continue;
      }
      if (options.json) {
        print_json_answer(answer.body);
      } else {
        std::printf("%s = %s\n", name.c_str(), value_text(answer.value).c_str());
      }
    }
  } catch (const ClientError& e) {
    fail("get", e.what());
    status = e.exit_status();
  }
  return flush_output("get") ? status : 1;
}

int run_set(const SetOptions& options) {
  int status = 0;
  std::string error;
  const std::optional<Json> value = value_json(options.value, &error);
  if (!value) {
    fail("set", error);
    return 2;
  }
  const std::unique_ptr<RemoteLocation> location =
      open_location("set", options.client, true, HttpLimits{}, &status);
  if (location == nullptr) return status;
  try {
    PropertyAnswer answer = location->put(options.name, *value);
    if (!answer.ok()) {
      fail("set", options.name + ": refused: " + answer.error +
                      (answer.status == 404 ? location->why_missing(options.name) : ""));
      return 1;
    }
    // A plain value property answers a write with no value.
    if (answer.value.is_null()) {
      const PropertyAnswer read_back = location->get(options.name);
      if (read_back.ok()) answer = read_back;
    }
    // A property that ignores a value (a counter, a period of 0) answers
    // with the value it kept: nothing was written.
    if (!holds_sent(*value, answer.value)) {
      std::printf("%s = %s unchanged\n", options.name.c_str(), value_text(answer.value).c_str());
      flush_output("set");
      return 1;
    }
    std::printf("%s = %s\n", options.name.c_str(), value_text(answer.value).c_str());
  } catch (const ClientError& e) {
    fail("set", e.what());
    return e.exit_status();
  }
  return flush_output("set") ? 0 : 1;
}

int run_watch(const WatchOptions& options) {
  StopRequestsCaught signals;
  HttpLimits limits;
  limits.interrupted = [] { return StopRequestsCaught::stop_requested(); };
  int status = 0;
  const std::unique_ptr<RemoteLocation> location =
      open_location("watch", options.client, false, limits, &status);
  if (location == nullptr) return status;

  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.interval_sec));
  WatchStatus watch(options.base);
  bool checked = false;  // the object was found once
  bool printed = false;
  long long lines = 0;

  // One reading; the line to show, or "" when the reading only primes the
  // rate. Throws ClientError for what must end the watch.
  const auto read = [&](bool show) -> std::string {
    PropertyAnswer answer;
    try {
      answer = location->get_all();
    } catch (const ClientError& e) {
      if (e.kind() != ClientError::Kind::unreachable || StopRequestsCaught::stop_requested()) throw;
      char every[32];
      std::snprintf(every, sizeof every, "%g s", options.interval_sec);
      return std::string("server gone: ") + e.what() + "; trying again every " + every;
    }
    if (!answer.ok()) return options.base + ": " + answer.error;
    if (!checked) {
      if (!watch.published(answer.value)) {
        throw ClientError(ClientError::Kind::answer,
                          "no statistics object " + options.base + " at " + place_of(*location) +
                              "; it has: " + joined(statistics_bases(answer.value)));
      }
      checked = true;
    }
    const std::string line = watch.line(answer.value, Clock::now());
    return show ? line : "";
  };

  try {
    read(false);
    auto next = Clock::now() + interval;
    while (!StopRequestsCaught::stop_requested() && (options.count == 0 || lines < options.count)) {
      wait_until(next);
      if (StopRequestsCaught::stop_requested()) break;
      next += interval;
      // A reading that took longer than the interval does not pile up.
      if (next < Clock::now()) next = Clock::now() + interval;
      const std::string line = read(true);
      if (StopRequestsCaught::stop_requested()) break;
      if (terminal) {
        std::printf("\r\033[K%s", line.c_str());
      } else {
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
      printed = true;
      ++lines;
    }
  } catch (const ClientError& e) {
    if (terminal && printed) std::printf("\n");
    std::fflush(stdout);
    if (!StopRequestsCaught::stop_requested() || e.kind() != ClientError::Kind::unreachable) {
      fail("watch", e.what());
      return e.exit_status();
    }
  }
  if (terminal && printed) std::printf("\n");
  if (!flush_output("watch")) return 1;
  return checked ? 0 : 1;
}

}  // namespace daqevstat::tool::client
