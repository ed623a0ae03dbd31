#include "dmsg.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "eq_errors.h"
#include "thread_annotations.h"

namespace quelmar {

struct DataMessageSink::State {
  struct Entry {
    DataMessage message;
    bool has_payload = false;
  };

  Mutex mutex;
  std::vector<Entry> entries GUARDED_BY(mutex);
  int header_failure GUARDED_BY(mutex) = 0;
  int payload_failure GUARDED_BY(mutex) = 0;
};

DataMessageSink& DataMessageSink::instance() {
  // Leaked on purpose: properties may still send while static objects of
  // other libraries are destroyed.
  static DataMessageSink* sink = new DataMessageSink;
  return *sink;
}

DataMessageSink::State& DataMessageSink::state() const {
  static State* state = new State;
  return *state;
}

std::vector<DataMessage> DataMessageSink::messages() const {
  State& s = state();
  MutexLock lock(s.mutex);
  std::vector<DataMessage> out;
  out.reserve(s.entries.size());
  for (const State::Entry& entry : s.entries) out.push_back(entry.message);
  return out;
}

std::vector<DataMessage> DataMessageSink::take() {
  State& s = state();
  std::vector<State::Entry> taken;
  {
    MutexLock lock(s.mutex);
    taken.swap(s.entries);
  }
  std::vector<DataMessage> out;
  out.reserve(taken.size());
  for (State::Entry& entry : taken) out.push_back(std::move(entry.message));
  return out;
}

void DataMessageSink::fail_headers_with(int code) {
  State& s = state();
  MutexLock lock(s.mutex);
  s.header_failure = code;
}

void DataMessageSink::fail_payloads_with(int code) {
  State& s = state();
  MutexLock lock(s.mutex);
  s.payload_failure = code;
}

int DataMessageSink::add_header(const std::string& property, const dmsg_info& header, int flags) {
  State& s = state();
  MutexLock lock(s.mutex);
  if (s.header_failure != 0) {
    return std::exchange(s.header_failure, 0);
  }
  State::Entry entry;
  entry.message.property = property;
  entry.message.header = header;
  entry.message.header_flags = flags;
  s.entries.push_back(std::move(entry));
  return 0;
}

int DataMessageSink::add_payload(const std::string& property, const unsigned char* data,
                                 unsigned int size, int flags) {
  if (data == nullptr && size != 0) return ill_parameter;
  State& s = state();
  MutexLock lock(s.mutex);
  if (s.payload_failure != 0) {
    return std::exchange(s.payload_failure, 0);
  }
  // The payload completes the newest message of this property that still
  // waits for one; senders on other properties may have interleaved.
  State::Entry* target = nullptr;
  for (std::size_t i = s.entries.size(); i-- > 0;) {
    State::Entry& entry = s.entries[i];
    if (entry.message.property == property) {
      if (!entry.has_payload) target = &entry;
      break;
    }
  }
  if (target == nullptr) {
    State::Entry entry;
    entry.message.property = property;
    s.entries.push_back(std::move(entry));
    target = &s.entries.back();
  }
  if (size != 0) target->message.payload.assign(data, data + size);
  target->message.payload_flags = flags;
  target->has_payload = true;
  return 0;
}

}  // namespace quelmar
