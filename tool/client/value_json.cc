#include "tool/client/value_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eq_data.h"
#include "tool/shell/shell.h"

namespace daqevstat::tool::client {
namespace {

std::string nine_digits(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string number_text(const Json& value) {
  if (value.is_number_float()) return nine_digits(value.get<double>());
  if (value.is_number()) return value.dump();
  return value_text(value);
}

std::string record_text(const Json& record) {
  const auto member = [&record](const char* name) -> Json {
    return record.contains(name) ? record[name] : Json(nullptr);
  };
  const Json type = member("str_data");
  return "event " + number_text(member("i1_data")) + ", count " + number_text(member("f1_data")) +
         ", time " + number_text(member("tm")) + " s + " + number_text(member("f2_data")) +
         " ms, \"" + (type.is_string() ? type.get<std::string>() : type.dump()) + "\"";
}

// Only the bins that hold samples travel, so the spectrum's length is not
// known here.
std::string spectrum_text(const Json& bins) {
  double samples = 0.0;
  long first = -1;
  long last = -1;
  for (const auto& [index, count] : bins.items()) {
    if (!count.is_number()) continue;
    char* end = nullptr;
    const long bin = std::strtol(index.c_str(), &end, 10);
    if (end == index.c_str() || *end != '\0' || bin < 0) continue;
    samples += count.get<double>();
    if (first < 0 || bin < first) first = bin;
    if (bin > last) last = bin;
  }
  std::string text = "spectrum, " + nine_digits(samples) + " samples";
  if (first >= 0) {
    text += ", bins " + std::to_string(first) + " to " + std::to_string(last) + " occupied";
  }
  return text;
}

}  // namespace

std::optional<Json> value_json(const std::string& text, std::string* error) {
  const EqData value = value_from_text(text);
  switch (EqData::kind_of(value.type())) {
    case EqData::Kind::signed_int:
    case EqData::Kind::unsigned_int:
      return Json(static_cast<std::int64_t>(value.get_long()));
    case EqData::Kind::real: {
      const double number = value.get_double();
      if (!std::isfinite(number)) {
        *error = "nan and the infinities cannot be sent to a server: " + text;
        return std::nullopt;
      }
      // A float goes as the digits typed: the server takes numbers only,
      // and those read back as the same float wherever one is stored.
      if (value.type() == DATA_FLOAT) {
        return Json(std::strtod(text.substr(0, text.size() - 1).c_str(), nullptr));
      }
      return Json(number);
    }
    case EqData::Kind::none:
      break;
  }
  return Json(value.get_string());
}

std::string sent_text(const std::string& text) {
  const EqData value = value_from_text(text);
  switch (value.type()) {
    case DATA_INT:
      return "int " + value.get_string();
    case DATA_LONG:
      return "long " + value.get_string();
    case DATA_FLOAT:
      return "float " + nine_digits(value.get_double());
    case DATA_DOUBLE:
      return "double " + nine_digits(value.get_double());
    default:
      return "text \"" + value.get_string() + "\"";
  }
}

std::string value_text(const Json& value) {
  if (value.is_null()) return "null";
  if (value.is_number()) return number_text(value);
  if (value.is_string()) return "\"" + value.get<std::string>() + "\"";
  if (value.is_object() && value.contains("i1_data")) return record_text(value);
  if (value.is_object() && value.contains("bins") && value["bins"].is_object()) {
    return spectrum_text(value["bins"]);
  }
  if (value.is_array()) {
    std::string text = "[";
    for (const Json& element : value) text += (text.size() > 1 ? ", " : "") + value_text(element);
    return text + "]";
  }
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace daqevstat::tool::client
