#include "eq_errors.h"

const char* get_error_string(int code) {
  switch (code) {
    case eq_ok:
      return "ok";
    case no_connection:
      return "no connection";
    case not_implemented:
      return "not implemented";
    case read_only:
      return "read only";
    case unknown_property:
      return "unknown property";
    case ill_parameter:
      return "illegal parameter";
    case out_of_range:
      return "out of range";
    case no_data:
      return "no data";
    case buffer_empty:
      return "buffer empty";
    case internal_error:
      return "internal error";
    case wrong_archiver_type:
      return "wrong archiver data type";
    default:
      return "unknown error";
  }
}
