#ifndef HOST_EQ_ERRORS_H_
#define HOST_EQ_ERRORS_H_

#include "host_export.h"

// Error codes a reply EqData may carry. get_error_string gives their text.
enum EqErrorCode : int {
  eq_ok = 0,
  no_connection = 1,
  not_implemented = 2,
  read_only = 3,
  unknown_property = 4,
  ill_parameter = 5,
  out_of_range = 6,
  no_data = 7,            // an event-buffer lookup found no entry
  buffer_empty = 8,       // the property keeps no event-buffer entries yet
  internal_error = 9,     // an exception escaped a property's remote operation
  wrong_archiver_type = 126,
};

// Never null; unknown codes give "unknown error".
HOST_EXPORT const char* get_error_string(int code);

#endif  // HOST_EQ_ERRORS_H_
