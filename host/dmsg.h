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
  std::string property;  // name of the sending property
  dmsg_info header;
  int header_flags = 0;  // second argument of send_header
  std::vector<unsigned char> payload;
  int payload_flags = 0;  // last argument of send_data
};

// Where D_fct::send_header and D_fct::send_data deliver: a process-wide
// in-memory queue that servers drain and tests read.
//
// A header starts a new message; a payload completes the newest message of
// the same property that has no payload yet, or, when there is none, makes a
// message of its own with an empty header. A send that fails adds nothing.
//
// Thread-safe: it has internal synchronization (one mutex guards the queue
// and the pending failures), so every member may be called concurrently.
class HOST_EXPORT DataMessageSink {
 public:
  static DataMessageSink& instance();

  // Messages sent so far, oldest first; take() also empties the queue.
  std::vector<DataMessage> messages() const;
  std::vector<DataMessage> take();

  // Makes the next header or payload send, and only that one, fail with
  // `code`; sends after it succeed again. 0 cancels a pending failure.
  void fail_headers_with(int code);
  void fail_payloads_with(int code);

  // Used by D_fct. Return 0 on success or the code of the failure injected
  // above; a null `data` with a non-zero `size` gives ill_parameter.
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
