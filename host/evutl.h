#ifndef HOST_EVUTL_H_
#define HOST_EVUTL_H_

#include "host_export.h"

// The name of an event type: the enumerator name of VREL_EVTYPE for 0 to 32
// ("VREL_EV_NORMAL" for 1), and "VREL_EV_UNKNOWN(<value>)" with the value as
// an unsigned decimal for any other. The pointer is never null; for a known
// type it is a string literal, otherwise it points to a buffer private to
// the calling thread, valid until that thread's next call.
HOST_EXPORT const char* event_name_itoa(int event_type);

#endif  // HOST_EVUTL_H_
