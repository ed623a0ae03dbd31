// A DAQ server with two locations in one process, both served over HTTP by
// one server: two crates, each a location with the statistics of its own
// event stream, fed by a receive thread of its own.
//
//   GET /api/v1/locations                              both locations
//   GET /api/v1/locations/CRATE1_STAT/properties/DAQ1.STAT.EV.TOTAL
//   GET /metrics                                       every series labelled
//                                                      with its location
//
// Each stream skips a few event numbers on purpose. Once every event has been
// counted the server prints, per location, what it fed ("fed LOCATION BASE
// events N lost M"), so a client can check what it reads over HTTP against
// it, and goes on serving until SIGINT or SIGTERM.
//
// Usage: two_locations [--listen [ADDR:]PORT]   (default 127.0.0.1:0, a free port)

#include <signal.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "daqevstat_http.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"
#include "vrel_daq_event_stat.h"

namespace {

// One crate's stream: how many events arrive, and which numbers are skipped.
struct Stream {
  const char* location;
  const char* base;
  int events;
  // After every `gap_every` delivered events, `gap_size` numbers are skipped.
  int gap_every;
  std::uint32_t gap_size;

  std::uint32_t lost() const {
    // No gap after the last event: it would not be seen as lost.
    return static_cast<std::uint32_t>((events - 1) / gap_every) * gap_size;
  }
};

constexpr Stream kStreams[] = {
    {"CRATE1_STAT", "DAQ1", 3000, 500, 2},
    {"CRATE2_STAT", "DAQ2", 1800, 250, 3},
};

// The receive loop of one crate: event headers with rising numbers and the
// current time, with the stream's gaps.
void receive_events(const Stream& stream, vrel_daq_event_stat& stat) {
  std::uint32_t number = 1;
  for (int delivered = 1; delivered <= stream.events; ++delivered) {
    vrel_eventheader header{};
    header.event_number = number;
    header.event_type = VREL_EV_NORMAL;
    timeval now{};
    gettimeofday(&now, nullptr);
    header.event_time.timeup = static_cast<std::uint32_t>(now.tv_sec);
    header.event_time.timelow = static_cast<std::uint32_t>(now.tv_usec);
    stat.update(&header);  // may throw on an archiving fault
    number += 1;
    if (delivered % stream.gap_every == 0) number += stream.gap_size;
  }
}

// A client's remote write of 1 to the switch, as any client switches on.
bool switch_on(EqFct& location, const std::string& base) {
  EqData on;
  EqData reply;
  on.set(1);
  location.remote_set(base + ".STAT.ON", &on, &reply);
  if (reply.error() != 0) {
    std::fprintf(stderr, "two_locations: switching %s on failed: %s\n", base.c_str(),
                 reply.error_text().c_str());
    return false;
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

}  // namespace

int main(int argc, char** argv) {
  // Lines reach a pipe as they are printed: a client may be waiting for them.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  daqnet::HttpServerOptions options;  // 127.0.0.1, any free port, no writes
  if (argc == 3 && std::string(argv[1]) == "--listen") {
    if (!parse_listen(argv[2], options)) {
      std::fprintf(stderr, "two_locations: --listen wants [ADDR:]PORT, not '%s'\n", argv[2]);
      return 2;
    }
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--listen [ADDR:]PORT]\n", argv[0]);
    return 2;
  }

  // SIGINT and SIGTERM end the server: blocked here, before any thread
  // starts, and taken by sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    // Locations first: the statistics objects and the server refer to them.
    EqFct crate1(kStreams[0].location);
    EqFct crate2(kStreams[1].location);
    vrel_daq_event_stat stat1("DAQ1 statistics of crate 1", &crate1, VREL_EV_NORMAL);
    vrel_daq_event_stat stat2("DAQ2 statistics of crate 2", &crate2, VREL_EV_NORMAL);
    if (!switch_on(crate1, kStreams[0].base) || !switch_on(crate2, kStreams[1].base)) return 1;

    daqnet::HttpServer http({&crate1, &crate2}, options);
    http.start();  // throws when the address cannot be bound
    std::printf("two_locations: serving %s\n", http.url().c_str());

    std::exception_ptr failure1;
    std::exception_ptr failure2;
    std::thread receive1([&] {
      try {
        receive_events(kStreams[0], stat1);
      } catch (...) {
        failure1 = std::current_exception();
      }
    });
    std::thread receive2([&] {
      try {
        receive_events(kStreams[1], stat2);
      } catch (...) {
        failure2 = std::current_exception();
      }
    });
    receive1.join();
    receive2.join();
    if (failure1) std::rethrow_exception(failure1);
    if (failure2) std::rethrow_exception(failure2);

    for (const Stream& stream : kStreams) {
      std::printf("fed %s %s events %d lost %u\n", stream.location, stream.base, stream.events,
                  stream.lost());
    }
    std::printf("two_locations: serving until SIGINT or SIGTERM\n");
    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    http.stop();
    std::printf("two_locations: stopped\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "two_locations: %s\n", e.what());
    return 1;
  }
}
