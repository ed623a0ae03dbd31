#include "net/write_value.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

#include "net/property_json.h"

namespace daqnet {
namespace {

struct Range {
  std::int64_t low;
  std::uint64_t high;
  const char* name;
};

// The integer range of a property of one integer; false for other types.
bool integer_range(int type, Range* range) {
  switch (type) {
    case DATA_INT:
    case DATA_BOOL:
      *range = {INT32_MIN, INT32_MAX, "a 32-bit integer"};
      return true;
    case DATA_SHORT:
      *range = {INT16_MIN, INT16_MAX, "a 16-bit integer"};
      return true;
    case DATA_LONG:
      *range = {INT64_MIN, INT64_MAX, "a 64-bit integer"};
      return true;
    case DATA_USHORT:
      *range = {0, UINT16_MAX, "an unsigned 16-bit integer"};
      return true;
    case DATA_UINT:
      *range = {0, UINT32_MAX, "an unsigned 32-bit integer"};
      return true;
    case DATA_ULONG:
      *range = {0, UINT64_MAX, "an unsigned 64-bit integer"};
      return true;
    default:
      return false;
  }
}

bool fits(const EqData& v, const Range& range) {
  switch (EqData::kind_of(v.type())) {
    case EqData::Kind::unsigned_int:
      return static_cast<std::uint64_t>(v.get_long()) <= range.high;
    case EqData::Kind::signed_int: {
      const long long number = v.get_long();
      return number >= range.low &&
             (number < 0 || static_cast<std::uint64_t>(number) <= range.high);
    }
    default: {
      // A fraction: its whole part must fit. The bounds as doubles are
      // exact or round up to the next power of two, which the whole part
      // must stay below.
      const double whole = std::trunc(v.get_double());
      return std::isfinite(whole) && whole >= static_cast<double>(range.low) &&
             whole < static_cast<double>(range.high) + 1.0;
    }
  }
}

bool is_number(const EqData& v) { return EqData::kind_of(v.type()) != EqData::Kind::none; }

void encode(const Json& v, EqData* value) {
  if (v.is_number_unsigned()) {
    const auto number = v.get<std::uint64_t>();
    if (number <= static_cast<std::uint64_t>(INT_MAX)) {
      value->set(static_cast<int>(number));
    } else if (number <= static_cast<std::uint64_t>(LLONG_MAX)) {
      value->set(static_cast<long long>(number));
    } else {
      value->set_ulong(number);
    }
  } else if (v.is_number_integer()) {
    const auto number = v.get<std::int64_t>();
    if (number >= INT_MIN && number <= INT_MAX) {
      value->set(static_cast<int>(number));
    } else {
      value->set(static_cast<long long>(number));
    }
  } else if (v.is_number_float()) {
    value->set(v.get<double>());
  } else {
    value->set(v.get<std::string>());
  }
}

}  // namespace

bool write_value(const std::string& body, const EqData& current, EqData* value,
                 std::string* error) {
  const Json document = Json::parse(body, nullptr, false);
  if (document.is_discarded()) {
    *error = "the body is not JSON";
    return false;
  }
  if (!document.is_object() || !document.contains("value") || document.size() != 1) {
    *error = "the body must be an object with the one member \"value\"";
    return false;
  }
  const Json& v = document.at("value");
  if (!v.is_number() && !v.is_string()) {
    *error = "\"value\" must be a number or a text";
    return false;
  }
  EqData encoded;
  encode(v, &encoded);
  *error = value_misfit(encoded, current);
  if (!error->empty()) return false;
  *value = encoded;
  return true;
}

std::string value_misfit(const EqData& v, const EqData& current) {
  const int type = current.type();
  Range range{};
  if (integer_range(type, &range)) {
    if (!is_number(v)) return "the property takes a number";
    if (!fits(v, range)) {
      return std::string("the value is out of range: the property is ") + range.name;
    }
    return "";
  }
  if (type == DATA_FLOAT || type == DATA_DOUBLE) {
    if (!is_number(v)) return "the property takes a number";
    if (type == DATA_FLOAT && std::fabs(v.get_double()) > FLT_MAX) {
      return "the value is out of range: the property is a float";
    }
  }
  return "";
}

}  // namespace daqnet
