#ifndef BENCHMARKS_COUNTING_ALLOCATOR_H_
#define BENCHMARKS_COUNTING_ALLOCATOR_H_

#include <cstdint>

namespace bench {

// The benchmark binary replaces the global operator new and delete with
// versions that keep a running count of the bytes requested and not yet
// freed (by every thread), so that the memory an object holds can be counted
// rather than estimated.
std::int64_t live_heap_bytes();

}  // namespace bench

#endif  // BENCHMARKS_COUNTING_ALLOCATOR_H_
