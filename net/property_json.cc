#include "net/property_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "eq_fct.h"
#include "net/exposition.h"

namespace daqnet {
namespace {

// A float as the double of its nine significant digits. The serializer
// prints the shortest text that reads back as that double, which is those
// digits and reads back as the same float; the float's exact double would
// print up to 17 digits that say nothing more. A whole value below 1e9 has
// always been written bare ("50", not "50.0"), so readers got an integer:
// it stays one.
// to_chars and from_chars with a precision format and parse as printf's
// "%.9g" and strtod do in the C locale, without their locale machinery.
Json float_number(float value) {
  if (!std::isfinite(value)) return nullptr;
  char digits[32];
  char* end = std::to_chars(digits, digits + sizeof digits, static_cast<double>(value),
                            std::chars_format::general, 9)
                  .ptr;
  if (std::find_if(digits, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    long long whole = 0;
    std::from_chars(digits, end, whole);
    return whole;
  }
  double read = 0.0;
  std::from_chars(digits, end, read);
  return read;
}

Json double_number(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

// Spectrum bins count events and hold whole numbers; anything else is
// written as a number rather than silently truncated.
Json count_number(double count) {
  if (!std::isfinite(count)) return nullptr;
  if (count == std::trunc(count) && std::fabs(count) < 9.0e18) {
    return static_cast<std::int64_t>(count);
  }
  return count;
}

// Members whose keys are known to be new are appended to the object as
// they are, in order: looking each key up first would compare it with every
// key before it.
void append_member(Json::object_t& object, std::string key, Json value) {
  object.emplace_back(std::move(key), std::move(value));
}

Json ustr_element(const EqData::UstrElement& record) {
  Json info = Json::object();
  auto& members = info.get_ref<Json::object_t&>();
  members.reserve(5);
  append_member(members, "i1_data", record.i1);
  append_member(members, "f1_data", float_number(record.f1));
  append_member(members, "f2_data", float_number(record.f2));
  append_member(members, "tm", static_cast<std::int64_t>(record.tm));
  append_member(members, "str_data", record.str);
  return info;
}

Json spectrum(const EqData& reply) {
  const std::vector<double>& counts = reply.reals();
  Json bins = Json::object();
  // Up to the last filled bin: past it every bin is 0 and written as nothing.
  const std::size_t used = exposition::used_length(counts, reply.used_bound());
  // Room for every member at once, rather than growing (and moving the
  // keys) five or six times.
  auto& members = bins.get_ref<Json::object_t&>();
  members.reserve(static_cast<std::size_t>(
      std::count_if(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(used),
                    [](double count) { return count != 0.0; })));
  char key[24];
  for (std::size_t i = 0; i < used; ++i) {
    if (counts[i] == 0.0) continue;
    char* end = std::to_chars(key, key + sizeof key, i).ptr;
    append_member(members, std::string(key, end), count_number(counts[i]));
  }
  Json value = Json::object();
  value["bins"] = std::move(bins);
  return value;
}

Json integer(const EqData& reply, int index) {
  const long long value = reply.get_long(index);
  if (EqData::kind_of(reply.type()) == EqData::Kind::unsigned_int) {
    return static_cast<std::uint64_t>(value);
  }
  return static_cast<std::int64_t>(value);
}

// The numbers of a reply that holds numbers: one, or an array of them.
Json numbers(const EqData& reply, EqData::Kind kind) {
  const int type = reply.type();
  // A float is written by its nine digits, a double as it is.
  const bool single = type == DATA_FLOAT || type == DATA_A_FLOAT;
  if (!EqData::is_array(type)) {
    if (reply.length() == 0) return nullptr;
    if (kind != EqData::Kind::real) return integer(reply, 0);
    return single ? float_number(reply.get_float()) : double_number(reply.get_double());
  }
  Json values = Json::array();
  if (kind != EqData::Kind::real) {
    for (int i = 0; i < reply.length(); ++i) values.push_back(integer(reply, i));
  } else if (single) {
    for (double value : reply.reals()) values.push_back(float_number(static_cast<float>(value)));
  } else {
    for (double value : reply.reals()) values.push_back(double_number(value));
  }
  return values;
}

}  // namespace

Json reply_json(const EqData& reply) {
  switch (reply.type()) {
    case DATA_STRING:
      return reply.get_string();
    case DATA_USTR: {
      if (reply.length() == 1) return ustr_element(*reply.get_ustr(0));
      Json records = Json::array();
      for (int i = 0; i < reply.length(); ++i) records.push_back(ustr_element(*reply.get_ustr(i)));
      return records;
    }
    case DATA_SPECTRUM:
      return spectrum(reply);
    case DATA_IIII: {
      Json values = Json::array();
      for (int i = 0; i < 4; ++i) values.push_back(static_cast<std::int64_t>(reply.get_long(i)));
      return values;
    }
    default:
      break;
  }
  const EqData::Kind kind = EqData::kind_of(reply.type());
  if (kind == EqData::Kind::none) return nullptr;
  return numbers(reply, kind);
}

namespace {

Json properties_with(EqFct& location, EqData& out) {
  Json properties = Json::object();
  std::vector<std::string> names = location.property_names();
  properties.get_ref<Json::object_t&>().reserve(names.size());
  EqData in;
  for (std::string& name : names) {
    in.reset();
    out.reset();
    location.remote_get(name, &in, &out);
    if (out.error() != 0) continue;
    // The name becomes the key: it is not needed after this read.
    properties[std::move(name)] = reply_json(out);
  }
  Json document = Json::object();
  document["properties"] = std::move(properties);
  return document;
}

}  // namespace

Json properties_json(EqFct& location) {
  // One reply for every read of this thread's answers: a spectrum lands in
  // the storage the previous one left (with its zero tail, which is then
  // not written again), so a thread allocates it once.
  thread_local EqData kept;
  thread_local bool busy = false;
  if (busy) {
    // A property that writes this document from inside its own read: a
    // reply of its own, so the outer answer's stays as it is.
    EqData nested;
    return properties_with(location, nested);
  }
  busy = true;
  struct Release {
    bool& busy;
    ~Release() { busy = false; }
  } release{busy};
  return properties_with(location, kept);
}

std::string json_text(const Json& document) {
  // Each invalid sequence becomes U+FFFD: valid UTF-8 passes unchanged,
  // nothing throws, and the reader still sees that something stood there
  // ("ignore" would drop it).
  std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
  text += '\n';
  return text;
}

}  // namespace daqnet
