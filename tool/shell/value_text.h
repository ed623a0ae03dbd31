#ifndef TOOL_SHELL_VALUE_TEXT_H_
#define TOOL_SHELL_VALUE_TEXT_H_

#include <string>

#include "eq_data.h"

namespace daqevstat::tool {

// The value a `set` writes, by the form of its text:
//  - an optional sign and decimal digits: an integer, DATA_INT within 32
//    bits, DATA_LONG beyond, a double beyond 64 bits;
//  - a decimal with a point or an exponent, or nan, inf, infinity (any
//    case, optional sign): DATA_DOUBLE;
//  - either number form followed by 'f' or 'F': DATA_FLOAT;
//  - a text in double quotes: that text without the quotes (so "30" is the
//    text 30);
//  - anything else: the text as it is (DATA_STRING).
// A double keeps what was typed to 15 digits, so a property's conversion of
// it shows, not one made by the shell; the 'f' form tries a 32-bit float.
EqData value_from_text(const std::string& text);

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_VALUE_TEXT_H_
