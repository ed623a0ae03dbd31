#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_ATOMIC_POINTER_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_ATOMIC_POINTER_H_

// Atomic access to the statistics object's pointer members that are read
// without its lock (the switch, and the local-period spectrum whose presence
// marks the property set). Not installed: the library's own.

namespace daqevstat::internal {

template <typename T>
T* load_ptr(T* const* p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

template <typename T>
void store_ptr(T** p, T* value) {
  __atomic_store_n(p, value, __ATOMIC_RELEASE);
}

}  // namespace daqevstat::internal

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_ATOMIC_POINTER_H_
