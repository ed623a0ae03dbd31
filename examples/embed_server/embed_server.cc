// A minimal DAQ server that embeds libdaqevstat the way a real one does:
//
//   - one location, DAQ_STAT, whose configuration is loaded at start-up and
//     saved at shutdown (the statistics switch and the lost-events period);
//   - one statistics object for the DAQ1 stream, switched on by a client's
//     remote write of 1 to DAQ1.STAT.ON;
//   - the receive loop (the main thread) handing every event header to the
//     statistics;
//   - a request thread that reads the published properties by name, as
//     clients do, while events flow.
//
// The event source stands in for the network and skips a few event numbers
// on purpose. The server exits with 1 when the statistics it reads disagree
// with those gaps, so it doubles as an end-to-end check of an installation.
//
// With --listen the location is also served over HTTP (JSON, /metrics, the
// dashboard) from before the first event; once the events have been checked
// the server prints what it fed and goes on serving until SIGINT or SIGTERM,
// so that a client can read the same figures over HTTP.
//
// Usage: embed_server [--listen [ADDR:]PORT] CONFIG_FILE

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daqevstat_http.h"
#include "eq_config.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"
#include "vrel_daq_event_stat.h"

namespace {

// About a second of events at 1 kHz.
constexpr int kEvents = 1000;
constexpr auto kEventSpacing = std::chrono::milliseconds(1);
constexpr std::uint32_t kFirstEventNumber = 5001;

// After the event at position `after` (1-based), `missing` numbers are skipped.
struct Gap {
  int after;
  std::uint32_t missing;
};
constexpr Gap kGaps[] = {{100, 3}, {400, 1}, {750, 7}};

constexpr std::uint32_t total_missing() {
  std::uint32_t sum = 0;
  for (const Gap& gap : kGaps) sum += gap.missing;
  return sum;
}

// Event headers with rising numbers and the current time, with the gaps above.
class EventSource {
 public:
  vrel_eventheader next() {
    vrel_eventheader header{};
    header.event_number = next_number_;
    header.event_type = VREL_EV_NORMAL;
    timeval now{};
    gettimeofday(&now, nullptr);
    header.event_time.timeup = static_cast<std::uint32_t>(now.tv_sec);
    header.event_time.timelow = static_cast<std::uint32_t>(now.tv_usec);

    ++delivered_;
    next_number_ += 1;
    for (const Gap& gap : kGaps) {
      if (gap.after == delivered_) next_number_ += gap.missing;
    }
    return header;
  }

  std::uint32_t last_number() const { return next_number_ - 1; }

 private:
  std::uint32_t next_number_ = kFirstEventNumber;
  int delivered_ = 0;
};

// What a client sees of the statistics once the events have stopped.
struct Reading {
  bool all_reads_ok = true;
  int total = -1;
  int lost = -1;
  float lost_percent = NAN;
  int current_event = -1;
  std::string current_type;
  double latency_entries = -1;
  double period_entries = -1;
};

// One remote read, as a client makes it: by property name through the location.
EqData read_property(EqFct& location, const std::string& name, bool& ok) {
  EqData request;
  EqData reply;
  location.remote_get(name, &request, &reply);
  if (reply.error() != 0) {
    std::fprintf(stderr, "request: %s: error %d (%s)\n", name.c_str(), reply.error(),
                 reply.error_text().c_str());
    ok = false;
  }
  return reply;
}

double sum_of_bins(const EqData& spectrum) {
  return std::accumulate(spectrum.reals().begin(), spectrum.reals().end(), 0.0);
}

// The request thread: polls two counters while events flow, then reads every
// figure the check needs once the receive loop has stopped.
Reading serve_requests(EqFct& location, const std::atomic<bool>& receiving) {
  Reading r;
  while (receiving.load()) {
    const int total = read_property(location, "DAQ1.STAT.EV.TOTAL", r.all_reads_ok).get_int();
    const int lost = read_property(location, "DAQ1.STAT.EV.LOST", r.all_reads_ok).get_int();
    std::printf("request: DAQ1.STAT.EV.TOTAL %d, DAQ1.STAT.EV.LOST %d\n", total, lost);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  r.total = read_property(location, "DAQ1.STAT.EV.TOTAL", r.all_reads_ok).get_int();
  r.lost = read_property(location, "DAQ1.STAT.EV.LOST", r.all_reads_ok).get_int();
  r.lost_percent = read_property(location, "DAQ1.STAT.EV.LOST.PERC", r.all_reads_ok).get_float();
  const EqData info = read_property(location, "DAQ1.STAT.EV.INFO", r.all_reads_ok);
  if (const EqData::UstrElement* record = info.get_ustr()) {
    r.current_event = record->i1;
    r.current_type = record->str;
  }
  r.latency_entries =
      sum_of_bins(read_property(location, "DAQ1.STAT.EV.LATENCY.TD", r.all_reads_ok));
  r.period_entries = sum_of_bins(read_property(location, "DAQ1.STAT.EV.PERIOD.TD", r.all_reads_ok));
  return r;
}

// The receive loop. Returns false if the statistics failed on an event.
bool receive_events(vrel_daq_event_stat& stat, EventSource& source) {
  for (int i = 0; i < kEvents; ++i) {
    vrel_eventheader header = source.next();
    try {
      stat.update(&header);
    } catch (const std::exception& e) {
      // An archiving fault; a production server would log it and go on.
      std::fprintf(stderr, "receive: event %u: %s\n", header.event_number, e.what());
      return false;
    }
    std::this_thread::sleep_for(kEventSpacing);
  }
  return true;
}

// "PORT", "ADDR:PORT" or "[IPV6]:PORT" into the server's options; a port
// alone listens on the loopback address. False for anything else.
bool parse_listen(const std::string& text, daqnet::HttpServerOptions& options) {
  std::string host = "127.0.0.1";
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    return false;
  }
  options.host = host;
  options.port = std::stoi(port);
  return true;
}

// Blocks SIGINT and SIGTERM in this thread and every thread it starts after,
// so that wait_for_stop_signal() receives them.
sigset_t block_stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void wait_for_stop_signal(const sigset_t& signals) {
  int signal_number = 0;
  while (sigwait(&signals, &signal_number) != 0) {
  }
}

bool check(const char* what, double got, double expected) {
  const bool ok = std::fabs(got - expected) < 1e-3;
  std::printf("  %-28s %8g   expected %8g%s\n", what, got, expected, ok ? "" : "   WRONG");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // Lines reach a pipe as they are printed: a client may be waiting for them.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::optional<daqnet::HttpServerOptions> listen;
  int arg = 1;
  if (argc == 4 && std::string(argv[1]) == "--listen") {
    listen.emplace();
    if (!parse_listen(argv[2], *listen)) {
      std::fprintf(stderr, "embed_server: --listen wants [ADDR:]PORT, not '%s'\n", argv[2]);
      return 2;
    }
    arg = 3;
  } else if (argc != 2) {
    std::fprintf(stderr, "usage: %s [--listen [ADDR:]PORT] CONFIG_FILE\n", argv[0]);
    return 2;
  }
  const std::string config_path = argv[arg];

  try {
    EqFct location("DAQ_STAT");
    location.config().load(config_path);  // a missing file is a first start
    vrel_daq_event_stat stat("DAQ1 statistics of the DAQ1 stream", &location, VREL_EV_NORMAL);

    // Declared after the location, so stopped before it goes.
    std::optional<daqnet::HttpServer> http;
    sigset_t stop_signals{};
    if (listen) {
      stop_signals = block_stop_signals();
      http.emplace(std::vector<EqFct*>{&location}, *listen);
      http->start();  // throws when the address cannot be bound
      std::printf("embed_server: serving %s\n", http->url().c_str());
    }

    // A client switches the statistics on.
    EqData on;
    EqData reply;
    on.set(1);
    location.remote_set("DAQ1.STAT.ON", &on, &reply);
    if (reply.error() != 0 || !stat.is_on()) {
      std::fprintf(stderr, "embed_server: switching on failed: %s\n", reply.error_text().c_str());
      return 1;
    }
    std::printf("embed_server: DAQ1 statistics switched on by a remote write\n");

    EventSource source;
    std::atomic<bool> receiving{true};
    Reading reading;
    std::thread requests([&] { reading = serve_requests(location, receiving); });
    const bool received = receive_events(stat, source);
    receiving.store(false);
    requests.join();

    std::printf("receive: %d event headers, numbers %u to %u, %u skipped\n", kEvents,
                kFirstEventNumber, source.last_number(), total_missing());
    std::printf("request: final reading (current event type %s)\n", reading.current_type.c_str());
    bool ok = received && reading.all_reads_ok;
    ok &= check("DAQ1.STAT.EV.TOTAL", reading.total, kEvents);
    ok &= check("DAQ1.STAT.EV.LOST", reading.lost, total_missing());
    ok &= check("DAQ1.STAT.EV.LOST.PERC", reading.lost_percent,
                100.0f * static_cast<float>(total_missing()) / kEvents);
    ok &= check("DAQ1.STAT.EV.INFO event", reading.current_event, source.last_number());
    // Every counted event has a latency; every one after the first a period.
    ok &= check("DAQ1.STAT.EV.LATENCY.TD sum", reading.latency_entries, kEvents);
    ok &= check("DAQ1.STAT.EV.PERIOD.TD sum", reading.period_entries, kEvents - 1);

    std::printf("embed_server: %s\n",
                ok ? "statistics agree with the source" : "statistics DISAGREE with the source");

    if (http) {
      // What a client must read over HTTP, then serve until told to stop.
      std::printf("fed DAQ_STAT DAQ1 events %d lost %u\n", kEvents, total_missing());
      std::printf("embed_server: serving until SIGINT or SIGTERM\n");
      wait_for_stop_signal(stop_signals);
      http->stop();
    }

    location.save_config(config_path);  // the switch and the period, for the next start
    std::printf("embed_server: configuration saved to %s\n", config_path.c_str());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "embed_server: %s\n", e.what());
    return 1;
  }
}
