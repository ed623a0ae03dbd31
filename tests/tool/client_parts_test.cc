// The pieces of the client of running servers: the server URL, values in
// both directions, the watch line, the command line, and the location
// choice and error handling against a server of canned answers.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tool/client/client_commands.h"
#include "tool/client/client_error.h"
#include "tool/client/http_client.h"
#include "tool/client/remote_location.h"
#include "tool/client/server_url.h"
#include "tool/client/value_json.h"
#include "tool/client/watch_status.h"
#include "tool/fake_http_server.h"
#include "tool/options.h"

namespace daqevstat::tool::client {
namespace {

using daqevstat::testing::FakeHttpServer;

TEST(ServerUrlTest, AcceptsHttpHostAndPortForms) {
  struct Case {
    std::string text, host;
    int port;
  };
  const Case cases[] = {
      {"http://127.0.0.1:9100/", "127.0.0.1", 9100},
      {"http://daq-server.lab", "daq-server.lab", 80},
      {"HTTP://Host_1:1", "Host_1", 1},
      {"127.0.0.1:65535", "127.0.0.1", 65535},
      {"http://[::1]:8080/", "::1", 8080},
      {"http://[fe80::1]", "fe80::1", 80},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<ServerUrl> url = parse_server_url(c.text, &error);
    ASSERT_TRUE(url) << c.text << ": " << error;
    EXPECT_EQ(c.host, url->host) << c.text;
    EXPECT_EQ(c.port, url->port) << c.text;
  }
  std::string ignored;
  EXPECT_EQ("http://[::1]:8080/", parse_server_url("[::1]:8080", &ignored)->text());
  EXPECT_EQ("127.0.0.1:80", parse_server_url("http://127.0.0.1/", &ignored)->authority());
  const std::optional<ServerUrl> secure = parse_server_url("HTTPS://daq-server.lab", &ignored);
  ASSERT_TRUE(secure);
  EXPECT_TRUE(secure->tls);
  EXPECT_EQ("https://daq-server.lab:443/", secure->text());
  EXPECT_FALSE(parse_server_url("daq-server.lab", &ignored)->tls);
}

TEST(ServerUrlTest, RefusesWithAMessageNamingTheFault) {
  const std::pair<std::string, std::string> cases[] = {
      {"ftp://host/", "unsupported scheme"},
      {"http://host:9100/api/v1", "no path"},
      {"http://host/?x=1", "no path"},
      {"http://user@host/", "no user information"},
      {"http://host:0/", "out of range"},
      {"http://host:65536/", "out of range"},
      {"http://host:123456/", "out of range"},
      {"http://host:9x/", "not a number"},
      {"http://host:/", "empty port"},
      {"http://::1:80/", "needs brackets"},
      {"http://[::1/", "unclosed"},
      {"http://[host]/", "not an IPv6 address"},
      {"http://:80/", "no host"},
      {"http://ho st/", "invalid host"},
      {"", "no host"},
  };
  for (const auto& [text, reason] : cases) {
    std::string error;
    EXPECT_FALSE(parse_server_url(text, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(reason)) << text << ": " << error;
  }
}

TEST(ValueJsonTest, SendsTheFormTheShellReads) {
  const std::pair<std::string, Json> cases[] = {
      {"30", 30},
      {"-5", -5},
      {"5000000000", 5000000000LL},
      {"2.5", 2.5},
      {"1e3", 1000.0},
      {"2.9f", 2.9},  // the digits typed, not the float's exact double
      {"abc def", "abc def"},
      {"\"30\"", "30"},
  };
  for (const auto& [text, expected] : cases) {
    std::string error;
    const std::optional<Json> value = value_json(text, &error);
    ASSERT_TRUE(value) << text << ": " << error;
    EXPECT_EQ(expected, *value) << text;
    EXPECT_EQ(expected.type(), value->type()) << text;
  }
  for (const std::string text : {"nan", "-inf", "infinity", "1e999", "1e39f"}) {
    std::string error;
    EXPECT_FALSE(value_json(text, &error)) << text;
    EXPECT_NE(std::string::npos, error.find("cannot be sent")) << error;
  }
  EXPECT_EQ("int 30", sent_text("30"));
  EXPECT_EQ("long 5000000000", sent_text("5000000000"));
  EXPECT_EQ("double 2.5", sent_text("2.5"));
  EXPECT_EQ("float 2.9000001", sent_text("2.9f"));
  EXPECT_EQ("text \"30\"", sent_text("\"30\""));
}

// What set takes for written: the value sent, as the property keeps it.
TEST(ValueJsonTest, AWriteHoldsWhenThePropertyKeptTheValueSent) {
  const std::tuple<Json, Json, bool> cases[] = {
      {30, 30, true},         {2.9, 2, true},  // an integer property keeps the whole part
      {2.9, 2.9000001, true},                  // a float one its own rounding
      {"abc", "abc", true},   {5, "5", true},  // a text property converts a number
      {0, 15, false},         {5, 12499, false},    {-5, 15, false},
      {"abc", "abd", false},  {30, nullptr, false},
  };
  for (const auto& [sent, value, holds] : cases) {
    EXPECT_EQ(holds, holds_sent(sent, value)) << sent << " -> " << value;
  }
}

TEST(ValueJsonTest, PrintsServerValuesAsTheShellPrintsReplies) {
  const std::pair<Json, std::string> cases[] = {
      {Json(42), "42"},
      {Json(-7), "-7"},
      {Json(0.8032128215), "0.803212821"},
      {Json("text"), "\"text\""},
      {Json(nullptr), "null"},
      {Json::parse(R"({"i1_data": 752, "f1_data": 746, "f2_data": 381.25, "tm": 1796838345,
                       "str_data": "VREL_EV_NORMAL"})"),
       "event 752, count 746, time 1796838345 s + 381.25 ms, \"VREL_EV_NORMAL\""},
      {Json::parse(R"({"bins": {"0": 5, "12": 2, "3": 1}})"),
       "spectrum, 8 samples, bins 0 to 12 occupied"},
      {Json::parse(R"({"bins": {}})"), "spectrum, 0 samples"},
      {Json::parse("[1, 2.5]"), "[1, 2.5]"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(text, value_text(value)) << value.dump();
}

// A location's properties as the server lists them, for one object.
Json object_properties(long long total, long long lost, const Json& latency_bins,
                       const Json& on = 1) {
  Json properties = Json::object();
  properties["EVSTAT.STAT.ON"] = on;
  properties["EVSTAT.STAT.EV.TOTAL"] = total;
  properties["EVSTAT.STAT.EV.LOST"] = lost;
  properties["EVSTAT.STAT.EV.LATENCY.TD"] = Json{{"bins", latency_bins}};
  properties["EVSTAT.STAT.EV.LOST.PERC"] = 1.5;
  properties["EVSTAT.STAT.EV.LOST.PRD.PERC"] = nullptr;
  properties["OTHER.STAT.ON"] = 0;
  return properties;
}

TEST(WatchStatusTest, RateNeedsTwoReadingsOfACountThatGrows) {
  using std::chrono::seconds;
  WatchStatus watch("EVSTAT");
  const auto t0 = WatchStatus::Clock::time_point{} + seconds(100);
  const Json bins = Json::parse(R"({"2": 50, "7": 49, "8191": 1})");
  EXPECT_EQ(
      "EVSTAT: events 1000  rate -  lost 3 (1.50%)  lost in period -  latency p50 2 ms  "
      "p99 7 ms",
      watch.line(object_properties(1000, 3, bins), t0));
  EXPECT_NE(std::string::npos,
            watch.line(object_properties(3000, 3, bins), t0 + seconds(2)).find("rate 1000/s"));
  // A count that went back (cleared, restarted) gives no rate.
  EXPECT_NE(std::string::npos,
            watch.line(object_properties(10, 0, bins), t0 + seconds(3)).find("rate -"));
  // The last bin holds everything from its start on; an empty spectrum
  // shows no latency.
  const std::string slow =
      watch.line(object_properties(20, 0, Json::parse(R"({"8191": 3})")), t0 + seconds(4));
  EXPECT_NE(std::string::npos, slow.find("p50 >=8191 ms  p99 >=8191 ms")) << slow;
  EXPECT_EQ(std::string::npos,
            watch.line(object_properties(30, 0, Json::object()), t0 + seconds(5)).find("latency"));

  EXPECT_EQ("EVSTAT: statistics off",
            watch.line(object_properties(0, 0, bins, 0), t0 + seconds(6)));
  EXPECT_EQ("EVSTAT: not published at this location", watch.line(Json::object(), t0));
  EXPECT_TRUE(watch.published(object_properties(0, 0, bins)));
  EXPECT_EQ((std::vector<std::string>{"EVSTAT", "OTHER"}),
            statistics_bases(object_properties(0, 0, bins)));
}

TEST(ClientCommandLineTest, ParsesTheClientCommands) {
  Command command = parse_command({"get", "--server", "http://h:1/", "--json", "A", "B"});
  ASSERT_EQ(Command::Action::get, command.action) << command.error;
  EXPECT_EQ("http://h:1/", command.get.client.server);
  EXPECT_TRUE(command.get.json);
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), command.get.names);

  command = parse_command({"set", "--location", "L", "--token-file", "t", "NAME", "-5"});
  ASSERT_EQ(Command::Action::set, command.action) << command.error;
  EXPECT_EQ("L", command.set.client.location);
  EXPECT_EQ("t", command.set.client.token_file);
  EXPECT_EQ("-5", command.set.value);

  command = parse_command({"watch", "--interval", "0.5", "--count", "3", "EVSTAT"});
  ASSERT_EQ(Command::Action::watch, command.action) << command.error;
  EXPECT_EQ(0.5, command.watch.interval_sec);
  EXPECT_EQ(3, command.watch.count);

  command = parse_command({"shell", "--connect", "http://h/", "--location", "L"});
  ASSERT_EQ(Command::Action::shell, command.action) << command.error;
  EXPECT_EQ("http://h/", command.shell.connect.server);

  const std::vector<std::vector<std::string>> refused = {
      {"get"},
      {"set", "NAME"},
      {"set", "--token", "secret", "NAME", "1"},  // tokens never on the command line
      {"watch", "--count", "0", "EVSTAT"},
      {"watch", "--interval", "0.01", "EVSTAT"},
      {"watch", "--server", "", "EVSTAT"},
      {"shell", "--connect", "http://h/", "--rate", "5"},
      {"shell", "--location", "L"},  // only with --connect
  };
  for (const auto& args : refused) {
    EXPECT_EQ(Command::Action::usage_error, parse_command(args).action) << args.back();
  }
}

// A server of two locations, A and B, whose B has the property "X/Y".
FakeHttpServer::Answer two_locations(const std::string& target, const std::string& request) {
  if (target == "/api/v1/locations") return {200, R"({"locations": ["A", "B"]})"};
  if (target == "/api/v1/locations/B/properties/X%2FY") {
    if (request.rfind("PUT", 0) == 0) {
      if (request.find("Authorization: Bearer tok\r\n") == std::string::npos) {
        return {403, R"({"error": "writing needs the write token"})"};
      }
      return {200, R"({"name": "X/Y", "value": 20})"};
    }
    return {200, R"({"name": "X/Y", "value": 15})"};
  }
  return {404, R"({"error": "unknown property"})"};
}

HttpLimits short_limits() {
  HttpLimits limits;
  limits.connect_timeout = std::chrono::milliseconds(2000);
  limits.answer_timeout = std::chrono::milliseconds(300);
  return limits;
}

ServerUrl url_of(const FakeHttpServer& server) { return ServerUrl{"127.0.0.1", server.port()}; }

TEST(RemoteLocationTest, ChoosesTheLocationAndSpeaksItsPaths) {
  FakeHttpServer server(two_locations);
  {
    RemoteLocation none(url_of(server), "", "", short_limits());
    try {
      none.get("X/Y");
      FAIL() << "several locations and none named";
    } catch (const ClientError& e) {
      EXPECT_EQ(2, e.exit_status());
      EXPECT_NE(std::string::npos, std::string(e.what()).find("--location: A, B")) << e.what();
    }
  }
  {
    RemoteLocation unknown(url_of(server), "C", "", short_limits());
    try {
      unknown.resolve();
      FAIL() << "C is not served";
    } catch (const ClientError& e) {
      EXPECT_EQ(1, e.exit_status());
      EXPECT_NE(std::string::npos, std::string(e.what()).find("no location \"C\"")) << e.what();
    }
  }
  RemoteLocation b(url_of(server), "B", "tok", short_limits());
  const PropertyAnswer read = b.get("X/Y");
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(Json(15), read.value);
  const PropertyAnswer missing = b.get("Z");
  EXPECT_EQ(404, missing.status);
  EXPECT_EQ("unknown property (HTTP 404)", missing.error);
  const PropertyAnswer written = b.put("X/Y", Json(20));
  ASSERT_TRUE(written.ok()) << written.error;
  EXPECT_EQ(Json(20), written.value);
  EXPECT_NE(std::string::npos, server.requests().back().find("\r\n\r\n{\"value\":20}"));

  RemoteLocation without_token(url_of(server), "B", "", short_limits());
  const PropertyAnswer refused = without_token.put("X/Y", Json(20));
  EXPECT_EQ(403, refused.status);
  EXPECT_EQ("writing needs the write token (HTTP 403)", refused.error);
}

TEST(RemoteLocationTest, ServerOfOneUnnamedLocationUsesTheOlderPaths) {
  FakeHttpServer server([](const std::string& target, const std::string&) {
    if (target == "/api/v1/properties/P") return FakeHttpServer::Answer{200, R"({"value": 1})"};
    return FakeHttpServer::Answer{404, R"({"error": "no such resource"})"};
  });
  RemoteLocation location(url_of(server), "", "", short_limits());
  EXPECT_EQ(Json(1), location.get("P").value);
  EXPECT_EQ("", location.location());

  RemoteLocation named(url_of(server), "L", "", short_limits());
  EXPECT_THROW(named.resolve(), ClientError);
}

TEST(RemoteLocationTest, SilenceAndGarbageAreErrorsNotAnswers) {
  FakeHttpServer silent([](const std::string&, const std::string&) {
    return FakeHttpServer::Answer{0, ""};
  });
  RemoteLocation quiet(url_of(silent), "", "", short_limits());
  try {
    quiet.get("P");
    FAIL() << "no answer";
  } catch (const ClientError& e) {
    EXPECT_EQ(ClientError::Kind::unreachable, e.kind());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("no answer from")) << e.what();
  }

  FakeHttpServer garbage([](const std::string& target, const std::string&) {
    if (target == "/api/v1/locations") return FakeHttpServer::Answer{200, R"({"locations":["L"]})"};
    return FakeHttpServer::Answer{200, "<html>not JSON</html>"};
  });
  RemoteLocation confused(url_of(garbage), "", "", short_limits());
  EXPECT_THROW(confused.get("P"), ClientError);
  EXPECT_EQ("L", confused.location());

  // Interrupted while waiting: abandoned at once, not at the timeout.
  HttpLimits limits = short_limits();
  limits.answer_timeout = std::chrono::milliseconds(60000);
  limits.interrupted = [] { return true; };
  try {
    send_request(url_of(silent), HttpRequest{}, limits);
    FAIL() << "interrupted";
  } catch (const ClientError& e) {
    EXPECT_STREQ("interrupted", e.what());
  }
}

TEST(HttpClientTest, PathSegmentsKeepNamesWhole) {
  EXPECT_EQ("EVSTAT.STAT.EV.LOST", path_segment("EVSTAT.STAT.EV.LOST"));
  EXPECT_EQ("a%2Fb%20c%3F%25", path_segment("a/b c?%"));
}

}  // namespace
}  // namespace daqevstat::tool::client
