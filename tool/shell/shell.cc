#include "tool/shell/shell.h"

#include <string>
#include <vector>

#include "eq_errors.h"
#include "eq_fct.h"
#include "net/write_value.h"
#include "tool/output/property_text.h"
#include "tool/simulate/settings_file.h"
#include "tool/simulate/simulate_report.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {
namespace {

ShellHelp local_help() {
  return ShellHelp{
      "commands (get, set and list are remote calls on the location, as a client makes them):\n",
      "  set NAME VALUE  write VALUE to NAME; shows the reply and the value before and after\n"
      "                  VALUE by its form: 30 or -5 an integer (64-bit beyond 32 bits),\n"
      "                  2.9, 1e3, nan or inf a double (2.9f a float), anything else a text\n"
      "                  (\"30\" in double quotes is the text 30)\n",
      "  clear [all]     zero every object's counters and distributions (all: also the\n"
      "                  event-number difference and the lost percentages); a direct call\n"
      "                  on the statistics objects, not a remote call\n"
      "  pause, resume   stop and restart the event source (event numbers go on without a gap)\n"
      "  report          the report: every property, the distributions, injected events\n"
      "                  against counted ones\n"
      "  save            save the settings into the --config file\n"};
}

// The written value as the user should read it: its type and content.
std::string sent_text(const EqData& value) {
  switch (value.type()) {
    case DATA_INT:
      return "int " + value.get_string();
    case DATA_LONG:
      return "long " + value.get_string();
    case DATA_FLOAT:
      return "float " + reply_text(value);
    case DATA_DOUBLE:
      return "double " + reply_text(value);
    default:
      return "text " + reply_text(value);
  }
}

// A refusal's reason as the shell shows it after "error: NAME: ".
std::string error_text(const EqData& reply) {
  return one_line(reply.error_text()) + " (error " + std::to_string(reply.error()) + ")";
}

PropertyReading reading_of(const EqData& reply) {
  if (reply.error() != 0) return PropertyReading{"", error_text(reply)};
  return PropertyReading{reply_text(reply), ""};
}

// Whether the value read after a write holds the value sent (see
// holds_number); a text for a number property, or the reverse, is the
// property's own conversion.
bool holds_sent(const EqData& sent, const EqData& value) {
  if (value.error() != 0) return true;  // nothing to tell by
  const bool sent_number = EqData::kind_of(sent.type()) != EqData::Kind::none;
  const bool value_number = EqData::kind_of(value.type()) != EqData::Kind::none;
  if (sent_number && value_number) return holds_number(sent.get_double(), value.get_double());
  if (!sent_number && !value_number) return sent.get_string() == value.get_string();
  return true;
}

std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Shell::Shell(SimulatedServer& server, std::ostream& out)
    : server_(server), commands_(*this, this, local_help(), out) {}

Shell::~Shell() = default;

std::vector<std::string> Shell::names() { return server_.location().property_names(); }

std::vector<std::pair<std::string, PropertyReading>> Shell::list() {
  EqFct& location = server_.location();
  std::vector<std::pair<std::string, PropertyReading>> readings;
  for (const std::string& name : location.property_names()) {
    const EqData reply = remote_read(location, name);
    if (reply.error() == unknown_property) continue;  // removed since the listing
    readings.emplace_back(name, reading_of(reply));
  }
  return readings;
}

PropertyReading Shell::get(const std::string& name) {
  const EqData reply = remote_read(server_.location(), name);
  PropertyReading reading = reading_of(reply);
  if (reply.error() == unknown_property) reading.error += why_missing(name);
  return reading;
}

std::string Shell::why_missing(const std::string& name) {
  const std::string on = switch_of(name);
  if (on.empty()) return "";
  const EqData reply = remote_read(server_.location(), on);
  return reply.error() == 0 && reply.get_long() == 0 ? "; " + statistics_off(on) : "";
}

WriteOutcome Shell::set(const std::string& name, const std::string& text) {
  EqFct& location = server_.location();
  const EqData value = value_from_text(text);
  const std::size_t count_before = location.property_names().size();
  const EqData current = remote_read(location, name);
  WriteOutcome outcome;
  // Refused as an HTTP write of the same value is: the conversions of the
  // remote call would store some other value.
  if (current.error() == 0) {
    if (const std::string misfit = daqnet::value_misfit(value, current); !misfit.empty()) {
      outcome.error = "refused: " + misfit;
      return outcome;
    }
  }
  outcome.before = reply_text(current);
  server_.before_write(name);
  const EqData reply = remote_write(location, name, value);
  if (reply.error() != 0) {
    outcome.error = error_text(reply);
    if (reply.error() == unknown_property) outcome.error += why_missing(name);
    return outcome;
  }
  const EqData after = remote_read(location, name);
  outcome.after = reply_text(after);
  outcome.written = holds_sent(value, after);
  const std::size_t count_after = location.property_names().size();
  outcome.sent = sent_text(value);
  outcome.reply = reply_text(reply);

  const bool changed = outcome.after != outcome.before;
  if (count_after < count_before) {
    outcome.notes +=
        "; " + count_of(count_before - count_after, "property", "properties") + " removed";
  } else if (count_after > count_before) {
    outcome.notes +=
        "; " + count_of(count_after - count_before, "property", "properties") + " added";
  }
  if (changed && outcome.written && outcome.reply != outcome.after && !server_.paused()) {
    outcome.notes += "; events arriving meanwhile may have changed it too (pause for a still view)";
  }
  if (count_after != count_before || (changed && SimulatedServer::is_switch(name))) {
    interfered_ = true;
  }
  return outcome;
}

std::string Shell::clear(bool all) {
  const std::size_t objects = server_.object_count();
  interfered_ = true;
  for (std::size_t i = 0; i < objects; ++i) server_.stat(i).clear(all);
  return "cleared " + count_of(objects, "object", "objects") +
         (all ? ": counters, distributions, event-number difference and lost percentages\n"
              : ": counters and distributions\n");
}

std::string Shell::pause() {
  if (server_.paused()) return "already paused\n";
  server_.pause();
  interfered_ = true;
  return "paused: no events until resume\n";
}

std::string Shell::resume() {
  if (!server_.paused()) return "not paused\n";
  server_.resume();
  return "resumed\n";
}

std::string Shell::report() { return render_report(server_, interfered_); }

std::string Shell::save() {
  try {
    if (server_.save()) return "saved to " + server_.options().config_file + "\n";
    return "error: no --config file given\n";
  } catch (const SettingsError& e) {
    return "error: save: " + one_line(e.what()) + "\n";
  }
}

}  // namespace daqevstat::tool
