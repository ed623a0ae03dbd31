#include "net/write_throttle.h"

#include <algorithm>

namespace daqnet {

WriteThrottle::Clock::duration WriteThrottle::blocked_for(const std::string& peer,
                                                          Clock::time_point now) const {
  const auto found = peers_.find(peer);
  if (found == peers_.end() || found->second.blocked_until <= now) return Clock::duration::zero();
  return found->second.blocked_until - now;
}

bool WriteThrottle::expired(const Peer& peer, Clock::time_point now) const {
  return peer.blocked_until <= now && now - peer.first >= limits_.window;
}

void WriteThrottle::make_room(Clock::time_point now) {
  for (auto it = peers_.begin(); it != peers_.end();) {
    it = expired(it->second, now) ? peers_.erase(it) : std::next(it);
  }
  if (peers_.size() < limits_.max_peers) return;
  const auto oldest =
      std::min_element(peers_.begin(), peers_.end(),
                       [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
  peers_.erase(oldest);
}

void WriteThrottle::failed(const std::string& peer, Clock::time_point now) {
  auto found = peers_.find(peer);
  if (found == peers_.end()) {
    if (limits_.max_peers == 0) return;
    if (peers_.size() >= limits_.max_peers) make_room(now);
    found = peers_.emplace(peer, Peer{}).first;
  }
  Peer& entry = found->second;
  if (entry.failures == 0 || now - entry.first >= limits_.window) {
    entry.failures = 0;
    entry.first = now;
  }
  entry.last = now;
  if (++entry.failures >= limits_.max_failures) {
    entry.blocked_until = now + limits_.block;
    // The next window starts after the block.
    entry.failures = 0;
  }
}

}  // namespace daqnet
