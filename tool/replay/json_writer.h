#ifndef TOOL_REPLAY_JSON_WRITER_H_
#define TOOL_REPLAY_JSON_WRITER_H_

#include <string>
#include <string_view>

class vrel_daq_event_stat;

namespace daqevstat::tool {

// Every published property of `stat` as one JSON object
//   {"properties": {"<name>": <value>, ...}}
// in the order of the object's property members, absent properties left
// out, followed by a newline. Integer properties are integers; the float
// histories numbers; the event information an object with "i1_data",
// "f1_data", "f2_data", "tm" and "str_data"; a spectrum {"bins": {...}}
// with its non-zero bins by index, whole counts as integers. Floats are
// written with the nine significant digits that read back as the same
// float; NaN and the infinities as null. The text is UTF-8: a byte
// sequence in a name or string that is not UTF-8 becomes U+FFFD. Reads the
// properties, which are thread-safe; takes no statistics lock.
std::string render_json(vrel_daq_event_stat& stat);

// Text forms of single values, for callers writing JSON by hand; the
// rendering above does not use them.
//
// A JSON string literal, quotes included: '"', '\\' and control characters
// are escaped, bytes of 0x80 and above are passed through.
std::string json_string(std::string_view text);

// A JSON number that reads back as the same float or double (%.9g for a
// float, %.17g for a double); NaN and the infinities, which JSON cannot
// express, become null.
std::string json_number(float value);
std::string json_number(double value);

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_JSON_WRITER_H_
