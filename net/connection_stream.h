#ifndef NET_CONNECTION_STREAM_H_
#define NET_CONNECTION_STREAM_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>

namespace daqnet::detail {

// Internal to the HTTP server; do not depend on it directly.
//
// One client connection as the HTTP layer reads and writes it, with limits
// the layer itself does not keep: each request may take at most
// `request_bytes` bytes (request line, headers and body together) and must
// have arrived within `request_deadline` of its first byte, however slowly
// it trickles in; its answer must have been taken by the client within
// the same time of its first byte, however slowly the client reads. Reads
// and writes also end after their timeouts, and within a tenth of a second
// once `stopping` is set. A read or write past a limit fails, which ends the
// connection.
//
// Not thread-safe: a connection belongs to the one worker serving it.
class ConnectionStream : public httplib::Stream {
 public:
  struct Limits {
    std::chrono::milliseconds read_timeout;
    std::chrono::milliseconds write_timeout;
    std::chrono::milliseconds request_deadline;
    std::size_t request_bytes;
  };

  // `stopping` must outlive the stream.
  ConnectionStream(int sock, const Limits& limits, const std::atomic<bool>& stopping);
  ConnectionStream(const ConnectionStream&) = delete;
  ConnectionStream& operator=(const ConnectionStream&) = delete;

  // Waits up to `idle` for the next request to begin; false when none came
  // (or the server stops). Then starts that request's byte budget and
  // deadline.
  bool next_request(std::chrono::milliseconds idle);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Polls for `events` until `until`, in short slices so that a stop is
  // seen; true when the socket is ready.
  bool wait(short events, Clock::time_point until) const;

  const int sock_;
  const Limits limits_;
  const std::atomic<bool>& stopping_;
  char buffer_[4096];
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::size_t request_left_ = 0;
  Clock::time_point request_deadline_{};
  bool responding_ = false;  // the answer to the current request has begun
  Clock::time_point response_deadline_{};
};

}  // namespace daqnet::detail

#endif  // NET_CONNECTION_STREAM_H_
