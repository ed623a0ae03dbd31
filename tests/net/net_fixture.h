#ifndef TESTS_NET_NET_FIXTURE_H_
#define TESTS_NET_NET_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "daqevstat_http.h"
#include "eq_fct.h"
#include "http_client.h"
#include "local_clock.h"
#include "vrel_daq_event_stat.h"

namespace daqnet::testing {

inline constexpr const char* kToken = "s3cret-test-token-0123";

// A location with one statistics object EVSTAT, switched on, fed with known
// events on a manual clock, and served over HTTP on a free loopback port.
class ServedLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    stat_ = std::make_unique<vrel_daq_event_stat>("EVSTAT test statistics", &location_);
    write_int("EVSTAT.STAT.ON", 1);
  }
  void TearDown() override {
    if (http_ != nullptr) http_->stop();
  }

  void serve(HttpServerOptions options = {}) {
    if (options.write_token.empty()) options.write_token = kToken;
    http_ = std::make_unique<HttpServer>(std::vector<EqFct*>{&location_}, options);
    http_->start();
  }

  // Events 1..count, event times 3 ms apart, each arriving 4 ms late.
  void feed(int count) {
    for (int i = 1; i <= count; ++i) {
      const std::int64_t event_us = 1700000000LL * 1000000 + i * 3000;
      clock_.set((event_us + 4000) / 1000000, (event_us + 4000) % 1000000);
      vrel_time_id tid{static_cast<std::uint32_t>(i),
                       {static_cast<std::uint32_t>(event_us / 1000000),
                        static_cast<std::uint32_t>(event_us % 1000000)}};
      stat_->update_by_tid(&tid);
    }
  }

  void write_int(const std::string& name, int value) {
    EqData in;
    EqData out;
    in.set(value);
    location_.remote_set(name, &in, &out);
  }

  int read_int(const std::string& name) {
    EqData in;
    EqData out;
    location_.remote_get(name, &in, &out);
    return out.get_int();
  }

  std::unique_ptr<HttpClient> client(const std::string& host = "127.0.0.1") {
    return std::make_unique<HttpClient>(host, http_->port());
  }

  static nlohmann::json body_of(const Result& result) {
    EXPECT_TRUE(result) << "no reply: " << result.error();
    if (!result) return nullptr;
    return nlohmann::json::parse(result->body, nullptr, false);
  }

  daqevstat::ManualClock clock_{1700000000, 0};
  daqevstat::ScopedLocalClock scoped_clock_{&clock_};
  EqFct location_{"LOC"};
  std::unique_ptr<vrel_daq_event_stat> stat_;
  std::unique_ptr<HttpServer> http_;
};

}  // namespace daqnet::testing

#endif  // TESTS_NET_NET_FIXTURE_H_
