// Every endpoint and every error status of the HTTP server, on loopback.

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "daqevstat_http.h"
#include "net_fixture.h"
#include "tool/replay/json_writer.h"

namespace daqnet::testing {
namespace {

using Json = nlohmann::json;

constexpr const char* kPeriod = "/api/v1/properties/EVSTAT.STAT.EV.LOST.PERIOD";

Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

int thread_count() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

// The count once it has become `expected`, or as it is after two seconds: a
// joined thread's task may stay listed for a moment after the join returns.
int thread_count_settled_at(int expected) {
  int count = thread_count();
  for (int tries = 0; count != expected && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = thread_count();
  }
  return count;
}

class HttpServerTest : public ServedLocation {};

TEST_F(HttpServerTest, PropertiesAreTheReplayJsonByteForByte) {
  feed(20);
  serve();
  const auto result = client()->Get("/api/v1/properties");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("application/json", result->get_header_value("Content-Type"));
  EXPECT_EQ(daqevstat::tool::render_json(*stat_), result->body);
  const Json properties = Json::parse(result->body).at("properties");
  EXPECT_EQ(11u, properties.size());
  EXPECT_EQ(20, properties.at("EVSTAT.STAT.EV.TOTAL").get<int>());
  EXPECT_EQ(19, properties.at("EVSTAT.STAT.EV.PERIOD.TD").at("bins").at("3").get<int>());
}

TEST_F(HttpServerTest, OnePropertyAndUnknownOnes) {
  feed(5);
  serve();
  auto c = client();
  Json body = body_of(c->Get("/api/v1/properties/EVSTAT.STAT.EV.TOTAL"));
  EXPECT_EQ("EVSTAT.STAT.EV.TOTAL", body.at("name"));
  EXPECT_EQ(5, body.at("value").get<int>());
  body = body_of(c->Get("/api/v1/properties/EVSTAT.STAT.EV.INFO"));
  EXPECT_EQ(5, body.at("value").at("i1_data").get<int>());

  auto head = c->Head("/api/v1/properties/EVSTAT.STAT.ON");
  ASSERT_TRUE(head);
  EXPECT_EQ(200, head->status);
  EXPECT_TRUE(head->body.empty());

  for (const char* path : {"/api/v1/properties/NOPE", "/api/v1/properties/", "/nowhere",
                           "/api/v1/propertiesX", "/api/v2/properties"}) {
    const auto result = c->Get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(404, result->status) << path;
    EXPECT_TRUE(body_of(result).at("error").is_string()) << path;
  }
  // A name is decoded from the path as a client would encode it.
  write_int("EVSTAT.STAT.ON", 0);
  body = body_of(c->Get("/api/v1/properties/EVSTAT%2ESTAT%2EON"));
  EXPECT_EQ(0, body.at("value").get<int>());
}

TEST_F(HttpServerTest, WritesNeedTheTokenAndRepeatedWrongOnesBlockThePeer) {
  serve();
  auto c = client();
  const std::string body = R"({"value": 30})";
  // Five failures are answered 403; from then on the peer is refused 429,
  // even with the right token, and nothing changes.
  const std::vector<Headers> wrong = {Headers{},
                                      bearer("wrong"),
                                      bearer(std::string(kToken) + "x"),
                                      bearer(std::string(kToken).substr(1)),
                                      Headers{{"Authorization", kToken}},
                                      Headers{{"Authorization", std::string("Basic ") + kToken}}};
  for (std::size_t i = 0; i < wrong.size(); ++i) {
    const auto result = c->Put(kPeriod, wrong[i], body, "application/json");
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(i < 5 ? 403 : 429, result->status) << i;
    EXPECT_TRUE(body_of(result).at("error").is_string());
  }
  const auto blocked = c->Put(kPeriod, bearer(kToken), body, "application/json");
  EXPECT_EQ(429, blocked->status);
  EXPECT_FALSE(blocked->get_header_value("Retry-After").empty());
  EXPECT_EQ(15, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
  // Reads go on.
  EXPECT_EQ(200, c->Get(kPeriod)->status);

  // A new server forgets; the right token, in any case of the scheme.
  http_->stop();
  serve();
  auto fresh = client();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(403, fresh->Put(kPeriod, bearer("wrong"), body, "application/json")->status);
  }
  auto result = fresh->Put(kPeriod, {{"Authorization", std::string("bEaReR  ") + kToken}}, body,
                           "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ(30, body_of(result).at("value").get<int>());
  EXPECT_EQ(30, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
}

TEST_F(HttpServerTest, AServerWithoutTokenRefusesEveryWrite) {
  HttpServerOptions options;
  options.write_token = "";
  http_ = std::make_unique<HttpServer>(std::vector<EqFct*>{&location_}, options);
  http_->start();
  for (const Headers& headers : {Headers{}, bearer(""), bearer(kToken)}) {
    const auto result = client()->Put(kPeriod, headers, R"({"value": 30})", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(403, result->status);
  }
  EXPECT_EQ(15, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
}

TEST_F(HttpServerTest, WritesAreAnsweredByTheProperty) {
  feed(7);
  serve();
  auto c = client();
  const auto put = [&](const std::string& path, const std::string& body) {
    return c->Put(path, bearer(kToken), body, "application/json");
  };
  // A period of 0 or less is refused by the property: the reply is the
  // unchanged period.
  Json body = body_of(put(kPeriod, R"({"value": 0})"));
  EXPECT_EQ(15, body.at("value").get<int>());
  body = body_of(put(kPeriod, R"({"value": 2.9})"));
  EXPECT_EQ(2, body.at("value").get<int>());
  // The counters are read-only: a write is answered with the current value.
  body = body_of(put("/api/v1/properties/EVSTAT.STAT.EV.TOTAL", R"({"value": 1000})"));
  EXPECT_EQ(7, body.at("value").get<int>());
  EXPECT_EQ(7, read_int("EVSTAT.STAT.EV.TOTAL"));
  // Switching off removes the set; switching on builds it again.
  body = body_of(put("/api/v1/properties/EVSTAT.STAT.ON", R"({"value": 0})"));
  EXPECT_EQ(0, body.at("value").get<int>());
  EXPECT_EQ(404, c->Get("/api/v1/properties/EVSTAT.STAT.EV.TOTAL")->status);
  EXPECT_EQ(1u, body_of(c->Get("/api/v1/properties")).at("properties").size());
  EXPECT_EQ(200, put("/api/v1/properties/EVSTAT.STAT.ON", R"({"value": 1})")->status);
  EXPECT_EQ(11u, body_of(c->Get("/api/v1/properties")).at("properties").size());
  // Unknown property, with the token.
  const auto unknown = put("/api/v1/properties/NOPE", R"({"value": 1})");
  EXPECT_EQ(404, unknown->status);
  EXPECT_EQ(4, body_of(unknown).at("code").get<int>());
}

TEST_F(HttpServerTest, MalformedAndOversizedBodiesAreRefused) {
  serve();
  auto c = client();
  for (const std::string& body : std::vector<std::string>{
           "", "{", "30", "[30]", R"({"value": true})", R"({"value": null})", R"({"value": [1]})",
           R"({"value": {"a": 1}})", R"({"val": 30})", R"({"value": 30, "more": 1})",
           std::string("{\"value\": \"\xff\"}")}) {
    const auto result = c->Put(kPeriod, bearer(kToken), body, "application/json");
    ASSERT_TRUE(result) << body;
    EXPECT_EQ(400, result->status) << body;
    EXPECT_TRUE(body_of(result).at("error").is_string()) << body;
  }
  const auto big = c->Put(kPeriod, bearer(kToken),
                          R"({"value": ")" + std::string(5000, 'x') + "\"}", "application/json");
  ASSERT_TRUE(big);
  EXPECT_EQ(413, big->status);
  EXPECT_TRUE(body_of(big).at("error").is_string());
  EXPECT_EQ(15, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
  // The server still answers.
  EXPECT_EQ(200, client()->Get("/api/v1/properties")->status);
}

TEST_F(HttpServerTest, WrongMethodsAre405WithTheAllowedOnes) {
  serve();
  auto c = client();
  struct Case {
    const char* path;
    const char* allow;
  };
  for (const Case& k : {Case{"/", "GET, HEAD"}, Case{"/metrics", "GET, HEAD"},
                        Case{"/api/v1/properties", "GET, HEAD"},
                        Case{"/api/v1/properties/EVSTAT.STAT.ON", "GET, HEAD, PUT"}}) {
    std::vector<Result> results;
    results.push_back(c->Post(k.path, "{}", "application/json"));
    results.push_back(c->Delete(k.path));
    results.push_back(c->Patch(k.path, "{}", "application/json"));
    results.push_back(c->Options(k.path));
    for (const Result& result : results) {
      ASSERT_TRUE(result) << k.path;
      EXPECT_EQ(405, result->status) << k.path;
      EXPECT_EQ(k.allow, result->get_header_value("Allow")) << k.path;
      EXPECT_TRUE(body_of(result).at("error").is_string()) << k.path;
    }
    EXPECT_EQ(k.allow == std::string("GET, HEAD") ? 405 : 403,
              c->Put(k.path, "{}", "application/json")->status)
        << k.path;
  }
  EXPECT_EQ(1, read_int("EVSTAT.STAT.ON"));
}

TEST_F(HttpServerTest, DashboardPageAndMetricsHaveTheirTypesAndPolicies) {
  serve();
  auto c = client();
  const auto page = c->Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(200, page->status);
  EXPECT_EQ("text/html; charset=utf-8", page->get_header_value("Content-Type"));
  EXPECT_EQ("no-store", page->get_header_value("Cache-Control"));
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(std::string::npos, policy.find("default-src 'none'"));
  EXPECT_NE(std::string::npos, policy.find("connect-src 'self'"));
  EXPECT_EQ(std::string::npos, policy.find("http")) << "no other origin may be named";
  EXPECT_EQ(std::string::npos, policy.find('*'));
  EXPECT_NE(std::string::npos, page->body.find("<html"));

  const auto metrics = c->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics->get_header_value("Content-Type"));
  EXPECT_NE(std::string::npos,
            metrics->body.find("daqevstat_stat_on{location=\"LOC\",base=\"EVSTAT\"} 1\n"));
}

TEST_F(HttpServerTest, ServesIpv6Loopback) {
  HttpServerOptions options;
  options.host = "::1";
  http_ = std::make_unique<HttpServer>(std::vector<EqFct*>{&location_}, options);
  try {
    http_->start();
  } catch (const std::runtime_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  EXPECT_EQ("http://[::1]:" + std::to_string(http_->port()) + "/", http_->url());
  const auto result = client("::1")->Get("/api/v1/properties/EVSTAT.STAT.ON");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  // Not on the IPv4 loopback.
  HttpClient v4("127.0.0.1", http_->port(), std::chrono::milliseconds(1000));
  EXPECT_FALSE(v4.Get("/"));
}

TEST_F(HttpServerTest, StartAndStopLeaveNoThreadAndFreeThePort) {
  // A sanitizer's runtime starts a thread of its own with the first thread
  // the process makes; let that happen before counting.
  std::thread([] {}).join();
  // Counted once that thread's task is gone: while the count still drops.
  int threads_before = thread_count();
  for (int tries = 0; tries < 50; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int now = thread_count();
    if (now >= threads_before) break;
    threads_before = now;
  }
  HttpServerOptions options;
  {
    HttpServer first({&location_}, options);
    first.start();
    // One I/O thread, whatever the number of connections.
    EXPECT_EQ(threads_before + 1, thread_count_settled_at(threads_before + 1));
    // Its port cannot be taken twice.
    HttpServerOptions same = options;
    same.port = first.port();
    HttpServer second({&location_}, same);
    EXPECT_THROW(second.start(), std::runtime_error);
    HttpClient c("127.0.0.1", first.port());
    EXPECT_EQ(200, c.Get("/metrics")->status);
    first.stop();
    first.stop();
    EXPECT_EQ(threads_before, thread_count_settled_at(threads_before));
    // The port is free again.
    HttpServer third({&location_}, same);
    EXPECT_NO_THROW(third.start());
  }  // destroyed while serving: stops
  EXPECT_EQ(threads_before, thread_count_settled_at(threads_before));
  // Stopped at once after start, and never started.
  HttpServer quick({&location_}, options);
  quick.start();
  quick.stop();
  HttpServer idle({&location_}, options);
  EXPECT_EQ(threads_before, thread_count_settled_at(threads_before));
}

}  // namespace
}  // namespace daqnet::testing

namespace daqnet::testing {
namespace {

class HttpWriteValueTest : public ServedLocation {};

TEST_F(HttpWriteValueTest, ValuesThatDoNotFitThePropertyAreRefusedAndChangeNothing) {
  serve();
  auto c = client();
  const std::string on = "/api/v1/properties/EVSTAT.STAT.ON";
  struct Case {
    std::string path;
    std::string body;
    int status;
    int value;  // of the property afterwards
  };
  for (const Case& k : std::vector<Case>{
           {on, R"({"value": "1"})", 400, 1},
           {on, R"({"value": "0"})", 400, 1},
           {on, R"({"value": 4294967296})", 400, 1},
           {on, R"({"value": -2147483649})", 400, 1},
           {on, R"({"value": 1e300})", 400, 1},
           {on, R"({"value": 18446744073709551615})", 400, 1},
           {kPeriod, R"({"value": "30"})", 400, 15},
           {kPeriod, R"({"value": 2147483648})", 400, 15},
           {kPeriod, R"({"value": 2147483647.5})", 200, 2147483647},
           {kPeriod, R"({"value": 20.9})", 200, 20},
           {kPeriod, R"({"value": -2147483648})", 200, 20},  // the property refuses it
       }) {
    const auto result = c->Put(k.path, bearer(kToken), k.body, "application/json");
    ASSERT_TRUE(result) << k.body;
    EXPECT_EQ(k.status, result->status) << k.path << " " << k.body;
    if (k.status != 200) {
      EXPECT_TRUE(body_of(result).at("error").is_string()) << k.body;
    }
    EXPECT_EQ(k.value, read_int(k.path.substr(k.path.rfind('/') + 1))) << k.body;
  }
}

class MultiLocationTest : public ServedLocation {};

TEST_F(MultiLocationTest, EveryLocationIsServedAndTheFirstAtTheOldPaths) {
  EqFct second{"SECOND LOC/2"};
  vrel_daq_event_stat other("OTHER other statistics", &second);
  EqData in;
  EqData out;
  in.set(1);
  second.remote_set("OTHER.STAT.ON", &in, &out);
  feed(3);
  HttpServerOptions options;
  options.write_token = kToken;
  std::vector<std::string> written;
  options.before_write = [&written](const std::string& location, const std::string& property) {
    written.push_back(location + "|" + property);
  };
  http_ = std::make_unique<HttpServer>(std::vector<EqFct*>{&location_, &second}, options);
  http_->start();
  auto c = client();
  EXPECT_EQ(R"(["LOC","SECOND LOC/2"])",
            body_of(c->Get("/api/v1/locations")).at("locations").dump());
  struct Case {
    std::string path;
    int status;
    std::string member;  // present in the answer's properties, or its name
  };
  const std::string loc = "/api/v1/locations/LOC/properties";
  const std::string sec = "/api/v1/locations/SECOND%20LOC%2F2/properties";
  for (const Case& k : std::vector<Case>{
           {loc, 200, "EVSTAT.STAT.EV.TOTAL"},
           {sec, 200, "OTHER.STAT.EV.TOTAL"},
           {"/api/v1/properties", 200, "EVSTAT.STAT.EV.TOTAL"},
           {sec + "/OTHER.STAT.ON", 200, "OTHER.STAT.ON"},
           {loc + "/EVSTAT.STAT.EV.TOTAL", 200, "EVSTAT.STAT.EV.TOTAL"},
           {sec + "/EVSTAT.STAT.ON", 404, ""},
           {"/api/v1/locations/NOPE/properties", 404, ""},
           {"/api/v1/locations/LOC", 404, ""},
           {"/api/v1/locations/LOC/props", 404, ""},
           {"/api/v1/locations//properties", 404, ""},
           {"/api/v1/locations/LOC/properties/%zz", 400, ""},
       }) {
    const auto result = c->Get(k.path);
    ASSERT_TRUE(result) << k.path;
    EXPECT_EQ(k.status, result->status) << k.path;
    const Json body = body_of(result);
    if (k.status != 200) {
      EXPECT_TRUE(body.at("error").is_string()) << k.path;
    } else if (body.contains("properties")) {
      EXPECT_TRUE(body.at("properties").contains(k.member)) << k.path;
    } else {
      EXPECT_EQ(k.member, body.at("name")) << k.path;
    }
  }
  EXPECT_EQ(3, body_of(c->Get(loc + "/EVSTAT.STAT.EV.TOTAL")).at("value").get<int>());
  // A write goes to the location named, and the callback is told which.
  const auto put = c->Put(sec + "/OTHER.STAT.EV.LOST.PERIOD", bearer(kToken), R"({"value": 25})",
                          "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(200, put->status);
  EXPECT_EQ(15, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
  EXPECT_EQ(std::vector<std::string>{"SECOND LOC/2|OTHER.STAT.EV.LOST.PERIOD"}, written);
  EXPECT_EQ(405, c->Put("/api/v1/locations", bearer(kToken), "{}", "application/json")->status);
  http_->stop();
  EXPECT_THROW(HttpServer({}, options), std::invalid_argument);
  EXPECT_THROW(HttpServer({&location_, nullptr}, options), std::invalid_argument);
  options.write_token = "short";
  HttpServer weak({&location_}, options);
  EXPECT_THROW(weak.start(), std::runtime_error);
}

}  // namespace
}  // namespace daqnet::testing
