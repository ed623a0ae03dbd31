#ifndef HOST_EQ_VALUE_IO_H_
#define HOST_EQ_VALUE_IO_H_

#include <ctime>
#include <limits>
#include <ostream>
#include <string>
#include <type_traits>

#include "eq_data.h"

namespace quelmar {

// Writes a value as the configuration file holds it: an int in decimal under
// the stream's current flags; a float in scientific notation with 6 digits
// after the point (0.25 gives 2.500000e-01). The float form leaves the stream
// in scientific notation with precision 6.
inline void write_conf_value_to_stream(std::ostream& stream, int value) { stream << value; }

inline void write_conf_value_to_stream(std::ostream& stream, float value) {
  stream.setf(std::ios::scientific, std::ios::floatfield);
  stream.precision(6);
  stream << static_cast<double>(value);
}

// Element `index` of a multi-read reply for a failed lookup:
// (2147483647, NaN, NaN, tm, text, index), NaN being the quiet NaN 0x7FC00000.
template <typename T>
inline void set_eqdata_to_error_for_get_multi(EqData* out, time_t tm, const std::string& text,
                                              int index) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  out->set(2147483647, nan, nan, tm, text, index);
}

// Element `index` of a multi-read reply holding `value`: for an int
// (v, v, v, tm, text, index) with the floats converted from v; for a float
// (0, v, v, tm, text, index).
template <typename T>
inline void set_eqdata_to_value_for_get_multi(EqData* out, T value, time_t tm,
                                              const std::string& text, int index) {
  static_assert(std::is_same_v<T, int> || std::is_same_v<T, float>,
                "multi-read elements are made for int and float values");
  if constexpr (std::is_same_v<T, int>) {
    out->set(value, static_cast<float>(value), static_cast<float>(value), tm, text, index);
  } else {
    out->set(0, value, value, tm, text, index);
  }
}

}  // namespace quelmar

#endif  // HOST_EQ_VALUE_IO_H_
