#include "tool/simulate/simulated_server.h"

#include <pthread.h>
#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include "eq_data.h"
#include "eq_errors.h"
#include "event.h"
#include "stat_property_names.h"
#include "tool/output/property_text.h"
#include "tool/simulate/settings_file.h"
#include "tool/simulate/stop_signals.h"

namespace daqevstat::tool {
namespace {

using Clock = std::chrono::steady_clock;

// How often the client thread reads every property.
constexpr auto kClientInterval = std::chrono::milliseconds(100);
// The source never sleeps longer than this, so stop and pause act quickly.
constexpr auto kMaxSleep = std::chrono::milliseconds(50);
// A source that fell this far behind its schedule (a stopped process, a
// busy machine) starts a new schedule instead of delivering a burst.
constexpr auto kMaxBacklog = std::chrono::milliseconds(500);

// CPU seconds of a thread's clock; 0 when it cannot be read.
double cpu_seconds_of(clockid_t clock) {
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return 0.0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

std::string base_name_of(int index) {
  return index == 0 ? std::string(kDefaultBaseName)
                    : std::string(kDefaultBaseName) + std::to_string(index + 1);
}

// The event time of a record that arrives now and lies `latency_ms` behind.
time_stamp event_time(double latency_ms) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  const std::int64_t arrival_us =
      static_cast<std::int64_t>(now.tv_sec) * 1000000 + static_cast<std::int64_t>(now.tv_usec);
  const std::int64_t event_us =
      arrival_us - static_cast<std::int64_t>(std::llround(latency_ms * 1000.0));
  time_stamp time{};
  time.timeup = static_cast<std::uint32_t>(event_us / 1000000);
  time.timelow = static_cast<std::uint32_t>(event_us % 1000000);
  return time;
}

}  // namespace

SimulatedServer::SimulatedServer(const ServerOptions& options)
    : options_(options),
      location_(std::make_unique<EqFct>(kSimulatedLocation)),
      source_(options.faults) {
  if (!options_.config_file.empty()) {
    const SettingsLoad load = load_settings(*location_, options_.config_file);
    settings_warnings_ = load.warnings;
  }
  for (int i = 0; i < options_.objects; ++i) {
    const std::string base = base_name_of(i);
    const std::string name = base + " simulated DAQ statistics";
    stats_.push_back(
        std::make_unique<vrel_daq_event_stat>(name.c_str(), location_.get(), VREL_EV_NORMAL));
    base_names_.push_back(base);
    // A saved switch, on or off, is the user's setting; otherwise the
    // statistics are switched on the way a client does it.
    const std::string on = stat_property::client_name(base, stat_property::kOn);
    const D_conf_struct* saved = location_->config().find(on);
    if (saved == nullptr || !saved->found) {
      EqData in;
      EqData out;
      in.set(1);
      location_->remote_set(on, &in, &out);
    }
  }
}

SimulatedServer::~SimulatedServer() { stop(); }

void SimulatedServer::start() {
  if (started_) return;
  started_ = true;
  // The calling thread, which waits for the stop signals, is the one to see
  // them.
  const StopSignalsBlocked blocked;
  source_thread_ = std::thread([this] { run_source(); });
  client_thread_ = std::thread([this] { run_client(); });
}

void SimulatedServer::stop() {
  {
    quelmar::MutexLock lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (source_thread_.joinable()) source_thread_.join();
  if (client_thread_.joinable()) client_thread_.join();
}

void SimulatedServer::pause() {
  quelmar::MutexLock lock(mutex_);
  paused_ = true;
  while (delivering_) wake_.wait(mutex_);
}

void SimulatedServer::resume() {
  {
    quelmar::MutexLock lock(mutex_);
    paused_ = false;
  }
  wake_.notify_all();
}

bool SimulatedServer::paused() const {
  quelmar::MutexLock lock(mutex_);
  return paused_;
}

void SimulatedServer::remember_settings() {
  if (!options_.config_file.empty()) location_->update_config();
}

bool SimulatedServer::save() {
  if (options_.config_file.empty()) return false;
  save_settings(*location_, options_.config_file);
  return true;
}

InjectedCounts SimulatedServer::injected() const {
  quelmar::MutexLock lock(mutex_);
  return counts_;
}

void SimulatedServer::feed(const Delivery& delivery) {
  const time_stamp time = event_time(delivery.latency_ms);
  for (const auto& stat : stats_) {
    switch (options_.feed) {
      case FeedKind::header: {
        vrel_eventheader header{};
        header.event_number = delivery.event_number;
        header.event_type = VREL_EV_NORMAL;
        header.event_time = time;
        stat->update(&header);
        break;
      }
      case FeedKind::block: {
        vrel_serv_block_head_2010 block{};
        block.time = time;
        block.mpulse = static_cast<std::int32_t>(delivery.event_number);
        std::strncpy(block.server, kSimulatedLocation, sizeof block.server - 1);
        stat->update(&block);
        break;
      }
      case FeedKind::tid: {
        vrel_time_id tid{};
        tid.event_number = delivery.event_number;
        tid.time = time;
        stat->update_by_tid(&tid);
        break;
      }
    }
  }
}

void SimulatedServer::run_source() {
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / options_.rate_hz));
  std::vector<Delivery> deliveries;
  auto due = Clock::now();
  {
    quelmar::MutexLock lock(mutex_);
    source_began_ = due;
    source_running_ = true;
  }
  for (;;) {
    {
      quelmar::MutexLock lock(mutex_);
      if (paused_ && !stopping_) {
        while (paused_ && !stopping_) wake_.wait(mutex_);
        due = Clock::now();
      }
      if (stopping_) break;
      const auto now = Clock::now();
      if (now < due) {
        wake_.wait_until(mutex_, std::min(due, now + kMaxSleep));
        continue;
      }
      if (now - due > kMaxBacklog) due = now;
      delivering_ = true;
    }
    deliveries.clear();
    source_.step(&deliveries);
    for (const Delivery& delivery : deliveries) feed(delivery);
    due += interval;
    bool pause_waiting = false;
    {
      quelmar::MutexLock lock(mutex_);
      counts_ = source_.counts();
      delivering_ = false;
      pause_waiting = paused_;
    }
    // Only a pause waits for the end of a delivery; no wake-up per event else.
    if (pause_waiting) wake_.notify_all();
  }
  deliveries.clear();
  source_.finish(&deliveries);
  for (const Delivery& delivery : deliveries) feed(delivery);
  const double cpu = cpu_seconds_of(CLOCK_THREAD_CPUTIME_ID);
  quelmar::MutexLock lock(mutex_);
  counts_ = source_.counts();
  source_final_cpu_ = cpu;
  source_ended_ = Clock::now();
  source_done_ = true;
}

SimulatedServer::SourceUsage SimulatedServer::source_usage() {
  SourceUsage usage;
  quelmar::MutexLock lock(mutex_);
  if (!source_running_) return usage;
  if (source_done_) {
    usage.cpu_seconds = source_final_cpu_;
    usage.wall_seconds = std::chrono::duration<double>(source_ended_ - source_began_).count();
    return usage;
  }
  // Still running: until it has set source_done_ under mutex_, which it
  // cannot while this holds mutex_, the thread lives and its clock can be
  // read from here.
  clockid_t clock{};
  if (pthread_getcpuclockid(source_thread_.native_handle(), &clock) == 0) {
    usage.cpu_seconds = cpu_seconds_of(clock);
  }
  usage.wall_seconds = std::chrono::duration<double>(Clock::now() - source_began_).count();
  return usage;
}

void SimulatedServer::run_client() {
  EqFct::set_caller("client", "localhost");
  for (;;) {
    for (const std::string& name : location_->property_names()) {
      EqData in;
      EqData out;
      location_->remote_get(name, &in, &out);
      client_reads_.fetch_add(1);
      if (out.error() != 0 && out.error() != unknown_property) client_errors_.fetch_add(1);
    }
    quelmar::MutexLock lock(mutex_);
    const auto next_round = Clock::now() + kClientInterval;
    while (!stopping_ && wake_.wait_until(mutex_, next_round) == std::cv_status::no_timeout) {
    }
    if (stopping_) return;
  }
}

}  // namespace daqevstat::tool
