#include "large_block_pool.h"

#include <sys/mman.h>

#include <cstdint>
#include <map>
#include <vector>

#include "quelmar_types.h"
#include "thread_annotations.h"

namespace quelmar {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kRegionBytes = std::size_t{2} << 20;  // one huge page on x86-64

std::size_t rounded(std::size_t bytes) {
  if (bytes == 0) return kAlignment;
  if (bytes > SIZE_MAX - kAlignment) throw std::bad_alloc();
  return (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

// A mapping of `bytes` (a multiple of kRegionBytes) that starts on a
// kRegionBytes boundary, which a huge page needs: mapped larger, then the
// ends are given back.
void* map_aligned(std::size_t bytes) {
  const std::size_t padded = bytes + kRegionBytes;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kRegionBytes - 1) / kRegionBytes * kRegionBytes;
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = start + padded;
  if (end > aligned + bytes)
    munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: without huge pages the mapping works as it is.
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

struct Pool {
  Mutex mutex;
  // The region blocks are carved from, and how much of it is used.
  char* region GUARDED_BY(mutex) = nullptr;
  std::size_t region_used GUARDED_BY(mutex) = kRegionBytes;
  // Released blocks by rounded size.
  std::map<std::size_t, std::vector<void*>> free_blocks GUARDED_BY(mutex);
  LargeBlockPool::Usage usage GUARDED_BY(mutex);
};

// Leaked on purpose: properties of static objects may be released while
// static destructors run, in any order.
Pool& pool() {
  static Pool* const instance = new Pool;
  return *instance;
}

std::size_t mapping_bytes(std::size_t size) {
  return (size + kRegionBytes - 1) / kRegionBytes * kRegionBytes;
}

}  // namespace

void* LargeBlockPool::allocate(std::size_t bytes) {
  const std::size_t size = rounded(bytes);
  Pool& p = pool();
  MutexLock lock(p.mutex);
  if (size > kRegionBytes) {
    void* block = map_aligned(mapping_bytes(size));
    p.usage.bytes_reserved += mapping_bytes(size);
    p.usage.bytes_in_use += size;
    return block;
  }
  auto found = p.free_blocks.find(size);
  if (found != p.free_blocks.end() && !found->second.empty()) {
    void* block = found->second.back();
    found->second.pop_back();
    p.usage.bytes_in_use += size;
    return block;
  }
  if (kRegionBytes - p.region_used < size) {
    // The rest of the old region is left unused: blocks are few and large,
    // and a rest smaller than this block would rarely fit another.
    p.region = static_cast<char*>(map_aligned(kRegionBytes));
    p.region_used = 0;
    p.usage.bytes_reserved += kRegionBytes;
  }
  void* block = p.region + p.region_used;
  p.region_used += size;
  p.usage.bytes_in_use += size;
  return block;
}

void LargeBlockPool::release(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  const std::size_t size = rounded(bytes);
  Pool& p = pool();
  MutexLock lock(p.mutex);
  p.usage.bytes_in_use -= size;
  if (size > kRegionBytes) {
    munmap(block, mapping_bytes(size));
    p.usage.bytes_reserved -= mapping_bytes(size);
    return;
  }
  try {
    p.free_blocks[size].push_back(block);
  } catch (...) {
    // No memory to remember it: the block stays mapped and unused.
  }
}

LargeBlockPool::Usage LargeBlockPool::usage() {
  Pool& p = pool();
  MutexLock lock(p.mutex);
  return p.usage;
}

}  // namespace quelmar
