#ifndef NET_WRITE_THROTTLE_H_
#define NET_WRITE_THROTTLE_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace daqnet {

// Slows down guessing the write token: a peer address that sends a wrong
// (or no) token `max_failures` times within `window` may not write at all
// for `block` after the last of them, whatever token it then sends. A right
// token neither unlocks a blocked peer early nor clears earlier failures.
//
// At most `max_peers` addresses are remembered; when more fail, the entries
// whose failures have expired go first, then the oldest. An attacker with
// very many addresses can therefore make the server forget a peer, but each
// address still gets only `max_failures` guesses per window.
//
// Not thread-safe: the server uses it from its one I/O thread.
class WriteThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t max_failures = 5;
    std::chrono::seconds window{60};
    std::chrono::seconds block{60};
    std::size_t max_peers = 4096;
  };

  WriteThrottle() = default;
  explicit WriteThrottle(const Limits& limits) : limits_(limits) {}

  // How long `peer` must still wait before it may write; zero when it may.
  Clock::duration blocked_for(const std::string& peer, Clock::time_point now) const;
  // Notes a write refused for its token.
  void failed(const std::string& peer, Clock::time_point now);

  std::size_t peers() const { return peers_.size(); }

 private:
  struct Peer {
    std::size_t failures = 0;   // within the window that began at `first`
    Clock::time_point first{};  // the window's first failure
    Clock::time_point blocked_until{};
    Clock::time_point last{};
  };
  bool expired(const Peer& peer, Clock::time_point now) const;
  void make_room(Clock::time_point now);

  Limits limits_;
  std::unordered_map<std::string, Peer> peers_;
};

}  // namespace daqnet

#endif  // NET_WRITE_THROTTLE_H_
