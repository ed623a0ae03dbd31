#include "counting_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::int64_t> g_live_bytes{0};

// Every block carries its requested size in front of the caller's bytes, so
// that an unsized delete can take it back off the count. The header keeps the
// alignment that operator new promises.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* counted_alloc(std::size_t size) noexcept {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  g_live_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  return static_cast<char*>(block) + kHeader;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHeader;
  g_live_bytes.fetch_sub(static_cast<std::int64_t>(*static_cast<std::size_t*>(block)),
                         std::memory_order_relaxed);
  std::free(block);
}

// Over-aligned blocks (alignas beyond the default): the size sits in the
// word before the caller's bytes, in front of which a whole alignment unit
// is kept.
std::size_t aligned_header(std::align_val_t alignment) {
  const auto unit = static_cast<std::size_t>(alignment);
  return unit > kHeader ? unit : kHeader;
}

void* counted_aligned_alloc(std::size_t size, std::align_val_t alignment) noexcept {
  const std::size_t header = aligned_header(alignment);
  const std::size_t total = (size + header + header - 1) / header * header;
  void* block = std::aligned_alloc(header, total);
  if (block == nullptr) return nullptr;
  char* p = static_cast<char*>(block) + header;
  *reinterpret_cast<std::size_t*>(p - sizeof(std::size_t)) = size;
  g_live_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  return p;
}

void counted_aligned_free(void* p, std::align_val_t alignment) noexcept {
  if (p == nullptr) return;
  char* bytes = static_cast<char*>(p);
  g_live_bytes.fetch_sub(
      static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(bytes - sizeof(std::size_t))),
      std::memory_order_relaxed);
  std::free(bytes - aligned_header(alignment));
}

}  // namespace

namespace bench {

std::int64_t live_heap_bytes() { return g_live_bytes.load(std::memory_order_relaxed); }

}  // namespace bench

void* operator new(std::size_t size) {
  if (void* p = counted_alloc(size)) return p;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_alloc(size); }

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc(size);
}

void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = counted_aligned_alloc(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void operator delete(void* p, std::align_val_t alignment) noexcept {
  counted_aligned_free(p, alignment);
}
void operator delete[](void* p, std::align_val_t alignment) noexcept {
  counted_aligned_free(p, alignment);
}
void operator delete(void* p, std::size_t, std::align_val_t alignment) noexcept {
  counted_aligned_free(p, alignment);
}
void operator delete[](void* p, std::size_t, std::align_val_t alignment) noexcept {
  counted_aligned_free(p, alignment);
}
