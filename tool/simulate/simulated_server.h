#ifndef TOOL_SIMULATE_SIMULATED_SERVER_H_
#define TOOL_SIMULATE_SIMULATED_SERVER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eq_fct.h"
#include "thread_annotations.h"
#include "tool/simulate/event_source.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {

// The record a simulated server hands to the statistics, and so the update
// operation it calls.
enum class FeedKind {
  header,  // vrel_eventheader through update(vrel_eventheader*)
  block,   // vrel_serv_block_head_2010 through update(vrel_serv_block_head_2010*)
  tid,     // vrel_time_id through update_by_tid
};

// A simulated DAQ server: the event source and the location with its
// statistics objects.
struct ServerOptions {
  double rate_hz = 1000.0;
  FaultOptions faults;
  FeedKind feed = FeedKind::header;
  int objects = 1;          // statistics objects EVSTAT, EVSTAT2, ...
  std::string config_file;  // --config: settings loaded at start, saved at exit
};

// Name of the simulated server's location.
inline constexpr const char* kSimulatedLocation = "DAQ_EVSTAT";

// A DAQ server in one process, as a server that embeds the statistics runs:
// one location with `objects` statistics objects (EVSTAT, EVSTAT2, ...), a
// source thread that receives events from an EventSource at the given rate
// and hands every record to each object, and a client thread that reads
// every published property by name through the location, as remote clients
// do. Anyone may make further remote calls on location() at the same time.
//
// Settings: with a config file, the file is loaded into the location's
// configuration before the objects are built, so the saved switch and
// period apply at registration; an object without a saved switch is switched
// on by a remote write of 1. save() writes them back.
//
// Thread safety: start, stop, pause, resume and save may be called from any
// one controlling thread; the accessors from any thread. mutex_ guards the
// source's counts and the paused flag; the statistics objects guard
// themselves, and the location serialises nothing but its registry. The
// objects live until the server is destroyed, after both threads ended.
class SimulatedServer {
 public:
  // Builds the location and the objects and loads the settings; throws
  // SettingsError when neither the config file nor its backup is sound, and
  // whatever the statistics constructors throw. Starts no thread.
  explicit SimulatedServer(const ServerOptions& options);
  SimulatedServer(const SimulatedServer&) = delete;
  SimulatedServer& operator=(const SimulatedServer&) = delete;
  // Stops both threads; does not save.
  ~SimulatedServer();

  // Starts the source and the client thread. Once only.
  void start();
  // Ends the source with its closing event (held-back events are delivered
  // first) and joins both threads. Idempotent.
  void stop();
  // While paused the source delivers nothing; the event numbers continue
  // without a gap afterwards. Returns once the source is idle, so no count
  // moves after it.
  void pause();
  void resume();
  bool paused() const;

  // Saves the location's settings into the config file, durably; throws
  // SettingsError. Without a config file nothing happens and false returns.
  bool save();

  // With a config file: copies the current property values into the
  // location's configuration without saving. Called before a switch-off,
  // which removes the period property: its value is then still saved at
  // exit, and a switch-on later in the run takes it up again, as after a
  // restart. Without a config file nothing happens.
  void remember_settings();

  EqFct& location() { return *location_; }
  const std::vector<std::string>& base_names() const { return base_names_; }
  vrel_daq_event_stat& stat(std::size_t index) { return *stats_.at(index); }
  std::size_t object_count() const { return stats_.size(); }
  const ServerOptions& options() const { return options_; }
  // Warnings of loading the settings (a fallback to the backup, a created
  // file), for the caller to show.
  const std::vector<std::string>& settings_warnings() const { return settings_warnings_; }

  InjectedCounts injected() const;
  // Reads made by the client thread, and those answered with an error other
  // than an unknown property (a property removed by a switch-off between
  // listing and reading is not a fault).
  std::uint64_t client_reads() const { return client_reads_.load(); }
  std::uint64_t client_errors() const { return client_errors_.load(); }

  // The source thread makes every update call; its CPU time and how long it
  // has run, from start to now or to its end (both 0 before start). From the
  // controlling thread.
  struct SourceUsage {
    double cpu_seconds = 0.0;
    double wall_seconds = 0.0;
  };
  SourceUsage source_usage();

 private:
  void run_source();
  void run_client();
  void feed(const Delivery& delivery);

  const ServerOptions options_;
  std::unique_ptr<EqFct> location_;
  std::vector<std::string> base_names_;
  // After the location, so that they are destroyed first: they unregister.
  std::vector<std::unique_ptr<vrel_daq_event_stat>> stats_;
  std::vector<std::string> settings_warnings_;

  mutable quelmar::Mutex mutex_;
  // Signals a change of paused_, delivering_ or stopping_; waits on mutex_.
  std::condition_variable_any wake_;
  EventSource source_;  // used by the source thread only; counts copied under mutex_
  InjectedCounts counts_ GUARDED_BY(mutex_);
  bool paused_ GUARDED_BY(mutex_) = false;
  bool delivering_ GUARDED_BY(mutex_) = false;  // the source is handing records to the objects
  bool stopping_ GUARDED_BY(mutex_) = false;

  std::atomic<std::uint64_t> client_reads_{0};
  std::atomic<std::uint64_t> client_errors_{0};
  std::thread source_thread_;
  std::thread client_thread_;
  bool started_ = false;  // the controlling thread's only
  bool stopped_ GUARDED_BY(mutex_) = false;
  // Set by the source thread as it starts and as it ends.
  std::chrono::steady_clock::time_point source_began_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point source_ended_ GUARDED_BY(mutex_);
  bool source_running_ GUARDED_BY(mutex_) = false;
  bool source_done_ GUARDED_BY(mutex_) = false;
  double source_final_cpu_ GUARDED_BY(mutex_) = 0.0;
};

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_SIMULATED_SERVER_H_
