#ifndef VALUE_DAQEVSTAT_EXPORT_H_
#define VALUE_DAQEVSTAT_EXPORT_H_

// libdaqevstat.so hides its symbols by default; DAQEVSTAT_EXPORT marks its
// interface, exception types included so that a host's catch still matches.
#define DAQEVSTAT_EXPORT __attribute__((visibility("default")))

#endif  // VALUE_DAQEVSTAT_EXPORT_H_
