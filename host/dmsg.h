#ifndef HOST_DMSG_H_
#define HOST_DMSG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "host_export.h"

// Header of a data message.
struct dmsg_info {
  std::int64_t ident = 0;
  std::uint64_t sec = 0;
  std::uint32_t usec = 0;
  std::uint32_t stat = 0;
  std::uint32_t res0 = 0;
  std::uint32_t res1 = 0;
};

namespace quelmar {

// One data message as a property sent it.
struct DataMessage {
  std::string property;      // name of the sending property
  dmsg_info header;
  int header_flags = 0;      // second argument of send_header
  std::vector<unsigned char> payload;
  int payload_flags = 0;     // last argument of send_data
};

// Where D_fct::send_header and D_fct::send_data deliver: a process-wide
// in-memory queue that servers drain and tests read. Thread-safe.
class HOST_EXPORT DataMessageSink {
 public:
  static DataMessageSink& instance();

  // Messages sent so far, oldest first; take() also empties the queue.
  std::vector<DataMessage> messages() const;
  std::vector<DataMessage> take();

  // Makes the next header or payload send fail with `code` (0: succeed).
  void fail_headers_with(int code);
  void fail_payloads_with(int code);

  // Used by D_fct.
  int add_header(const std::string& property, const dmsg_info& header, int flags);
  int add_payload(const std::string& property, const unsigned char* data, unsigned int size,
                  int flags);

 private:
  DataMessageSink() = default;
  struct State;
  State& state() const;
};

}  // namespace quelmar

#endif  // HOST_DMSG_H_
