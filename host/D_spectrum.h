#ifndef HOST_D_SPECTRUM_H_
#define HOST_D_SPECTRUM_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "d_fct.h"
#include "host_export.h"
#include "large_block_pool.h"

// A spectrum property: `max_length` bins of doubles (each bin counts exactly
// up to 2^53), with an x axis given by start and increment, a time and an
// event id.
//
// Thread safety: no lock. Every bin and every parameter is an atomic of its
// own, so a fill never waits for a reader and a reader never waits for a
// fill, however long it takes to copy the bins. What a reader may observe
// while fills go on: each bin it copies is a value that bin really held, but
// the copy as a whole is a moment's mix (bins copied early may miss fills that
// bins copied late include), and the parameters may come from consecutive
// parameter calls. Once the fills stop, every copy is exact.
// A read-modify-write made of read_spectrum and fill_spectrum is not atomic:
// callers that count into bins serialise among themselves (the statistics
// object does, under its own mutex), and then no count is lost. Fills and
// clear_spectrum are serialised the same way: a fill that overlaps a clear
// may leave a bin above the filled bound below, which a reader then misses.
// Fills among themselves may overlap.
class HOST_EXPORT D_spectrum : public D_fct {
 public:
  // `flag` is kept for the framework's interface and has no effect here.
  D_spectrum(const std::string& pn, u_int length, EqFct* ef, bool flag);
  ~D_spectrum() override;

  // Replies DATA_SPECTRUM with all bins, start, increment and time.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  int data_type() const override;  // DATA_SPECTRUM

  u_int max_length() const { return length_; }
  // The three calls below are made for every counted event, so they are
  // defined inline: a call into the shared library each would cost more
  // than the atomic access itself. Relaxed throughout: each bin and each
  // parameter is a value of its own, and nothing else is published through
  // them.

  // The bin's content; 0 for an index outside the spectrum.
  double read_spectrum(int index) const {
    if (index < 0 || static_cast<u_int>(index) >= length_) return 0.0;
    return bins_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
  }
  // Where bin `index` is kept (null outside the spectrum), for a caller
  // that asks the processor for its line ahead of a fill; nothing is read.
  const void* bin_address(int index) const noexcept {
    if (index < 0 || static_cast<u_int>(index) >= length_) return nullptr;
    return &bins_[static_cast<std::size_t>(index)];
  }
  // Sets a bin; an index outside the spectrum is ignored.
  void fill_spectrum(int index, double value) {
    if (index < 0 || static_cast<u_int>(index) >= length_) return;
    bins_[static_cast<std::size_t>(index)].store(value, std::memory_order_relaxed);
    if (static_cast<u_int>(index) >= filled_bound_.load(std::memory_order_relaxed)) {
      raise_filled_bound(static_cast<u_int>(index));
    }
  }
  // The parameter call: time in seconds, event id, status (kept, not
  // interpreted), x start and increment.
  void spectrum_parameter(time_t tm, std::int64_t event_id, int status, float start,
                          float increment) {
    time_.store(static_cast<std::int64_t>(tm), std::memory_order_relaxed);
    event_id_.store(event_id, std::memory_order_relaxed);
    status_.store(status, std::memory_order_relaxed);
    start_.store(start, std::memory_order_relaxed);
    increment_.store(increment, std::memory_order_relaxed);
  }
  // The clearing call: every bin to 0; time, event id, start and increment
  // are kept.
  void clear_spectrum();
  // One above the highest bin filled since construction or the last clear:
  // every bin from it on reads 0.
  u_int filled_bound() const { return filled_bound_.load(std::memory_order_acquire); }

  // Copies of the state (see the class comment for what a copy taken while
  // fills go on may hold).
  std::vector<double> bins() const;
  float start() const;
  float increment() const;
  time_t time() const;
  std::int64_t spectrum_event_id() const;
  int status() const;

 private:
  void copy_bins(std::vector<double>& into) const;
  void raise_filled_bound(u_int index);

  // Everything a fill touches shares one line with the base's stamp: the
  // status fills the gap after the length, and the bins are held by a plain
  // pointer (their length is length_) to leave room for the filled bound.
  const u_int length_;
  std::atomic<int> status_{0};
  // From the pool of large blocks: see LargeBlockPool for why.
  std::atomic<double>* const bins_;
  // A reader copies the bins below it only: a distribution is mostly an
  // empty tail, and finding where it starts would cost a reader a load of
  // every bin. Raised (release) after the bin's store, so a reader that
  // sees the bound sees the bin.
  std::atomic<u_int> filled_bound_{0};
  std::atomic<std::int64_t> time_{0};
  std::atomic<std::int64_t> event_id_{0};
  std::atomic<float> start_{0.0f};
  std::atomic<float> increment_{1.0f};
};

#endif  // HOST_D_SPECTRUM_H_
