#ifndef TOOL_OUTPUT_PROPERTY_TEXT_H_
#define TOOL_OUTPUT_PROPERTY_TEXT_H_

#include <string>

#include "eq_data.h"
#include "eq_fct.h"

namespace daqevstat::tool {

// Base name the replay and the first simulated object publish under when
// none is given.
inline constexpr const char* kDefaultBaseName = "EVSTAT";

// A remote reply in one line, by its data type: an integer or a number as
// such, a text in quotes, the current-event record as its fields, a
// spectrum as its sample count and occupied range. An error reply reads
// "error <code>: <text>".
std::string reply_text(const EqData& reply);

// Reads `property` by name through the location, as a remote client does.
EqData remote_read(EqFct& location, const std::string& property);

// Writes `value` to `property` by name and returns the reply.
EqData remote_write(EqFct& location, const std::string& property, const EqData& value);

}  // namespace daqevstat::tool

#endif  // TOOL_OUTPUT_PROPERTY_TEXT_H_
