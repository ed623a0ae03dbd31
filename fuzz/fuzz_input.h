#ifndef FUZZ_FUZZ_INPUT_H_
#define FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "eq_data.h"
#include "quelmar_types.h"

// Aborts with the failed condition, so that libFuzzer keeps the input that
// broke an invariant; the harnesses use it for every check.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace daqevstat::fuzz {

// Drops log lines and standard output for the whole run: the statistics'
// negative-lost-events line and the log would flood the fuzzer's own log.
inline void silence_output_once() {
  static const bool silenced = [] {
    quelmar::set_log_sink([](const std::string&, const std::string&, unsigned int) {});
    return std::freopen("/dev/null", "w", stdout) != nullptr;
  }();
  (void)silenced;
}

// Takes typed values off the front of a fuzz input. Reads past the end give
// zeros, so a harness never has to check how much is left before it asks;
// it stops when empty() says so.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  std::uint8_t u8() { return empty() ? 0 : data_[pos_++]; }
  bool flag() { return (u8() & 1) != 0; }

  template <typename T>
  T take() {
    static_assert(std::is_trivially_copyable_v<T>, "raw bytes only fill plain types");
    unsigned char bytes[sizeof(T)] = {};
    const std::size_t n = remaining() < sizeof(T) ? remaining() : sizeof(T);
    if (n != 0) std::memcpy(bytes, data_ + pos_, n);
    pos_ += n;
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

  // A value in [0, bound); 0 for a bound of 0.
  std::uint32_t below(std::uint32_t bound) {
    return bound == 0 ? 0 : take<std::uint32_t>() % bound;
  }

  // A text of up to `max` bytes, any byte value included.
  std::string text(std::size_t max) {
    std::size_t n = u8();
    if (n > max) n = max;
    if (n > remaining()) n = remaining();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  // Whatever is left.
  std::string rest() {
    std::string out;
    if (!empty()) out.assign(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return out;
  }

  // Integers that find boundary bugs more often than uniform bytes do: the
  // extremes of every width, small values, or raw bits.
  long long interesting_int() {
    switch (u8() % 8) {
      case 0:
        return std::numeric_limits<long long>::min();
      case 1:
        return std::numeric_limits<long long>::max();
      case 2:
        return std::numeric_limits<int>::min() + static_cast<long long>(u8() % 3) - 1;
      case 3:
        return std::numeric_limits<int>::max() + static_cast<long long>(u8() % 3) - 1;
      case 4:
        return static_cast<long long>(std::numeric_limits<std::uint32_t>::max()) + (u8() % 3) - 1;
      case 5:
        return static_cast<std::int8_t>(u8());
      default:
        return take<long long>();
    }
  }

  // Doubles with NaN, both infinities, extremes and subnormals over-represented.
  double interesting_real() {
    switch (u8() % 10) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return std::numeric_limits<double>::infinity();
      case 2:
        return -std::numeric_limits<double>::infinity();
      case 3:
        return std::numeric_limits<double>::max();
      case 4:
        return std::numeric_limits<double>::lowest();
      case 5:
        return std::numeric_limits<double>::denorm_min();
      case 6:
        return static_cast<double>(std::numeric_limits<float>::max()) * (1.0 + u8() / 64.0);
      case 7:
        return static_cast<double>(static_cast<std::int8_t>(u8())) / 4.0;
      default:
        return take<double>();
    }
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Type codes a request may carry: every code the host knows, and a few it
// does not.
inline constexpr int kTypeCodes[] = {DATA_NULL,
                                     DATA_INT,
                                     DATA_FLOAT,
                                     DATA_STRING,
                                     DATA_BOOL,
                                     DATA_DOUBLE,
                                     DATA_USTR,
                                     DATA_IIII,
                                     DATA_SPECTRUM,
                                     DATA_SHORT,
                                     DATA_LONG,
                                     DATA_USHORT,
                                     DATA_UINT,
                                     DATA_ULONG,
                                     DATA_A_FLOAT,
                                     DATA_A_FLAGS,
                                     DATA_A_DOUBLE,
                                     DATA_A_INT,
                                     DATA_A_SHORT,
                                     DATA_A_LONG,
                                     DATA_A_USHORT,
                                     DATA_A_UINT,
                                     DATA_A_ULONG,
                                     5,
                                     8,
                                     99,
                                     -1,
                                     0x7fffffff};

// Builds a request container from the input: any type code, any length up to
// `max_length`, extreme and non-finite values, sometimes an error mark.
inline void fill_request(FuzzInput& in, EqData& data, std::size_t max_length = 8) {
  const std::uint8_t choice = in.u8();
  const int type = (choice & 0x80) != 0 ? in.take<int>()
                                        : kTypeCodes[choice % (sizeof kTypeCodes / sizeof(int))];
  const std::size_t length = in.u8() % (max_length + 1);
  switch (type) {
    case DATA_INT:
      data.set(static_cast<int>(in.interesting_int()));
      break;
    case DATA_FLOAT:
      data.set(static_cast<float>(in.interesting_real()));
      break;
    case DATA_DOUBLE:
      data.set(in.interesting_real());
      break;
    case DATA_STRING:
      data.set(in.text(64));
      break;
    case DATA_BOOL:
      data.set_bool(in.flag());
      break;
    case DATA_SHORT:
      data.set_short(static_cast<std::int16_t>(in.interesting_int()));
      break;
    case DATA_LONG:
      data.set(in.interesting_int());
      break;
    case DATA_USHORT:
      data.set_ushort(static_cast<std::uint16_t>(in.interesting_int()));
      break;
    case DATA_UINT:
      data.set_uint(static_cast<std::uint32_t>(in.interesting_int()));
      break;
    case DATA_ULONG:
      data.set_ulong(static_cast<std::uint64_t>(in.interesting_int()));
      break;
    case DATA_IIII:
      data.set_iiii(static_cast<int>(in.interesting_int()), static_cast<int>(in.interesting_int()),
                    static_cast<int>(in.interesting_int()), static_cast<int>(in.interesting_int()));
      break;
    case DATA_USTR:
      for (std::size_t i = 0; i < length; ++i) {
        data.set(static_cast<int>(in.interesting_int()), static_cast<float>(in.interesting_real()),
                 static_cast<float>(in.interesting_real()),
                 static_cast<time_t>(in.interesting_int()), in.text(32), static_cast<int>(i));
      }
      break;
    case DATA_SPECTRUM: {
      std::vector<double> bins(length);
      for (double& bin : bins) bin = in.interesting_real();
      data.set_spectrum(bins, static_cast<float>(in.interesting_real()),
                        static_cast<float>(in.interesting_real()),
                        static_cast<time_t>(in.interesting_int()));
      break;
    }
    case DATA_A_FLOAT:
    case DATA_A_DOUBLE: {
      std::vector<double> values(length);
      for (double& value : values) value = in.interesting_real();
      data.set_float_array(type, values);
      break;
    }
    case DATA_A_FLAGS:
    case DATA_A_INT:
    case DATA_A_SHORT:
    case DATA_A_LONG:
    case DATA_A_USHORT:
    case DATA_A_UINT:
    case DATA_A_ULONG: {
      std::vector<long long> values(length);
      for (long long& value : values) value = in.interesting_int();
      data.set_int_array(type, values);
      break;
    }
    default:
      data.set_type(type);
      break;
  }
  if ((choice & 0x40) != 0) data.error(in.take<int>(), in.text(32));
}

}  // namespace daqevstat::fuzz

#endif  // FUZZ_FUZZ_INPUT_H_
