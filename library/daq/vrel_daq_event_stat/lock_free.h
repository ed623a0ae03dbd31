#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCK_FREE_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCK_FREE_H_

#include <type_traits>

// The statistics object's fields that threads read without its lock: each
// access names its memory order, so the type and the call say what the
// field's comment used to. Relaxed loads and stores and acquire loads are
// plain moves on x86, release stores too: the wrapper costs the event path
// nothing over the raw builtins it replaces.

namespace daqevstat {

// A view of a scalar whose type the layout fixes (the public property
// pointers, the event number inside a vrel_time_id): every access through it
// is atomic with the order its name gives.
template <typename T>
class LockFreeRef {
  static_assert(std::is_scalar_v<T>, "lock-free access is for scalars");

 public:
  // A view of a const field offers the loads only.
  explicit LockFreeRef(T& field) noexcept : field_(&field) {}

  T load_relaxed() const noexcept { return __atomic_load_n(field_, __ATOMIC_RELAXED); }
  T load_acquire() const noexcept { return __atomic_load_n(field_, __ATOMIC_ACQUIRE); }
  void store_relaxed(T value) const noexcept { __atomic_store_n(field_, value, __ATOMIC_RELAXED); }
  void store_release(T value) const noexcept { __atomic_store_n(field_, value, __ATOMIC_RELEASE); }
  // A counter's step; the sequentially consistent one also orders this
  // thread's later loads after it.
  T add_seq_cst(T step) const noexcept {
    return __atomic_add_fetch(field_, step, __ATOMIC_SEQ_CST);
  }
  T sub_release(T step) const noexcept {
    return __atomic_sub_fetch(field_, step, __ATOMIC_RELEASE);
  }

 private:
  T* field_;
};

template <typename T>
LockFreeRef<T> lock_free(T& field) noexcept {
  return LockFreeRef<T>(field);
}

// A scalar field of its own, read and written only through atomic accesses.
// Same size and alignment as T. Not copyable: a copy would be a plain read.
template <typename T>
class LockFree {
 public:
  constexpr LockFree() noexcept : value_{} {}
  constexpr explicit LockFree(T value) noexcept : value_(value) {}
  LockFree(const LockFree&) = delete;
  LockFree& operator=(const LockFree&) = delete;

  T load_relaxed() const noexcept { return LockFreeRef<const T>(value_).load_relaxed(); }
  T load_acquire() const noexcept { return LockFreeRef<const T>(value_).load_acquire(); }
  void store_relaxed(T value) noexcept { LockFreeRef<T>(value_).store_relaxed(value); }
  void store_release(T value) noexcept { LockFreeRef<T>(value_).store_release(value); }
  T add_seq_cst(T step) noexcept { return LockFreeRef<T>(value_).add_seq_cst(step); }
  T sub_release(T step) noexcept { return LockFreeRef<T>(value_).sub_release(step); }

 private:
  T value_;
};

}  // namespace daqevstat

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCK_FREE_H_
