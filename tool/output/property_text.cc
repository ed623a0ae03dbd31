#include "tool/output/property_text.h"

#include <cstdio>
#include <string>
#include <vector>

namespace daqevstat::tool {
namespace {

std::string number_text(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

std::string spectrum_text(const EqData& reply) {
  const std::vector<double>& bins = reply.reals();
  double samples = 0.0;
  long first = -1;
  long last = -1;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins[i] == 0.0) continue;
    samples += bins[i];
    if (first < 0) first = static_cast<long>(i);
    last = static_cast<long>(i);
  }
  std::string text =
      "spectrum of " + std::to_string(bins.size()) + " bins, " + number_text(samples) + " samples";
  if (first >= 0) {
    text += ", bins " + std::to_string(first) + " to " + std::to_string(last) + " occupied";
  }
  return text;
}

}  // namespace

std::string reply_text(const EqData& reply) {
  if (reply.error() != 0) {
    return "error " + std::to_string(reply.error()) + ": " + reply.error_text();
  }
  if (!EqData::is_array(reply.type())) {
    switch (EqData::kind_of(reply.type())) {
      case EqData::Kind::signed_int:
      case EqData::Kind::unsigned_int:
        return std::to_string(reply.get_long());
      case EqData::Kind::real:
        return number_text(reply.get_double());
      case EqData::Kind::none:
        break;
    }
  }
  switch (reply.type()) {
    case DATA_NULL:
      return "(no data)";
    case DATA_STRING:
      return "\"" + reply.get_string() + "\"";
    case DATA_USTR: {
      const EqData::UstrElement* record = reply.get_ustr(0);
      if (record == nullptr) return "(empty record)";
      return "event " + std::to_string(record->i1) + ", count " + number_text(record->f1) +
             ", time " + std::to_string(static_cast<long long>(record->tm)) + " s + " +
             number_text(record->f2) + " ms, \"" + record->str + "\"";
    }
    case DATA_SPECTRUM:
      return spectrum_text(reply);
    default:
      return "(data type " + std::to_string(reply.type()) + ") " + reply.get_string();
  }
}

EqData remote_read(EqFct& location, const std::string& property) {
  EqData in;
  EqData out;
  location.remote_get(property, &in, &out);
  return out;
}

EqData remote_write(EqFct& location, const std::string& property, const EqData& value) {
  EqData in = value;
  EqData out;
  location.remote_set(property, &in, &out);
  return out;
}

}  // namespace daqevstat::tool
