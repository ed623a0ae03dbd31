#include "eq_data.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

// Reduces an integer to the element type of an integer code; unsigned
// element types keep their value zero-extended (64-bit ones their bit
// pattern).
std::int64_t reduce_int(int type, long long value) {
  switch (type) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_A_FLAGS:
    case DATA_A_INT:
    case DATA_IIII:
      return static_cast<std::int32_t>(value);
    case DATA_SHORT:
    case DATA_A_SHORT:
      return static_cast<std::int16_t>(value);
    case DATA_USHORT:
    case DATA_A_USHORT:
      return static_cast<std::uint16_t>(value);
    case DATA_UINT:
    case DATA_A_UINT:
      return static_cast<std::uint32_t>(value);
    default:
      return value;
  }
}

// Reads a run of atomic bins as plain values, each on its own.
struct RelaxedReader {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = double;
  using difference_type = std::ptrdiff_t;
  using pointer = const double*;
  using reference = double;

  const std::atomic<double>* at;

  double operator*() const { return at->load(std::memory_order_relaxed); }
  RelaxedReader& operator++() {
    ++at;
    return *this;
  }
  RelaxedReader operator++(int) { return RelaxedReader{at++}; }
  RelaxedReader& operator--() {
    --at;
    return *this;
  }
  RelaxedReader& operator+=(difference_type n) {
    at += n;
    return *this;
  }
  RelaxedReader operator+(difference_type n) const { return RelaxedReader{at + n}; }
  difference_type operator-(const RelaxedReader& other) const { return at - other.at; }
  bool operator==(const RelaxedReader& other) const { return at == other.at; }
  bool operator!=(const RelaxedReader& other) const { return at != other.at; }
};

// The bits of one bin, read relaxed.
std::uint64_t bits_of(const std::atomic<double>& bin) {
  const double value = bin.load(std::memory_order_relaxed);
  std::uint64_t out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

std::string format_real(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

void append_separated(std::string& out, const std::string& item) {
  if (!out.empty()) out.push_back(' ');
  out.append(item);
}

}  // namespace

EqData::Kind EqData::kind_of(int type) {
  switch (type) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_SHORT:
    case DATA_LONG:
    case DATA_A_FLAGS:
    case DATA_A_INT:
    case DATA_A_SHORT:
    case DATA_A_LONG:
      return Kind::signed_int;
    case DATA_USHORT:
    case DATA_UINT:
    case DATA_ULONG:
    case DATA_A_USHORT:
    case DATA_A_UINT:
    case DATA_A_ULONG:
      return Kind::unsigned_int;
    case DATA_FLOAT:
    case DATA_DOUBLE:
    case DATA_A_FLOAT:
    case DATA_A_DOUBLE:
      return Kind::real;
    default:
      return Kind::none;
  }
}

bool EqData::is_array(int type) {
  switch (type) {
    case DATA_A_FLOAT:
    case DATA_A_FLAGS:
    case DATA_A_DOUBLE:
    case DATA_A_INT:
    case DATA_A_SHORT:
    case DATA_A_LONG:
    case DATA_A_USHORT:
    case DATA_A_UINT:
    case DATA_A_ULONG:
      return true;
    default:
      return false;
  }
}

int EqData::length() const {
  switch (type_) {
    case DATA_NULL:
      return 0;
    case DATA_STRING:
    case DATA_IIII:  // one record of four integers
      return 1;
    case DATA_USTR:
      return static_cast<int>(ustrs_.size());
    case DATA_SPECTRUM:
      return static_cast<int>(reals_.size());
    default:
      break;
  }
  switch (kind_of(type_)) {
    case Kind::signed_int:
    case Kind::unsigned_int:
      return static_cast<int>(ints_.size());
    case Kind::real:
      return static_cast<int>(reals_.size());
    case Kind::none:
      break;
  }
  return 0;
}

void EqData::init() {
  keep_spectrum_bins();
  SpareBins spare = std::move(spare_);
  *this = EqData();
  spare_ = std::move(spare);
}

void EqData::keep_spectrum_bins() {
  if (type_ != DATA_SPECTRUM) return;
  spare_.zero_from = used_bound();
  spare_.bins = std::move(reals_);
  reals_.clear();
}

void EqData::reset() {
  keep_spectrum_bins();
  type_ = DATA_NULL;
  ints_.clear();
  reals_.clear();
  used_bound_ = static_cast<std::size_t>(-1);
  text_.clear();
  ustrs_.clear();
  spectrum_start_ = 0.0f;
  spectrum_increment_ = 0.0f;
  spectrum_time_ = 0;
  error_code_ = 0;
  error_text_.clear();
}

// Every write that changes what the container holds starts from an empty one
// of the new type, so no element of an earlier type survives.
void EqData::set(int value) {
  init();
  type_ = DATA_INT;
  ints_.push_back(value);
}

void EqData::set(float value) {
  init();
  type_ = DATA_FLOAT;
  reals_.push_back(value);
}

void EqData::set(double value) {
  init();
  type_ = DATA_DOUBLE;
  reals_.push_back(value);
}

void EqData::set(long long value) {
  init();
  type_ = DATA_LONG;
  ints_.push_back(value);
}

void EqData::set(const std::string& text) {
  init();
  type_ = DATA_STRING;
  text_ = text;
}

void EqData::set(const char* text) { set(std::string(text != nullptr ? text : "")); }

void EqData::set_bool(bool value) {
  init();
  type_ = DATA_BOOL;
  ints_.push_back(value ? 1 : 0);
}

void EqData::set_short(std::int16_t value) {
  init();
  type_ = DATA_SHORT;
  ints_.push_back(value);
}

void EqData::set_ushort(std::uint16_t value) {
  init();
  type_ = DATA_USHORT;
  ints_.push_back(value);
}

void EqData::set_uint(std::uint32_t value) {
  init();
  type_ = DATA_UINT;
  ints_.push_back(value);
}

void EqData::set_ulong(std::uint64_t value) {
  init();
  type_ = DATA_ULONG;
  ints_.push_back(static_cast<std::int64_t>(value));
}

void EqData::set_iiii(int i1, int i2, int i3, int i4) {
  init();
  type_ = DATA_IIII;
  ints_ = {i1, i2, i3, i4};
}

void EqData::set(int value, int index) {
  if (index < 0) return;
  if (type_ != DATA_A_INT) {
    if (index == 0) {
      set(value);
      return;
    }
    // An int scalar becomes element 0 of the array.
    std::vector<std::int64_t> kept;
    if (type_ == DATA_INT) kept = ints_;
    const int error_code = error_code_;
    std::string error_text = error_text_;
    init();
    type_ = DATA_A_INT;
    ints_ = std::move(kept);
    error_code_ = error_code;
    error_text_ = std::move(error_text);
  }
  if (ints_.size() <= static_cast<std::size_t>(index)) ints_.resize(index + 1u, 0);
  ints_[index] = value;
}

void EqData::set(float value, int index) {
  if (index < 0) return;
  if (type_ != DATA_A_FLOAT) {
    if (index == 0) {
      set(value);
      return;
    }
    std::vector<double> kept;
    if (type_ == DATA_FLOAT) kept = reals_;
    const int error_code = error_code_;
    std::string error_text = error_text_;
    init();
    type_ = DATA_A_FLOAT;
    reals_ = std::move(kept);
    error_code_ = error_code;
    error_text_ = std::move(error_text);
  }
  if (reals_.size() <= static_cast<std::size_t>(index)) reals_.resize(index + 1u, 0.0);
  reals_[index] = value;
}

void EqData::set(int i1, float f1, float f2, time_t tm, const std::string& text, int index) {
  if (index < 0) return;
  if (type_ != DATA_USTR) {
    const int error_code = error_code_;
    std::string error_text = error_text_;
    init();
    type_ = DATA_USTR;
    error_code_ = error_code;
    error_text_ = std::move(error_text);
  }
  if (ustrs_.size() <= static_cast<std::size_t>(index)) ustrs_.resize(index + 1u);
  UstrElement& element = ustrs_[index];
  element.i1 = i1;
  element.f1 = f1;
  element.f2 = f2;
  element.tm = tm;
  element.str = text;
}

void EqData::set(const USTR& record, int index) {
  // str_data_len counts the terminating zero; never read past it, even when
  // the zero is missing.
  std::string text;
  const char* chars = record.str_data.str_data_val;
  if (chars != nullptr && record.str_data.str_data_len > 0) {
    text.assign(chars, strnlen(chars, record.str_data.str_data_len - 1));
  }
  set(record.i1_data, record.f1_data, record.f2_data, record.tm, text, index);
}

void EqData::set_int_array(int type, const std::vector<long long>& values) {
  init();
  if (!is_array(type) || kind_of(type) == Kind::real || kind_of(type) == Kind::none) return;
  type_ = type;
  ints_.reserve(values.size());
  for (long long value : values) ints_.push_back(reduce_int(type, value));
}

void EqData::set_float_array(int type, const std::vector<double>& values) {
  init();
  if (type != DATA_A_FLOAT && type != DATA_A_DOUBLE) return;
  type_ = type;
  reals_.reserve(values.size());
  for (double value : values) {
    reals_.push_back(type == DATA_A_FLOAT ? static_cast<double>(from_real<float>(value)) : value);
  }
}

void EqData::set_spectrum(const std::vector<double>& bins, float start, float increment,
                          time_t tm) {
  init();
  type_ = DATA_SPECTRUM;
  reals_ = bins;
  spectrum_start_ = start;
  spectrum_increment_ = increment;
  spectrum_time_ = tm;
}

void EqData::set_spectrum(const std::atomic<double>* bins, std::size_t length, float start,
                          float increment, time_t tm, std::size_t filled_bound) {
  // Bins of an earlier spectrum of this length, held or set aside, whose
  // zero tail is known: only what lies below it and below this copy's own
  // bound needs writing.
  keep_spectrum_bins();
  std::vector<double> storage;
  std::size_t zero_from = 0;
  if (spare_.bins.size() == length) {
    storage = std::move(spare_.bins);
    zero_from = spare_.zero_from;
  } else {
    // Any other storage of reals serves as well, but is written whole.
    storage = std::move(reals_);
    storage.clear();
  }
  spare_.bins.clear();
  init();
  type_ = DATA_SPECTRUM;
  // A distribution is mostly an empty tail: that tail is found with loads
  // alone (eight bins a step, from the top), only the bins below it are
  // copied one by one, and the tail is written as a block of zeros where
  // the storage does not hold them already. A bin of the tail was read
  // once, relaxed, as +0.0 (its bits are tested, so a stored -0.0 is copied
  // as it is); the bins below are read in the copy.
  std::size_t used = std::min(length, filled_bound);
  while (used >= 8 && (bits_of(bins[used - 1]) | bits_of(bins[used - 2]) | bits_of(bins[used - 3]) |
                       bits_of(bins[used - 4]) | bits_of(bins[used - 5]) | bits_of(bins[used - 6]) |
                       bits_of(bins[used - 7]) | bits_of(bins[used - 8])) == 0) {
    used -= 8;
  }
  while (used > 0 && bits_of(bins[used - 1]) == 0) --used;
  if (storage.empty()) {
    storage.reserve(length);
    storage.assign(RelaxedReader{bins}, RelaxedReader{bins + used});
    storage.resize(length);  // value-initialised: 0.0, one memset
  } else {
    std::copy(RelaxedReader{bins}, RelaxedReader{bins + used}, storage.begin());
    if (zero_from > used) {
      std::fill(storage.begin() + static_cast<std::ptrdiff_t>(used),
                storage.begin() + static_cast<std::ptrdiff_t>(zero_from), 0.0);
    }
  }
  reals_ = std::move(storage);
  used_bound_ = used;
  spectrum_start_ = start;
  spectrum_increment_ = increment;
  spectrum_time_ = tm;
}

void EqData::set_type(int type) {
  init();
  type_ = type;
}

long long EqData::get_long(int index) const {
  if (index < 0) return 0;
  const auto at = static_cast<std::size_t>(index);
  const Kind kind = kind_of(type_);
  if (kind == Kind::signed_int || kind == Kind::unsigned_int || type_ == DATA_IIII) {
    return at < ints_.size() ? ints_[at] : 0;
  }
  if (kind == Kind::real) return at < reals_.size() ? from_real<long long>(reals_[at]) : 0;
  return 0;
}

int EqData::get_int(int index) const {
  if (index < 0) return 0;
  const auto at = static_cast<std::size_t>(index);
  if (kind_of(type_) == Kind::real) return at < reals_.size() ? from_real<int>(reals_[at]) : 0;
  return static_cast<int>(get_long(index));
}

float EqData::get_float(int index) const {
  if (index < 0) return 0.0f;
  const auto at = static_cast<std::size_t>(index);
  switch (kind_of(type_)) {
    case Kind::signed_int:
      return at < ints_.size() ? static_cast<float>(ints_[at]) : 0.0f;
    case Kind::unsigned_int:
      return at < ints_.size() ? static_cast<float>(static_cast<std::uint64_t>(ints_[at])) : 0.0f;
    case Kind::real:
      return at < reals_.size() ? from_real<float>(reals_[at]) : 0.0f;
    case Kind::none:
      break;
  }
  if (type_ == DATA_IIII && at < ints_.size()) return static_cast<float>(ints_[at]);
  return 0.0f;
}

std::string EqData::get_string() const {
  std::string out;
  if (type_ == DATA_STRING) return text_;
  if (type_ == DATA_USTR) {
    for (const UstrElement& element : ustrs_) {
      std::string item = std::to_string(element.i1) + ' ' + format_real(element.f1) + ' ' +
                         format_real(element.f2) + ' ' + std::to_string(element.tm) + ' ' +
                         element.str;
      append_separated(out, item);
    }
    return out;
  }
  if (type_ == DATA_SPECTRUM) {
    for (double bin : reals_) append_separated(out, format_real(bin));
    return out;
  }
  switch (kind_of(type_)) {
    case Kind::signed_int:
      for (std::int64_t value : ints_) append_separated(out, std::to_string(value));
      break;
    case Kind::unsigned_int:
      for (std::int64_t value : ints_) {
        append_separated(out, std::to_string(static_cast<std::uint64_t>(value)));
      }
      break;
    case Kind::real:
      for (double value : reals_) append_separated(out, format_real(value));
      break;
    case Kind::none:
      if (type_ == DATA_IIII) {
        for (std::int64_t value : ints_) append_separated(out, std::to_string(value));
      }
      break;
  }
  return out;
}

const EqData::UstrElement* EqData::get_ustr(int index) const {
  if (type_ != DATA_USTR || index < 0 || static_cast<std::size_t>(index) >= ustrs_.size()) {
    return nullptr;
  }
  return &ustrs_[static_cast<std::size_t>(index)];
}

void EqData::error(int code, const std::string& text) {
  error_code_ = code;
  error_text_ = text;
}
