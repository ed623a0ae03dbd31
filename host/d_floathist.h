#ifndef HOST_D_FLOATHIST_H_
#define HOST_D_FLOATHIST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "d_fct.h"
#include "host_export.h"
#include "large_block_pool.h"

// A float value with a title and a bounded history of its recent values.
// It starts at 0.0 with an empty history.
//
// Thread safety: no lock. The value is an atomic; the history is a ring
// written by one thread at a time and read by any number of threads without
// waiting for it. Stores must not overlap one another (the statistics object
// makes them under its own mutex); reads may overlap anything. A reader sees
// every sample whole: history() leaves out the oldest samples that a store
// overwrote while it copied, so a copy taken during stores may hold a few
// samples fewer than the ring, never a torn or out-of-order one.
class HOST_EXPORT D_floathist : public D_fct {
 public:
  static constexpr std::size_t kHistoryLength = 1024;

  struct Sample {
    quelmar::Timestamp timestamp;
    float value;
  };

  D_floathist(const std::string& pn, EqFct* ef, const std::string& title);
  ~D_floathist() override;

  // Replies DATA_FLOAT with the current value.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  int data_type() const override;  // DATA_FLOAT

  const std::string& title() const { return title_; }

  // The one-float value operation: the current value becomes `value`, which
  // is appended to the history (the oldest sample goes when it is full).
  virtual void set_value(float value);
  float value() const;
  // What set_value does, with the stamp given instead of laundered: inline
  // and without the virtual call, for an owner that made the property, knows
  // that its class does not override set_value, and has laundered one stamp
  // for several stores.
  void set_value_stamped(float value, quelmar::Timestamp stamp) {
    value_.store(value, std::memory_order_relaxed);
    // The sequence-lock pattern on a ring: announce the store, write the
    // slot, then publish it. The slot is written with release stores, which
    // order the announcement before the slot's new contents: a reader that
    // copied any of them (with an acquire load) also sees the announcement
    // and drops that slot. (Release and acquire rather than fences, which
    // the thread sanitizer cannot follow; on x86 both are plain moves.)
    const std::uint64_t n = begun_.load(std::memory_order_relaxed);
    begun_.store(n + 1, std::memory_order_relaxed);
    Slot& slot = ring_[n % kHistoryLength];
    slot.timestamp.store(stamp, std::memory_order_release);
    slot.value.store(value, std::memory_order_release);
    written_.store(n + 1, std::memory_order_release);
    set_timestamp(stamp);
  }
  // Where the next store's sample goes, for a caller that asks the
  // processor for its line ahead of the store. Called by the storing
  // thread, as set_value_stamped is.
  const void* next_slot_address() const noexcept {
    return &ring_[begun_.load(std::memory_order_relaxed) % kHistoryLength];
  }
  // Oldest first, at most kHistoryLength samples, each stamped with the time
  // of its store.
  std::vector<Sample> history() const;

 private:
  struct Slot {
    std::atomic<quelmar::Timestamp> timestamp{0};
    std::atomic<float> value{0.0f};
  };

  std::atomic<float> value_{0.0f};
  // Stores begun and stores finished since construction; sample number n
  // lives in slot n % kHistoryLength. A reader that sees `begun_` at b after
  // its copy knows that every sample below b - kHistoryLength may have been
  // overwritten while it copied.
  std::atomic<std::uint64_t> begun_{0};
  std::atomic<std::uint64_t> written_{0};
  // From the pool of large blocks: see LargeBlockPool for why.
  const quelmar::PooledArray<Slot> ring_;

  const std::string title_;
};

#endif  // HOST_D_FLOATHIST_H_
