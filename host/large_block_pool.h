#ifndef HOST_LARGE_BLOCK_POOL_H_
#define HOST_LARGE_BLOCK_POOL_H_

#include <cstddef>
#include <memory>
#include <new>

#include "host_export.h"

namespace quelmar {

// Storage for the large arrays that properties write on every event
// (spectrum bins, history rings). A server with many statistics objects
// touches a few lines of each of these arrays per event, each array in a
// page of its own: with ordinary 4 KB pages a thousand objects need more
// page-table entries than the processor caches, and every event pays for
// page walks. The pool carves the arrays out of 2 MB regions that the kernel
// is asked to back with huge pages (madvise MADV_HUGEPAGE; where the kernel
// declines, the regions are ordinary pages and nothing else changes), so
// the arrays of about eight objects share one translation entry.
//
// Blocks are aligned to 64 bytes and rounded up to a multiple of that. A
// released block is kept for the next request of the same rounded size
// (switching statistics off and on again reuses its arrays); regions are
// never returned to the system. A block larger than a region gets a mapping
// of its own, unmapped when it is released.
//
// Thread safety: every call may run concurrently with any other; one mutex
// inside guards the regions and the free lists. Requests and releases are
// rare (a property is made or removed), never on the event path.
class HOST_EXPORT LargeBlockPool {
 public:
  struct Usage {
    std::size_t bytes_in_use = 0;    // rounded sizes of the blocks handed out
    std::size_t bytes_reserved = 0;  // mapped: regions and blocks of their own
  };

  // Throws std::bad_alloc when the system gives no memory. Zero bytes give
  // a block of 64.
  static void* allocate(std::size_t bytes);
  // `bytes` as given to allocate; a null block is ignored.
  static void release(void* block, std::size_t bytes) noexcept;
  static Usage usage();
};

// An array of `count` default-constructed T from the pool, owned like
// new T[count] by a unique_ptr, and destroyed and released by it.
template <typename T>
class PooledArrayDeleter {
 public:
  PooledArrayDeleter() = default;
  explicit PooledArrayDeleter(std::size_t count) : count_(count) {}
  void operator()(T* array) const noexcept {
    if (array == nullptr) return;
    for (std::size_t i = count_; i > 0; --i) array[i - 1].~T();
    LargeBlockPool::release(array, count_ * sizeof(T));
  }

 private:
  std::size_t count_ = 0;
};

template <typename T>
using PooledArray = std::unique_ptr<T[], PooledArrayDeleter<T>>;

template <typename T>
PooledArray<T> make_pooled_array(std::size_t count) {
  static_assert(alignof(T) <= 64, "the pool aligns its blocks to 64 bytes");
  void* block = LargeBlockPool::allocate(count * sizeof(T));
  T* array = static_cast<T*>(block);
  std::size_t made = 0;
  try {
    for (; made < count; ++made) new (array + made) T();
  } catch (...) {
    PooledArrayDeleter<T>{made}(array);
    throw;
  }
  return PooledArray<T>(array, PooledArrayDeleter<T>(count));
}

}  // namespace quelmar

#endif  // HOST_LARGE_BLOCK_POOL_H_
