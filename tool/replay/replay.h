#ifndef TOOL_REPLAY_REPLAY_H_
#define TOOL_REPLAY_REPLAY_H_

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "eq_fct.h"
#include "event.h"
#include "local_clock.h"
#include "stat_property_names.h"
#include "tool/output/property_text.h"
#include "tool/replay/replay_record.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {

// What `daqevstat replay` was asked to do: the statistics object's set-up
// (base name, type, period), read by Replay, and the input and output,
// read by the command.
struct ReplayOptions {
  std::string base_name = kDefaultBaseName;
  std::optional<int> event_type;  // --type; absent: the object has no type
  std::optional<int> period_sec;  // --period; written to the period property
  RecordFormat format = RecordFormat::csv;
  bool json = false;
  std::string file;
  std::string svg_file;  // --svg: the timing distributions as one figure
  std::string csv_dir;   // --csv: one file of non-zero bins per distribution
};

// One statistics object on its own location, switched on the way a client
// would switch it on, and fed with recorded events.
//
// Not thread-safe: a replay belongs to one thread. While a record with an
// arrival time is fed, the replay's clock is installed as the process-wide
// local clock, so no other replay may run in the same process at that time.
class Replay {
 public:
  // Builds the location and the object "<base> replay statistics" (with the
  // event type when one is given), writes 1 to "<base>.STAT.ON" and then, if
  // given, the period to "<base>.STAT.EV.LOST.PERIOD", both through the
  // location's remote_set. Throws ReplayError when a write is refused, and
  // whatever the statistics object's constructor throws.
  explicit Replay(const ReplayOptions& options);
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;
  ~Replay();

  // Count one record. A record with an arrival time is counted while the
  // local clock reads exactly that time; the others on the real clock.
  void feed(const CsvRecord& record);
  void feed(vrel_time_id tid);
  void feed(vrel_eventheader header);
  void feed(vrel_serv_block_head_2010 block);

  // Feeds every record of `in`, read in `format`, in order. Throws
  // ReplayError naming `file_name` and the line or byte offset for a
  // malformed record, and for an exception of the statistics object.
  void feed_stream(std::istream& in, RecordFormat format, const std::string& file_name);

  // Opens `path` and feeds it with feed_stream. Throws ReplayError naming
  // the file and the reason when it is a folder or cannot be opened or read.
  void feed_file(const std::string& path, RecordFormat format);

  // The records feed_stream and feed_file have counted so far (comment and
  // blank lines are none).
  std::uint64_t records() const { return records_; }
  void count_record() { ++records_; }

  const std::string& base_name() const { return base_name_; }
  EqFct& location() { return *location_; }
  vrel_daq_event_stat& stat() { return *stat_; }

 private:
  void remote_write(const stat_property::Name& name, int value);

  const std::string base_name_;
  ManualClock clock_;
  std::unique_ptr<EqFct> location_;
  // Declared after the location so that it is destroyed first: it unregisters
  // its properties from the location.
  std::unique_ptr<vrel_daq_event_stat> stat_;
  std::uint64_t records_ = 0;
};

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_REPLAY_H_
