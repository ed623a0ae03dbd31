#ifndef NET_WRITE_VALUE_H_
#define NET_WRITE_VALUE_H_

#include <string>

#include "eq_data.h"

namespace daqnet {

// The value an HTTP write sends, from its body {"value": V}, checked against
// the property it goes to, whose current reply `current` tells its type:
//
//  - a property of one integer (32-bit int and flag, 16-, 64-bit, unsigned)
//    takes a number whose whole part lies in the type's range; a fraction is
//    passed on and the property truncates it, as it does for any client
//    (2.9 writes 2). Text, and numbers outside the range (4294967296 to a
//    32-bit switch), are refused: the conversions of the remote call would
//    turn them into some other value.
//  - a property of one float or double takes a number (a float one within
//    the float range).
//  - any other property takes a number or a text and converts it itself.
//
// The value is sent as the host's data: an integer as DATA_INT within 32
// bits, DATA_LONG beyond (DATA_ULONG above the signed range), a number with
// a fraction or exponent as DATA_DOUBLE, a text as DATA_STRING.
//
// Returns false and sets `error` (a sentence for the client) when the body
// is not such an object or the value does not fit.
bool write_value(const std::string& body, const EqData& current, EqData* value, std::string* error);

// The check of write_value on a value already in the host's data (an
// integer, a real or a text), for writers that do not go through HTTP, such
// as the tool's local shell: "" when `value` fits the property whose current
// reply is `current`, otherwise the same sentence write_value gives.
std::string value_misfit(const EqData& value, const EqData& current);

}  // namespace daqnet

#endif  // NET_WRITE_VALUE_H_
