#include "tool/replay/replay.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <system_error>

#include "eq_data.h"
#include "tool/replay/binary_reader.h"
#include "tool/replay/csv_reader.h"

namespace daqevstat::tool {
namespace {

std::unique_ptr<vrel_daq_event_stat> make_stat(const ReplayOptions& options, EqFct* location) {
  const std::string name = options.base_name + " replay statistics";
  if (options.event_type) {
    return std::make_unique<vrel_daq_event_stat>(name.c_str(), location, *options.event_type);
  }
  return std::make_unique<vrel_daq_event_stat>(name.c_str(), location);
}

// Runs `feed` and turns an exception of the statistics object into a
// ReplayError that says which record was being counted.
template <typename Feed>
void feed_at(const std::string& where, Feed&& feed) {
  try {
    feed();
  } catch (const ReplayError&) {
    throw;
  } catch (const std::exception& e) {
    throw ReplayError(where + ": " + e.what());
  }
}

template <typename Record>
void feed_binary(Replay& replay, std::istream& in, const std::string& file_name) {
  BinaryReader<Record> reader(in, file_name);
  Record record;
  for (;;) {
    const auto offset = reader.offset();
    if (!reader.next(&record)) break;
    feed_at(file_name + ": record at byte offset " + std::to_string(offset),
            [&] { replay.feed(record); });
    replay.count_record();
  }
}

}  // namespace

Replay::Replay(const ReplayOptions& options)
    : base_name_(options.base_name),
      location_(std::make_unique<EqFct>("daqevstat replay")),
      stat_(make_stat(options, location_.get())) {
  remote_write(stat_property::kOn, 1);
  if (options.period_sec) remote_write(stat_property::kLostPeriod, *options.period_sec);
}

Replay::~Replay() = default;

void Replay::remote_write(const stat_property::Name& name, int value) {
  EqData in;
  EqData out;
  in.set(value);
  const std::string property = stat_property::client_name(base_name_, name);
  location_->remote_set(property, &in, &out);
  if (out.error() != 0) {
    throw ReplayError("writing " + std::to_string(value) + " to " + property +
                      " failed: " + out.error_text());
  }
}

void Replay::feed(const CsvRecord& record) {
  vrel_time_id tid = record.tid;
  if (!record.has_arrival) {
    stat_->update_by_tid(&tid);
    return;
  }
  // Both clock readings of the update (the microsecond one and the whole
  // seconds of the period) must see the recorded arrival, so the clock is
  // set before the update and installed only for its duration.
  clock_.set(record.arrival_sec, record.arrival_usec);
  ScopedLocalClock scoped(&clock_);
  stat_->update_by_tid(&tid);
}

void Replay::feed(vrel_time_id tid) { stat_->update_by_tid(&tid); }

void Replay::feed(vrel_eventheader header) { stat_->update(&header); }

void Replay::feed(vrel_serv_block_head_2010 block) { stat_->update(&block); }

void Replay::feed_stream(std::istream& in, RecordFormat format, const std::string& file_name) {
  switch (format) {
    case RecordFormat::csv: {
      CsvReader reader(in, file_name);
      CsvRecord record;
      while (reader.next(&record)) {
        feed_at(file_name + ":" + std::to_string(reader.line_number()), [&] { feed(record); });
        ++records_;
      }
      return;
    }
    case RecordFormat::tid:
      feed_binary<vrel_time_id>(*this, in, file_name);
      return;
    case RecordFormat::header:
      feed_binary<vrel_eventheader>(*this, in, file_name);
      return;
    case RecordFormat::block:
      feed_binary<vrel_serv_block_head_2010>(*this, in, file_name);
      return;
  }
}

void Replay::feed_file(const std::string& path, RecordFormat format) {
  // A folder opens as a stream that then fails at the first read; say what
  // it is instead.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw ReplayError(path + ": is a folder, not a file of recorded events");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int error = errno;
    throw ReplayError(path + ": cannot open: " + std::strerror(error));
  }
  feed_stream(in, format, path);
}

}  // namespace daqevstat::tool
