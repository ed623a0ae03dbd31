#ifndef TOOL_CLIENT_VALUE_JSON_H_
#define TOOL_CLIENT_VALUE_JSON_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace daqevstat::tool::client {

using Json = nlohmann::ordered_json;

// The JSON value a write sends for VALUE as the shell reads it (see
// value_from_text): an integer, a number (a float as the digits typed
// before its 'f') or a text. NaN and the infinities have no JSON form: nullopt and
// `error` set.
std::optional<Json> value_json(const std::string& text, std::string* error);

// What the write of `text` sends, for the shell's report: "int 30",
// "long 5000000000", "double 2.9", "float 2.9", "text \"abc\"".
std::string sent_text(const std::string& text);

// A property's value from the server in one line, as the shell prints a
// reply: an integer or a number (nine significant digits) as such, a text
// in quotes, the current-event record as its fields, a spectrum as its
// sample count and occupied bins; null (a value without a number, such as
// a percentage of no events) as "null".
std::string value_text(const Json& value);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_VALUE_JSON_H_
