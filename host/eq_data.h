#ifndef HOST_EQ_DATA_H_
#define HOST_EQ_DATA_H_

#include <sys/types.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "host_export.h"

// Type codes of an EqData.
enum EqDataType : int {
  DATA_NULL = 0,
  DATA_INT = 1,        // 32-bit signed integer
  DATA_FLOAT = 2,      // 32-bit float
  DATA_STRING = 3,     // text
  DATA_BOOL = 4,       // 32-bit signed integer used as a flag
  DATA_DOUBLE = 6,     // 64-bit double
  DATA_USTR = 7,       // one or more universal-string elements
  DATA_IIII = 14,      // four 32-bit signed integers
  DATA_SPECTRUM = 19,  // spectrum: bins with start, increment and time
  DATA_SHORT = 25,     // 16-bit signed integer
  DATA_LONG = 26,      // 64-bit signed integer
  DATA_USHORT = 27,    // 16-bit unsigned integer
  DATA_UINT = 28,      // 32-bit unsigned integer
  DATA_ULONG = 29,     // 64-bit unsigned integer
  DATA_A_FLOAT = 100,  // array of 32-bit floats
  DATA_A_FLAGS = 105,  // array of 32-bit signed integers (flag words)
  DATA_A_DOUBLE = 110,
  DATA_A_INT = 111,
  DATA_A_SHORT = 113,
  DATA_A_LONG = 114,
  DATA_A_USHORT = 116,
  DATA_A_UINT = 117,
  DATA_A_ULONG = 118,
};

// The host's universal-string record: an integer, two floats, a time and a
// text. A USTR does not own its text; whoever hands one over keeps
// str_data_val alive for the call.
struct USTR {
  int i1_data;
  float f1_data;
  float f2_data;
  time_t tm;
  struct {
    u_int str_data_len;  // length of the text including its terminating zero
    char* str_data_val;
  } str_data;
};

// Address of a remote call: the location and the property it names.
struct EqAdr {
  std::string location;
  std::string property;
};

// The typed container of a remote get or set.
//
// An EqData holds a type code and its elements. Integer types keep their
// elements as 64-bit values (unsigned ones as their bit pattern), float and
// double types as doubles, a text as a string, universal strings as records
// that own their text. It also carries an error code with a text.
//
// Not thread-safe: one EqData belongs to one call at a time.
class HOST_EXPORT EqData {
 public:
  // One universal-string element; owns its text.
  struct UstrElement {
    int i1 = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    time_t tm = 0;
    std::string str;
  };

  EqData() = default;
  EqData(const EqData&) = default;
  EqData& operator=(const EqData&) = default;
  ~EqData() = default;

  int type() const { return type_; }
  // Number of elements: 1 for a scalar, 0 for DATA_NULL, the text length is
  // not counted (a text has length 1), DATA_IIII is one record (length 1),
  // a spectrum counts its bins, a code without elements gives 0.
  int length() const;

  // Empties the container: DATA_NULL, no elements, no error. The bins of a
  // spectrum it held are kept aside (see reset()).
  void init();
  // The same, but the container keeps the storage it has for its elements:
  // for a caller that uses one container for the same calls again and again.
  // A spectrum's bins are kept aside whole, with the index from which they
  // are known to be 0, so that the next set_spectrum from atomic bins of the
  // same length writes only the bins below that index and below its own
  // used_bound (see there) instead of all of them. Nothing kept aside is
  // visible: reals() is empty, and a copy of the container does not take it.
  void reset();

  // --- Writing -----------------------------------------------------------
  // Each scalar set makes the container a scalar of that type and clears the
  // error.
  void set(int value);                            // DATA_INT
  void set(float value);                          // DATA_FLOAT
  void set(double value);                         // DATA_DOUBLE
  void set(long long value);                      // DATA_LONG
  void set(const std::string& text);              // DATA_STRING
  void set(const char* text);                     // DATA_STRING; null gives ""
  void set_bool(bool value);                      // DATA_BOOL
  void set_short(std::int16_t value);             // DATA_SHORT
  void set_ushort(std::uint16_t value);           // DATA_USHORT
  void set_uint(std::uint32_t value);             // DATA_UINT
  void set_ulong(std::uint64_t value);            // DATA_ULONG
  void set_iiii(int i1, int i2, int i3, int i4);  // DATA_IIII

  // A value at an index: index 0 gives the scalar of the type; a larger
  // index turns the container into the array of that type (DATA_A_INT,
  // DATA_A_FLOAT) and grows it to index + 1 elements, new ones 0. A scalar
  // of the same type becomes element 0; once the container is that array,
  // index 0 writes its first element. These element writes keep an error
  // mark. A negative index changes nothing.
  void set(int value, int index);
  void set(float value, int index);

  // Universal-string element at an index (DATA_USTR); the container grows
  // to index + 1 elements and keeps its own copy of the text. The record's
  // text is read up to its first zero or str_data_len - 1 characters,
  // whichever comes first; a null text or a length of 0 gives "". Like the
  // indexed sets above, these keep an error mark and ignore a negative index.
  void set(int i1, float f1, float f2, time_t tm, const std::string& text, int index);
  void set(const USTR& record, int index);

  // Arrays of any integer array code (DATA_A_FLAGS, DATA_A_INT, DATA_A_SHORT,
  // DATA_A_LONG, DATA_A_USHORT, DATA_A_UINT, DATA_A_ULONG) or of a float
  // array code (DATA_A_FLOAT, DATA_A_DOUBLE). Values are reduced to the
  // element type of the code. A code of the wrong kind gives DATA_NULL.
  void set_int_array(int type, const std::vector<long long>& values);
  void set_float_array(int type, const std::vector<double>& values);

  // A spectrum: bins, x start and increment, time in seconds.
  void set_spectrum(const std::vector<double>& bins, float start, float increment, time_t tm);
  // The same from bins that writers may fill while they are copied: each
  // bin is read on its own (relaxed). The container keeps the storage it
  // already has, so a reply used again for a spectrum of the same size
  // allocates nothing; with the bins of such a spectrum held or set aside
  // (see reset()), only the bins below the higher of the two zero tails
  // are written. A writer that knows every bin from `filled_bound` on to be
  // 0 says so, and those bins are not read at all.
  void set_spectrum(const std::atomic<double>* bins, std::size_t length, float start,
                    float increment, time_t tm,
                    std::size_t filled_bound = static_cast<std::size_t>(-1));

  // Any type code with no elements, for tests of unknown codes.
  void set_type(int type);

  // --- Reading -----------------------------------------------------------
  // The first element converted by the table below; 0 for other types.
  //   1, 4: int32   2: float   6: double   25: int16   26: int64
  //   27: uint16    28: uint32 29: uint64
  //   100, 110: first float/double element
  //   105, 111, 113, 114, 116, 117, 118: first integer element
  // Integers wider than T keep their low bits; unsigned 64-bit values round
  // to the nearest float. Floating values convert to an integer T truncated
  // toward zero and saturated at T's range; NaN gives 0. A double beyond
  // float's range gives the largest float or infinity, as IEEE 754 rounds.
  template <typename T>
  T get_value() const;

  int get_int() const { return get_value<int>(); }
  long long get_long() const { return get_value<long long>(); }
  float get_float() const { return get_value<float>(); }
  double get_double() const { return get_value<double>(); }

  // Element `index` of an integer type (scalar, DATA_IIII or integer array)
  // as a 64-bit or 32-bit integer (low bits; an unsigned 64-bit element as
  // its bit pattern). Float types give the element converted like
  // get_value; other types and an index out of range, negative ones
  // included, give 0.
  long long get_long(int index) const;
  int get_int(int index) const;
  float get_float(int index) const;

  // The content rendered as text: a number in decimal (floats and doubles
  // with %g), a text as itself, elements separated by blanks (DATA_IIII's
  // four integers, a spectrum's bins), a universal string as
  // "i1 f1 f2 tm text"; "" for DATA_NULL and codes without elements.
  std::string get_string() const;

  // Universal-string element `index`, or null when there is none.
  const UstrElement* get_ustr(int index = 0) const;

  // Spectrum content (DATA_SPECTRUM) and float arrays.
  const std::vector<double>& reals() const { return reals_; }
  float spectrum_start() const { return spectrum_start_; }
  float spectrum_increment() const { return spectrum_increment_; }
  time_t spectrum_time() const { return spectrum_time_; }
  // An index at or above the last bin of reals() that is not +0.0: every
  // element from it on is +0.0. For a spectrum set from atomic bins, the
  // bound its copy found (the top bins read as +0.0 were not copied but
  // written as 0); for anything else, reals().size(). A reader that skips
  // the empty tail starts there instead of testing every element again.
  std::size_t used_bound() const {
    return used_bound_ < reals_.size() ? used_bound_ : reals_.size();
  }

  // --- Error -------------------------------------------------------------
  // Marks the container as failed; the elements stay as they were. A scalar
  // set, an array set, set_spectrum, set_type and init clear the mark.
  void error(int code, const std::string& text);
  int error() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }

  // --- Type codes ---------------------------------------------------------
  // What the elements of a type code are: signed or unsigned integers, reals,
  // or none of these (text, records, spectra, ...); and whether the code is
  // one of the array types. Writers of replies use these rather than lists
  // of codes of their own.
  enum class Kind { none, signed_int, unsigned_int, real };
  static Kind kind_of(int type);
  static bool is_array(int type);

 private:
  template <typename T>
  static T from_real(double value);

  int type_ = DATA_NULL;
  std::vector<std::int64_t> ints_;  // integer types; unsigned as bit pattern
  std::vector<double> reals_;       // float, double and spectrum types
  std::string text_;                // DATA_STRING
  std::vector<UstrElement> ustrs_;  // DATA_USTR
  float spectrum_start_ = 0.0f;
  float spectrum_increment_ = 0.0f;
  time_t spectrum_time_ = 0;
  // Only set_spectrum from atomic bins lowers it below reals_.size().
  std::size_t used_bound_ = static_cast<std::size_t>(-1);
  int error_code_ = 0;
  std::string error_text_;

  // The bins of an earlier spectrum, every one from zero_from on 0.0. Not
  // part of the value: a copy starts without them, a move takes them along.
  struct SpareBins {
    std::vector<double> bins;
    std::size_t zero_from = 0;
    SpareBins() = default;
    SpareBins(const SpareBins&) {}
    SpareBins(SpareBins&&) noexcept = default;
    SpareBins& operator=(const SpareBins&) { return *this; }
    SpareBins& operator=(SpareBins&&) noexcept = default;
    ~SpareBins() = default;
  };
  // Sets spare_ aside from a spectrum held now.
  void keep_spectrum_bins();
  SpareBins spare_;
};

template <typename T>
T EqData::from_real(double value) {
  if constexpr (std::is_integral_v<T>) {
    // A plain cast of NaN or of an out-of-range value is undefined: saturate.
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<T>::max())) {
      return std::numeric_limits<T>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<T>::min())) {
      return std::numeric_limits<T>::min();
    }
    return static_cast<T>(value);
  } else if constexpr (std::is_same_v<T, float>) {
    // Narrowing a double beyond float's range is undefined too: round as
    // IEEE 754 does, to the largest float or to infinity.
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(value) || std::fabs(value) <= kMax) return static_cast<float>(value);
    // Half a unit in the last place above the largest float rounds to infinity.
    constexpr double kHalfUlp = 10141204801825835211973625643008.0;  // 2^103
    const float limit = std::fabs(value) < kMax + kHalfUlp ? std::numeric_limits<float>::max()
                                                           : std::numeric_limits<float>::infinity();
    return value < 0 ? -limit : limit;
  } else {
    return static_cast<T>(value);
  }
}

template <typename T>
T EqData::get_value() const {
  static_assert(std::is_same_v<T, int> || std::is_same_v<T, long long> ||
                    std::is_same_v<T, float> || std::is_same_v<T, double>,
                "get_value supports int, long long, float and double");
  switch (kind_of(type_)) {
    case Kind::signed_int:
      return ints_.empty() ? T{0} : static_cast<T>(ints_.front());
    case Kind::unsigned_int:
      return ints_.empty() ? T{0} : static_cast<T>(static_cast<std::uint64_t>(ints_.front()));
    case Kind::real:
      return reals_.empty() ? T{0} : from_real<T>(reals_.front());
    case Kind::none:
      break;
  }
  return T{0};
}

#endif  // HOST_EQ_DATA_H_
