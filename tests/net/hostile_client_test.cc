// Malformed, oversized, truncated and slow requests over raw sockets: each
// is answered with an error or dropped within the server's limits, and the
// server goes on serving others meanwhile and afterwards.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "d_fct.h"
#include "eq_data.h"
#include "net_fixture.h"
#include "raw_client.h"

namespace daqnet::testing {
namespace {

class HostileClientTest : public ServedLocation {
 protected:
  void SetUp() override {
    ServedLocation::SetUp();
    HttpServerOptions options;
    options.read_timeout = milliseconds(500);
    options.request_deadline = milliseconds(1500);
    options.keep_alive_timeout = milliseconds(500);
    serve(options);
  }

  // A plain request from a well-behaved client still succeeds.
  void expect_serving() {
    auto c = client();
    const auto result = c->Get("/api/v1/properties/EVSTAT.STAT.ON");
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
  }
};

TEST_F(HostileClientTest, MalformedRequestsGetAnErrorAndTheConnectionEnds) {
  const std::string long_target = "GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n";
  struct Case {
    std::string request;
    int low;  // acceptable status range
    int high;
  };
  for (const Case& k : std::vector<Case>{
           {"HELLO\r\n\r\n", 400, 400},
           {"FOO /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400, 405},

           {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + "\r\n\r\n", 400, 400},
           {long_target, 400, 414},
           {"PUT /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nContent-Length: 99999999\r\n"
            "Authorization: Bearer " +
                std::string(kToken) + "\r\n\r\n{}",
            413, 413},
           {"PUT /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400,
            413},
       }) {
    RawClient raw(http_->port());
    ASSERT_TRUE(raw.connected());
    raw.send(k.request);
    bool closed = false;
    const std::string response = raw.receive(milliseconds(3000), &closed);
    const int status = status_of(response);
    EXPECT_GE(status, k.low) << k.request.substr(0, 60) << "\n" << response;
    EXPECT_LE(status, k.high) << k.request.substr(0, 60) << "\n" << response;
    EXPECT_TRUE(closed) << k.request.substr(0, 60);
  }
  EXPECT_EQ(1, read_int("EVSTAT.STAT.ON"));
  expect_serving();
}

TEST_F(HostileClientTest, HeadersBeyondTheLimitAreNotServed) {
  // Many short header lines, each within the layer's own line limit, and
  // one line beyond it.
  std::string many = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; i < 2000; ++i)
    many += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
  many += "\r\n";
  const std::string one_long =
      "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(64 * 1024, 'v') + "\r\n\r\n";
  for (const std::string& request : {many, one_long}) {
    RawClient raw(http_->port());
    ASSERT_TRUE(raw.connected());
    raw.send(request);  // may fail part-way once the server has given up
    bool closed = false;
    const auto start = Clock::now();
    const std::string response = raw.receive(milliseconds(4000), &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_NE(200, status_of(response)) << response.substr(0, 200);
  }
  expect_serving();
}

// A property whose every read is a text of 3 MB: its answer is larger than
// what loopback sockets hold between the two ends.
class LargeText : public D_fct {
 public:
  LargeText() : D_fct("LARGE.TEXT a large answer", nullptr) {}
  void get(EqAdr*, EqData*, EqData* out, EqFct*) override {
    std::string text(3 << 20, 'x');
    for (std::size_t i = 0; i < text.size(); i += 4096)
      text[i] = static_cast<char>('a' + i / 4096 % 26);
    out->set(text);
  }
  int data_type() const override { return DATA_STRING; }
};

// Such an answer leaves the server in many sends, each taking what a
// reader with a small receive window has made room for: it arrives whole
// and in order.
TEST_F(HostileClientTest, AReaderWithASmallWindowGetsAnAnswerLargerThanTheSocketsHoldWhole) {
  LargeText large;
  location_.add_property(&large, 0);
  const std::string request =
      "GET /api/v1/properties/LARGE.TEXT HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  RawClient fast(http_->port());
  ASSERT_TRUE(fast.send(request));
  bool closed = false;
  const std::string expected = fast.receive(milliseconds(5000), &closed);
  ASSERT_TRUE(closed);
  ASSERT_GT(expected.size(), 3u << 20);

  RawClient slow(http_->port(), nullptr, 4096);
  ASSERT_TRUE(slow.send(request));
  std::string got;
  const auto until = Clock::now() + milliseconds(8000);
  while (Clock::now() < until) {
    pollfd poller{slow.fd(), POLLIN, 0};
    if (::poll(&poller, 1, 20) <= 0) continue;
    char buffer[64 * 1024];
    const ssize_t n = ::recv(slow.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(expected.size(), got.size());
  EXPECT_TRUE(expected == got);
  location_.rem_property(&large);
}

TEST_F(HostileClientTest, SlowAndSilentClientsAreDroppedWhileOthersAreServed) {
  // One byte every 100 ms: each read makes progress, so only the request's
  // deadline ends it.
  std::thread slow([this] {
    RawClient raw(http_->port());
    const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'z') + "\r\n\r\n";
    const auto start = Clock::now();
    bool dropped = false;
    for (char c : request) {
      if (!raw.send(std::string(1, c))) {
        dropped = true;
        break;
      }
      std::this_thread::sleep_for(milliseconds(100));
      if (Clock::now() - start > milliseconds(6000)) break;
    }
    bool closed = false;
    raw.receive(milliseconds(1000), &closed);
    EXPECT_TRUE(dropped || closed);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(1200));
    EXPECT_LT(took, milliseconds(4500));
  });
  // A silent connection is dropped after the read timeout.
  std::thread silent([this] {
    RawClient raw(http_->port());
    const auto start = Clock::now();
    bool closed = false;
    raw.receive(milliseconds(4000), &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - start, milliseconds(2500));
  });
  // A truncated body: the write never happens and the connection ends.
  std::thread truncated([this] {
    RawClient raw(http_->port());
    raw.send(
        "PUT /api/v1/properties/EVSTAT.STAT.EV.LOST.PERIOD HTTP/1.1\r\nAuthorization: "
        "Bearer " +
        std::string(kToken) + "\r\nContent-Length: 100\r\n\r\n{\"value\": 3");
    bool closed = false;
    const auto start = Clock::now();
    const std::string response = raw.receive(milliseconds(4000), &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - start, milliseconds(2500));
    EXPECT_NE(200, status_of(response));
  });
  // Meanwhile a good client is served: both workers may be taken for a
  // while, never for longer than the limits.
  std::this_thread::sleep_for(milliseconds(200));
  const auto start = Clock::now();
  expect_serving();
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
  slow.join();
  silent.join();
  truncated.join();
  EXPECT_EQ(15, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));
  expect_serving();
}

TEST_F(HostileClientTest, AClientThatNeverReadsIsDroppedAtTheDeadline) {
  // Far more answer than the socket buffers hold, asked for in one go.
  RawClient raw(http_->port());
  int small = 4096;
  ::setsockopt(raw.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string requests;
  for (int i = 0; i < 200; ++i) requests += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_TRUE(raw.send(requests));
  const auto start = Clock::now();
  std::this_thread::sleep_for(milliseconds(2500));
  // By now the server has given up on us: what is left to read ends in a
  // close well before 200 answers.
  bool closed = false;
  const std::string got = raw.receive(milliseconds(3000), &closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(got.size(), 150u * 31000u);
  EXPECT_LT(Clock::now() - start, milliseconds(6000));
  expect_serving();
}

TEST_F(HostileClientTest, AFloodOfIdleConnectionsDrainsWithinTheLimits) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(std::make_unique<RawClient>(http_->port()));
  const auto start = Clock::now();
  expect_serving();
  // 16 idle connections on 2 workers, each dropped after 0.5 s.
  EXPECT_LT(Clock::now() - start, milliseconds(8000));
  // Pipelined requests on one connection are answered in order.
  RawClient raw(http_->port());
  raw.send(
      "GET /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
      "GET /api/v1/properties/NOPE HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  bool closed = false;
  const std::string both = raw.receive(milliseconds(3000), &closed);
  EXPECT_EQ(200, status_of(both));
  EXPECT_NE(std::string::npos, both.find("HTTP/1.1 404"));
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace daqnet::testing

namespace daqnet::testing {
namespace {

// One request on a new raw connection: the answer and whether the server
// closed the connection after it.
struct Exchange {
  std::string response;
  bool closed = false;
};

Exchange exchange(int port, const std::string& request, milliseconds wait = milliseconds(1500),
                  const char* from = nullptr) {
  RawClient raw(port, from);
  Exchange result;
  if (!raw.connected()) return result;
  raw.send(request);
  result.response = raw.receive(wait, &result.closed);
  return result;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

const std::string kPut = "PUT /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nHost: 127.0.0.1\r\n";

TEST_F(HostileClientTest, SmugglingEncodingsAndForeignHostsAreRefusedBeforeTheBody) {
  const std::string auth = "Authorization: Bearer " + std::string(kToken) + "\r\n";
  const std::string zero = R"({"value": 0})";
  struct Case {
    std::string request;
    int status;
    bool closes;
  };
  for (const Case& k : std::vector<Case>{
           // A compressed body is never inflated.
           {kPut + auth + "Content-Encoding: gzip\r\nContent-Length: 12\r\n\r\n" + zero, 415, true},
           {kPut + auth + "Content-Encoding: br\r\nContent-Length: 12\r\n\r\n" + zero, 415, true},
           // Framing that two parsers could read differently.
           {kPut + auth + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n\r\nc\r\n" + zero +
                "\r\n0\r\n\r\n",
            400, true},
           {kPut + auth + "Transfer-Encoding: chunked\r\nContent-Length: 12\r\n\r\nc\r\n" + zero +
                "\r\n0\r\n\r\n",
            400, true},
           {kPut + auth + "Transfer-Encoding: gzip\r\nContent-Length: 12\r\n\r\n" + zero, 400,
            true},
           {kPut + auth + "Content-Length: 12\r\nContent-Length: 13\r\n\r\n" + zero + " ", 400,
            true},
           // Names a rebound page would send.
           {"GET /metrics HTTP/1.1\r\nHost: attacker.example\r\n\r\n", 421, true},
           {"GET /metrics HTTP/1.1\r\nHost: attacker.example:80\r\n\r\n", 421, true},
           {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1.attacker.example\r\n\r\n", 421, true},
           {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: attacker.example\r\n\r\n", 400,
            true},
           {"GET /metrics HTTP/1.1\r\n\r\n", 400, true},
           // Loopback names, in any form.
           {"GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", 200, true},
           {"GET /metrics HTTP/1.1\r\nHost: LocalHost.:9\r\nConnection: close\r\n\r\n", 200, true},
           {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.2:80\r\nConnection: close\r\n\r\n", 200, true},
           {"GET /metrics HTTP/1.1\r\nHost: [::1]:80\r\nConnection: close\r\n\r\n", 200, true},
           {"GET /metrics HTTP/1.0\r\n\r\n", 200, true},
       }) {
    const Exchange got = exchange(http_->port(), k.request);
    EXPECT_EQ(k.status, status_of(got.response)) << k.request << "\n" << got.response;
    EXPECT_EQ(k.closes, got.closed) << k.request;
    if (k.status != 200) {
      EXPECT_NE(std::string::npos, got.response.find("{\"error\":")) << got.response;
    }
  }
  EXPECT_EQ(1, read_int("EVSTAT.STAT.ON"));
  expect_serving();
}

TEST_F(HostileClientTest, RangesAreIgnoredAndAGetBodyIsNeverARequest) {
  auto plain = client()->Get("/");
  ASSERT_TRUE(plain);
  std::string ranges = "bytes=0-";
  for (int i = 0; i < 2000; ++i) ranges += ",0-" + std::to_string(i);
  const Exchange ranged =
      exchange(http_->port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges +
                                  "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(200, status_of(ranged.response));
  EXPECT_EQ(std::string::npos, ranged.response.find("Content-Range"));
  EXPECT_LT(ranged.response.size(), plain->body.size() + 1024);
  EXPECT_GE(ranged.response.size(), plain->body.size());

  // The body of a GET holds what looks like a second request: it is read
  // and dropped, so exactly one answer comes.
  const std::string smuggled = "GET /api/v1/properties/NOPE HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const Exchange got = exchange(http_->port(),
                                "GET /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nHost: "
                                "127.0.0.1\r\nContent-Length: " +
                                    std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled);
  EXPECT_EQ(200, status_of(got.response));
  EXPECT_EQ(1u, count_of(got.response, "HTTP/1.1 ")) << got.response;
}

// A server whose connections wait long, as a production one does.
class ConnectionBoundTest : public ServedLocation {
 protected:
  void serve_bounded(std::size_t in_all, std::size_t per_peer) {
    HttpServerOptions options;
    options.read_timeout = milliseconds(20000);
    options.keep_alive_timeout = milliseconds(20000);
    options.max_connections = in_all;
    options.max_connections_per_peer = per_peer;
    serve(options);
  }

  // A connection from `from` (a loopback address) that stays open.
  std::unique_ptr<RawClient> idle_from(const char* from) {
    return std::make_unique<RawClient>(http_->port(), from);
  }
};

TEST_F(ConnectionBoundTest, HundredsOfIdleConnectionsHoldNothingAScrapeNeeds) {
  serve_bounded(512, 400);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(idle_from("127.0.0.1"));
    ASSERT_TRUE(idle.back()->connected());
  }
  // Half-sent requests too.
  for (int i = 0; i < 300; i += 2) idle[i]->send("GET /metrics HTTP/1.1\r\nHost: 127");
  HttpClient c("127.0.0.1", http_->port(), milliseconds(10000));
  for (int i = 0; i < 20; ++i) {
    const auto metrics = c.Get("/metrics");
    ASSERT_TRUE(metrics) << metrics.error();
    EXPECT_EQ(200, metrics->status);
  }
}

// Whether the server closes `raw` within a moment (a displaced connection
// is reset at once).
bool closed_by_server(RawClient& raw) {
  bool closed = false;
  raw.receive(milliseconds(300), &closed);
  return closed;
}

const std::string kScrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

TEST_F(ConnectionBoundTest, PastTheBoundsTheConnectionWithLeastToLoseMakesRoom) {
  // The peer's share: its own oldest waiting connection goes, no other
  // peer's.
  serve_bounded(64, 3);
  std::vector<std::unique_ptr<RawClient>> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(idle_from("127.0.0.2"));
  waiting[1]->send("GET /metrics HTTP/1.1\r\nHo");  // part of a request is no request
  auto other = idle_from("127.0.0.3");
  const Exchange got = exchange(http_->port(), kScrape, milliseconds(1500), "127.0.0.2");
  EXPECT_EQ(200, status_of(got.response));
  EXPECT_TRUE(closed_by_server(*waiting[0]));
  EXPECT_FALSE(closed_by_server(*waiting[1]));
  EXPECT_FALSE(closed_by_server(*waiting[2]));
  EXPECT_FALSE(closed_by_server(*other));
}

TEST_F(ConnectionBoundTest, AnIdleKeptAliveConnectionGoesBeforeAWaitingOne) {
  serve_bounded(4, 4);
  std::vector<std::unique_ptr<RawClient>> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(idle_from("127.0.0.2"));
  auto kept = idle_from("127.0.0.3");
  bool closed = false;
  kept->send("GET /api/v1/properties/EVSTAT.STAT.ON HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_EQ(200, status_of(kept->receive_until("}", milliseconds(2000), &closed)));
  // The server may note the answer as taken a moment after it arrived.
  std::this_thread::sleep_for(milliseconds(100));
  // The table is full; the newest connection, but idle, is the one to go.
  EXPECT_EQ(200,
            status_of(exchange(http_->port(), kScrape, milliseconds(1500), "127.0.0.4").response));
  EXPECT_TRUE(closed_by_server(*kept));
  for (auto& raw : waiting) EXPECT_FALSE(closed_by_server(*raw));
}

TEST_F(ConnectionBoundTest, AConnectionBeingAnsweredIsNeverDisplaced) {
  // Requests piled up unread keep each connection busy answering them; with
  // no connection to displace, a new one gets 503 and is closed.
  HttpServerOptions options;
  options.max_connections = 2;
  options.keep_alive_requests = 100000;
  options.request_deadline = milliseconds(20000);
  options.write_timeout = milliseconds(20000);
  serve(options);
  std::string piled;
  for (int i = 0; i < 2000; ++i)
    piled += "GET /api/v1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::unique_ptr<RawClient>> busy;
  for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
    busy.push_back(idle_from(from));
    ASSERT_TRUE(busy.back()->send(piled));
  }
  // Once answering has begun, the answers soon fill the socket buffers and
  // the connections stay stuck writing.
  for (auto& raw : busy) {
    bool closed = false;
    ASSERT_EQ(200, status_of(raw->receive_until("\r\n", milliseconds(5000), &closed)));
  }
  std::this_thread::sleep_for(milliseconds(300));
  const Exchange refused = exchange(http_->port(), kScrape, milliseconds(1500), "127.0.0.4");
  EXPECT_EQ(503, status_of(refused.response));
  EXPECT_TRUE(refused.closed);
}

TEST_F(ConnectionBoundTest, ScrapesAreAnsweredWhileHostsTrickleMoreConnectionsThanTheTableHolds) {
  // Four hosts keep 15 connections each open (60 for a table of 48, 36 per
  // peer: the default bounds' proportions), sending a header byte every 50
  // ms and reconnecting at once when displaced; a fifth host's scrapes are
  // all answered meanwhile.
  serve_bounded(48, 36);
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    std::vector<std::unique_ptr<RawClient>> held;
    std::vector<std::size_t> sent;
    const std::string header =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4000, 'a');
    const char* hosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    for (int i = 0; i < 60; ++i) {
      held.push_back(idle_from(hosts[i % 4]));
      sent.push_back(0);
    }
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (flooding && Clock::now() < until) {
      for (std::size_t i = 0; i < held.size(); ++i) {
        pollfd poller{held[i]->fd(), POLLIN, 0};
        const bool gone =
            ::poll(&poller, 1, 0) > 0 || !held[i]->send(header.substr(sent[i] % header.size(), 1));
        if (gone) {
          held[i] = idle_from(hosts[i % 4]);
          sent[i] = 0;
        } else {
          ++sent[i];
        }
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  std::this_thread::sleep_for(milliseconds(500));
  int answered = 0;
  for (int i = 0; i < 20; ++i) {
    const Exchange got = exchange(http_->port(), kScrape, milliseconds(2000), "127.0.0.6");
    if (status_of(got.response) == 200) ++answered;
    std::this_thread::sleep_for(milliseconds(50));
  }
  flooding = false;
  flood.join();
  EXPECT_EQ(20, answered);
}

}  // namespace
}  // namespace daqnet::testing
