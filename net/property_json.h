#ifndef NET_PROPERTY_JSON_H_
#define NET_PROPERTY_JSON_H_

#include <nlohmann/json.hpp>
#include <string>

#include "eq_data.h"

class EqFct;

namespace daqnet {

// Members keep the order they are added in.
using Json = nlohmann::ordered_json;

// The value of a reply as JSON, by its data type (the reply's error mark is
// not looked at):
//  - integer types: an integer (unsigned ones as their unsigned value);
//  - DATA_FLOAT: the number of its nine significant digits, which reads back
//    as the same float; a whole value below 1e9 as an integer ("50");
//  - DATA_DOUBLE: the number (shortest text that reads back the same);
//  - NaN and the infinities, which JSON cannot express: null;
//  - DATA_STRING: the text;
//  - DATA_USTR: {"i1_data", "f1_data", "f2_data", "tm", "str_data"} of its
//    first element, or an array of such objects when it has several;
//  - DATA_SPECTRUM: {"bins": {"<index>": count, ...}} with the non-zero bins
//    only, whole counts as integers;
//  - DATA_IIII and the arrays: an array of numbers;
//  - DATA_NULL and codes without elements: null.
Json reply_json(const EqData& reply);

// {"properties": {"<name>": <value>, ...}} of every property of `location`
// in the order it lists them, each read by name through remote_get as a
// client reads it. A property whose read fails (one removed since the
// listing) is left out. Each thread keeps the reply it reads into from one
// call to the next (thread-local; about 64 KB once it has read a
// distribution), so that a distribution's bins are not allocated and
// zeroed on every call; nothing read is reused. It may run in any number of
// threads at once.
Json properties_json(EqFct& location);

// The text form shared by every writer of these documents: indented by two
// blanks, each byte sequence that is not UTF-8 replaced by U+FFFD (names
// may hold any byte but blanks), followed by a newline.
std::string json_text(const Json& document);

}  // namespace daqnet

#endif  // NET_PROPERTY_JSON_H_
