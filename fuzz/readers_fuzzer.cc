// The input readers: the replay tool's CSV and raw record readers (alone and
// feeding a whole replay) and the location configuration's text reader. Each
// must either fail with its documented exception or give a result that
// survives a round trip:
//   - a CSV record, written back as a line, parses to the same record;
//   - a replay's JSON rendering parses;
//   - raw records are the input's bytes, cut exactly at the record size, and
//     a short tail is reported at its offset;
//   - a configuration that loaded saves, reloads to the same entries and
//     saves to the same file; a save that is refused leaves the file alone.

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "eq_config.h"
#include "eq_data.h"
#include "event.h"
#include "fuzz_input.h"
#include "quelmar_types.h"
#include "tool/options.h"
#include "tool/replay/binary_reader.h"
#include "tool/replay/csv_reader.h"
#include "tool/replay/json_writer.h"
#include "tool/replay/replay.h"
#include "tool/replay/replay_record.h"
#include "tool/replay/summary_writer.h"

namespace {

using daqevstat::fuzz::FuzzInput;
namespace tool = daqevstat::tool;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool same_record(const tool::CsvRecord& a, const tool::CsvRecord& b) {
  return a.tid.event_number == b.tid.event_number && a.tid.time.timeup == b.tid.time.timeup &&
         a.tid.time.timelow == b.tid.time.timelow && a.has_arrival == b.has_arrival &&
         a.arrival_sec == b.arrival_sec && a.arrival_usec == b.arrival_usec;
}

std::string csv_line(const tool::CsvRecord& r) {
  std::string line = std::to_string(r.tid.event_number) + "," + std::to_string(r.tid.time.timeup) +
                     "," + std::to_string(r.tid.time.timelow);
  if (r.has_arrival) {
    line += "," + std::to_string(r.arrival_sec) + "," + std::to_string(r.arrival_usec);
  }
  return line;
}

void read_csv(const std::string& text) {
  std::istringstream stream(text);
  tool::CsvReader reader(stream, "fuzz.csv");
  tool::CsvRecord record;
  try {
    while (reader.next(&record)) {
      if (record.has_arrival) {
        FUZZ_CHECK(record.arrival_usec >= 0 && record.arrival_usec <= 999999);
        FUZZ_CHECK(record.arrival_sec >= -tool::kMaxArrivalSeconds &&
                   record.arrival_sec <= tool::kMaxArrivalSeconds);
      }
      const std::optional<tool::CsvRecord> again = tool::parse_csv_line(csv_line(record));
      FUZZ_CHECK(again.has_value() && same_record(*again, record));
    }
  } catch (const tool::ReplayError& e) {
    FUZZ_CHECK(starts_with(e.what(), "fuzz.csv:"));
  }
}

void read_binary(const std::string& bytes, std::size_t record_size) {
  std::istringstream stream(bytes);
  tool::BinaryRecordReader reader(stream, "fuzz.bin", record_size);
  std::vector<char> record(record_size);
  std::size_t offset = 0;
  try {
    while (reader.next(record.data())) {
      FUZZ_CHECK(offset + record_size <= bytes.size());
      FUZZ_CHECK(std::memcmp(record.data(), bytes.data() + offset, record_size) == 0);
      offset += record_size;
      FUZZ_CHECK(reader.offset() == offset);
    }
    // A clean end only where the input ends on a record boundary.
    FUZZ_CHECK(offset == bytes.size());
  } catch (const tool::ReplayError& e) {
    FUZZ_CHECK(bytes.size() % record_size != 0);
    FUZZ_CHECK(offset == bytes.size() - bytes.size() % record_size);
    FUZZ_CHECK(starts_with(
        e.what(), "fuzz.bin: truncated record at byte offset " + std::to_string(offset) + " "));
  }
}

// A whole replay over the records, with options as the command line gives
// them, then both renderings of its result; the JSON must parse.
void replay(FuzzInput& in) {
  std::vector<std::string> args = {"replay"};
  const std::uint8_t setup = in.u8();
  if ((setup & 1) != 0) args.insert(args.end(), {"--base", in.text(70)});
  if ((setup & 2) != 0) args.insert(args.end(), {"--type", in.text(12)});
  if ((setup & 4) != 0) args.insert(args.end(), {"--period", in.text(12)});
  const char* const formats[] = {"csv", "tid", "header", "block"};
  args.insert(args.end(), {"--format", formats[(setup >> 3) % 4]});
  if ((setup & 0x20) != 0) args.emplace_back("--json");
  // One argument of any form, anywhere: "--", "--opt=value", help, a second file.
  if ((setup & 0x40) != 0) args.insert(args.begin() + 1 + in.below(args.size()), in.text(24));
  args.emplace_back("fuzz.in");
  const tool::Command command = tool::parse_command(args);
  if (command.action != tool::Command::Action::replay) {
    FUZZ_CHECK(command.action == tool::Command::Action::help || !command.error.empty());
    return;
  }
  std::istringstream stream(in.rest());
  try {
    tool::Replay run(command.options);
    try {
      run.feed_stream(stream, command.options.format, command.options.file);
    } catch (const tool::ReplayError& e) {
      // What was fed before the fault is still rendered below.
      FUZZ_CHECK(starts_with(e.what(), command.options.file));
    }
    const std::string json = tool::render_json(run.stat());
    try {
      // The strict reader: it refuses bare NaN, stray commas, raw control
      // characters and text that is not UTF-8.
      FUZZ_CHECK(nlohmann::json::parse(json).contains("properties"));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "invalid JSON (%s):\n%s\n", e.what(), json.c_str());
      std::abort();
    }
    (void)tool::render_summary(run.base_name(), run.stat());
  } catch (const tool::ReplayError&) {
    // A refused switch or period write; the options parser lets through no
    // other way to fail.
  }
}

// --- Configuration ---------------------------------------------------------------

// The directory the configurations are saved in. Memory-backed where the
// system has one: every save syncs its file, and on a disk that dominates the
// run time.
std::string g_scratch;

void remove_scratch() {
  std::remove((g_scratch + "/a.conf").c_str());
  std::remove((g_scratch + "/b.conf").c_str());
  rmdir(g_scratch.c_str());
}

const std::string& scratch_dir() {
  if (g_scratch.empty()) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/daqevstat-readers-fuzz.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
    g_scratch = name.data();
    std::atexit(remove_scratch);
  }
  return g_scratch;
}

std::optional<std::string> file_content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The names a saved file holds: one "<name> <text>" a line.
std::vector<std::string> saved_names(const std::string& content) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(pos, end - pos);
    names.push_back(line.substr(0, line.find(' ')));
    pos = end + 1;
  }
  return names;
}

// The blanks the configuration reader trims.
std::string trim(const std::string& text) {
  const char* const blanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void read_config(FuzzInput& in) {
  const int types[] = {DATA_INT, DATA_FLOAT, DATA_STRING};
  const int type = types[in.u8() % 3];
  const std::string extra_name = in.text(16);
  const std::string extra_text = in.text(16);
  const std::string text = in.rest();

  Config first;
  try {
    first.load_text(text, "fuzz.conf");
  } catch (const config_error& e) {
    FUZZ_CHECK(starts_with(e.what(), "fuzz.conf:"));
    return;
  }
  const std::string dir = scratch_dir();
  const std::string path_a = dir + "/a.conf";
  const std::string path_b = dir + "/b.conf";
  // Whatever loaded from text can be saved: the reader yields no name or
  // text that the writer could not write back.
  first.save(path_a);
  const std::optional<std::string> saved = file_content(path_a);
  FUZZ_CHECK(saved.has_value());

  Config second;
  second.load(path_a);
  second.save(path_b);
  FUZZ_CHECK(file_content(path_b) == saved);

  // Registered under the same type, both give the same entries.
  for (const std::string& name : saved_names(*saved)) {
    first.insert(name, type);
    second.insert(name, type);
    const D_conf_struct* a = first.find(name);
    const D_conf_struct* b = second.find(name);
    FUZZ_CHECK(a != nullptr && b != nullptr);
    FUZZ_CHECK(a->found == b->found && a->text == b->text);
    if (type == DATA_INT) FUZZ_CHECK(a->d_int == b->d_int);
    if (type == DATA_FLOAT) FUZZ_CHECK(same_bits(a->d_float, b->d_float));
  }

  // A pair set by hand either saves and reloads, or is refused and leaves
  // the file as it was.
  second.set_text(extra_name, extra_text);
  try {
    second.save(path_b);
  } catch (const config_error&) {
    FUZZ_CHECK(file_content(path_b) == saved);
    return;
  }
  Config third;
  third.load(path_b);
  third.insert(extra_name, DATA_STRING);
  second.insert(extra_name, DATA_STRING);
  const D_conf_struct* want = second.find(extra_name);
  const D_conf_struct* got = third.find(extra_name);
  FUZZ_CHECK(want != nullptr && got != nullptr);
  // The file keeps a text without its surrounding blanks, and one of blanks
  // only not at all.
  const std::string kept = trim(want->text);
  FUZZ_CHECK(got->text == kept && got->found == !kept.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  daqevstat::fuzz::silence_output_once();

  FuzzInput in(data, size);
  switch (in.u8() % 6) {
    case 0:
      read_csv(in.rest());
      break;
    case 1:
      read_binary(in.rest(), sizeof(vrel_time_id));
      break;
    case 2:
      read_binary(in.rest(), sizeof(vrel_eventheader));
      break;
    case 3: {
      const std::size_t record_size = 1 + in.u8() % 300;
      read_binary(in.rest(), record_size);
      break;
    }
    case 4:
      replay(in);
      break;
    default:
      read_config(in);
      break;
  }
  return 0;
}
