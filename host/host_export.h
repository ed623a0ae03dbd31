#ifndef HOST_HOST_EXPORT_H_
#define HOST_HOST_EXPORT_H_

// The shared libraries hide their symbols by default; HOST_EXPORT marks the
// classes and functions of the host layer that servers and tests may use.
#define HOST_EXPORT __attribute__((visibility("default")))

#endif  // HOST_HOST_EXPORT_H_
