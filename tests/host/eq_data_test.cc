#include "eq_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "D_spectrum.h"
#include "eq_errors.h"

namespace {

struct ConversionCase {
  const char* label;
  std::function<void(EqData&)> fill;
  int as_int;
  long long as_long;
  float as_float;
};

constexpr std::uint64_t kUlongMax = std::numeric_limits<std::uint64_t>::max();
constexpr long long kTwoPow40Plus5 = (1LL << 40) + 5;

TEST(EqDataTest, FirstElementConvertsByTypeCode) {
  const std::vector<ConversionCase> cases = {
      {"1 int", [](EqData& d) { d.set(-7); }, -7, -7, -7.0f},
      {"4 bool", [](EqData& d) { d.set_bool(true); }, 1, 1, 1.0f},
      {"2 float", [](EqData& d) { d.set(2.5f); }, 2, 2, 2.5f},
      {"6 double", [](EqData& d) { d.set(-2.75); }, -2, -2, -2.75f},
      {"25 short", [](EqData& d) { d.set_short(-3); }, -3, -3, -3.0f},
      {"26 long", [](EqData& d) { d.set(kTwoPow40Plus5); }, 5, kTwoPow40Plus5,
       static_cast<float>(kTwoPow40Plus5)},
      {"27 ushort", [](EqData& d) { d.set_ushort(65535); }, 65535, 65535, 65535.0f},
      {"28 uint", [](EqData& d) { d.set_uint(4294967295u); }, -1, 4294967295LL, 4294967296.0f},
      {"29 ulong", [](EqData& d) { d.set_ulong(kUlongMax); }, -1, -1, 18446744073709551616.0f},
      {"100 float array",
       [](EqData& d) {
         d.set_float_array(DATA_A_FLOAT, {1.5, 9.0});
       },
       1, 1, 1.5f},
      {"105 flags array",
       [](EqData& d) {
         d.set_int_array(DATA_A_FLAGS, {-2, 9});
       },
       -2, -2, -2.0f},
      {"110 double array",
       [](EqData& d) {
         d.set_float_array(DATA_A_DOUBLE, {-8.5, 1.0});
       },
       -8, -8, -8.5f},
      {"111 int array",
       [](EqData& d) {
         d.set_int_array(DATA_A_INT, {12, 9});
       },
       12, 12, 12.0f},
      {"113 short array", [](EqData& d) { d.set_int_array(DATA_A_SHORT, {70000}); }, 4464, 4464,
       4464.0f},
      {"114 long array", [](EqData& d) { d.set_int_array(DATA_A_LONG, {(1LL << 32) + 1}); }, 1,
       (1LL << 32) + 1, 4294967296.0f},
      {"116 ushort array", [](EqData& d) { d.set_int_array(DATA_A_USHORT, {-1}); }, 65535, 65535,
       65535.0f},
      {"117 uint array", [](EqData& d) { d.set_int_array(DATA_A_UINT, {-1}); }, -1, 4294967295LL,
       4294967296.0f},
      {"118 ulong array", [](EqData& d) { d.set_int_array(DATA_A_ULONG, {-1}); }, -1, -1,
       18446744073709551616.0f},
      // No element for any other code.
      {"0 null", [](EqData& d) { d.init(); }, 0, 0, 0.0f},
      {"3 string", [](EqData& d) { d.set("123"); }, 0, 0, 0.0f},
      {"7 ustr", [](EqData& d) { d.set(5, 1.5f, 2.5f, 0, "x", 0); }, 0, 0, 0.0f},
      {"14 iiii", [](EqData& d) { d.set_iiii(1, 2, 3, 4); }, 0, 0, 0.0f},
      {"19 spectrum",
       [](EqData& d) {
         d.set_spectrum({3.0, 4.0}, 0.0f, 1.0f, 0);
       },
       0, 0, 0.0f},
      {"unknown 12345", [](EqData& d) { d.set_type(12345); }, 0, 0, 0.0f},
      {"unknown -1", [](EqData& d) { d.set_type(-1); }, 0, 0, 0.0f},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.label);
    EqData data;
    c.fill(data);
    EXPECT_EQ(c.as_int, data.get_value<int>());
    EXPECT_EQ(c.as_long, data.get_value<long long>());
    EXPECT_EQ(c.as_float, data.get_value<float>());
  }
}

TEST(EqDataTest, FloatingToIntegerTruncatesAndSaturates) {
  constexpr int kIntMax = std::numeric_limits<int>::max();
  constexpr int kIntMin = std::numeric_limits<int>::min();
  constexpr long long kLongMax = std::numeric_limits<long long>::max();
  constexpr long long kLongMin = std::numeric_limits<long long>::min();
  const double inf = std::numeric_limits<double>::infinity();
  EqData data;

  data.set(3.9f);
  EXPECT_EQ(3, data.get_value<int>());
  data.set(-3.9f);
  EXPECT_EQ(-3, data.get_value<int>());
  EXPECT_EQ(-3LL, data.get_value<long long>());

  data.set(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(0, data.get_value<int>());
  EXPECT_EQ(0LL, data.get_value<long long>());
  EXPECT_TRUE(std::isnan(data.get_value<float>()));

  data.set(inf);
  EXPECT_EQ(kIntMax, data.get_value<int>());
  EXPECT_EQ(kLongMax, data.get_value<long long>());
  data.set(-inf);
  EXPECT_EQ(kIntMin, data.get_value<int>());
  EXPECT_EQ(kLongMin, data.get_value<long long>());

  data.set(1e20f);
  EXPECT_EQ(kIntMax, data.get_value<int>());
  EXPECT_EQ(kLongMax, data.get_value<long long>());
  data.set(-1e20);
  EXPECT_EQ(kIntMin, data.get_value<int>());
  EXPECT_EQ(kLongMin, data.get_value<long long>());

  // Just inside the range still converts exactly.
  data.set(2147483647.0);
  EXPECT_EQ(kIntMax, data.get_value<int>());
  data.set(-2147483648.9);
  EXPECT_EQ(kIntMin, data.get_value<int>());

  // The same rules hold for an element read by index.
  data.set_float_array(DATA_A_DOUBLE, {1e20, -3.9, std::nan("")});
  EXPECT_EQ(kIntMax, data.get_int(0));
  EXPECT_EQ(-3, data.get_int(1));
  EXPECT_EQ(0, data.get_int(2));
  EXPECT_EQ(0LL, data.get_long(2));
}

TEST(EqDataTest, DoubleBeyondFloatRangeRoundsLikeIeee) {
  const double max = std::numeric_limits<float>::max();
  const double half_ulp = std::ldexp(1.0, 103);
  const float inf = std::numeric_limits<float>::infinity();
  EqData data;

  data.set(max + half_ulp / 2);
  EXPECT_EQ(std::numeric_limits<float>::max(), data.get_value<float>());
  data.set(max + half_ulp);
  EXPECT_EQ(inf, data.get_value<float>());
  data.set(-1e300);
  EXPECT_EQ(-inf, data.get_value<float>());
  EXPECT_EQ(-inf, data.get_float(0));

  // A float array keeps its values as floats.
  data.set_float_array(DATA_A_FLOAT, {0.1, 1e300, -1e300});
  ASSERT_EQ(3, data.length());
  EXPECT_EQ(static_cast<double>(0.1f), data.reals()[0]);
  EXPECT_EQ(static_cast<double>(inf), data.reals()[1]);
  EXPECT_EQ(-static_cast<double>(inf), data.reals()[2]);
  // A double array keeps full precision.
  data.set_float_array(DATA_A_DOUBLE, {0.1});
  EXPECT_EQ(0.1, data.get_value<double>());
}

TEST(EqDataTest, ElementsByIndex) {
  EqData data;
  data.set_int_array(DATA_A_LONG, {10, 20, (1LL << 32) + 1});
  EXPECT_EQ(3, data.length());
  // Highest index first, as request decoding reads them.
  EXPECT_EQ((1LL << 32) + 1, data.get_long(2));
  EXPECT_EQ(1, data.get_int(2));
  EXPECT_EQ(20LL, data.get_long(1));
  EXPECT_EQ(10LL, data.get_long(0));
  EXPECT_EQ(0LL, data.get_long(3));
  EXPECT_EQ(0LL, data.get_long(-1));
  EXPECT_EQ(0, data.get_int(-5));
  EXPECT_EQ(20.0f, data.get_float(1));

  data.set_iiii(-1, 2, 3, 4);
  EXPECT_EQ(1, data.length());
  EXPECT_EQ(4, data.get_int(3));
  EXPECT_EQ(3, data.get_int(2));
  EXPECT_EQ(2, data.get_int(1));
  EXPECT_EQ(-1LL, data.get_long(0));
  EXPECT_EQ(0, data.get_int(4));

  // Element types are kept on store.
  data.set_int_array(DATA_A_SHORT, {70000, -40000});
  EXPECT_EQ(4464LL, data.get_long(0));
  EXPECT_EQ(25536LL, data.get_long(1));
  data.set_int_array(DATA_A_UINT, {-1, 4294967297LL});
  EXPECT_EQ(4294967295LL, data.get_long(0));
  EXPECT_EQ(1LL, data.get_long(1));

  // A code of the wrong kind gives an empty container.
  data.set_int_array(DATA_A_FLOAT, {1});
  EXPECT_EQ(DATA_NULL, data.type());
  data.set_int_array(DATA_INT, {1});
  EXPECT_EQ(DATA_NULL, data.type());
  data.set_float_array(DATA_A_INT, {1.0});
  EXPECT_EQ(DATA_NULL, data.type());
  EXPECT_EQ(0, data.length());
}

TEST(EqDataTest, IndexedSetGrowsIntoArray) {
  EqData data;
  data.set(7, 0);
  EXPECT_EQ(DATA_INT, data.type());
  EXPECT_EQ(1, data.length());

  data.set(8, 2);
  EXPECT_EQ(DATA_A_INT, data.type());
  ASSERT_EQ(3, data.length());
  EXPECT_EQ(7, data.get_int(0));
  EXPECT_EQ(0, data.get_int(1));
  EXPECT_EQ(8, data.get_int(2));
  data.set(9, 0);  // an element of the existing array, not a new scalar
  EXPECT_EQ(3, data.length());
  EXPECT_EQ(9, data.get_int(0));

  data.set(1.5f, 1);
  EXPECT_EQ(DATA_A_FLOAT, data.type());
  ASSERT_EQ(2, data.length());
  EXPECT_EQ(0.0f, data.get_float(0));
  EXPECT_EQ(1.5f, data.get_float(1));

  // A negative index changes nothing.
  data.set(4, -1);
  data.set(4.0f, -1);
  data.set(4, 1.0f, 1.0f, 0, "x", -1);
  EXPECT_EQ(DATA_A_FLOAT, data.type());
  EXPECT_EQ(2, data.length());
}

TEST(EqDataTest, UniversalStringElements) {
  EqData data;
  data.set(1, 2.5f, 3.5f, 100, "abc", 1);
  EXPECT_EQ(DATA_USTR, data.type());
  ASSERT_EQ(2, data.length());
  ASSERT_NE(nullptr, data.get_ustr(0));
  EXPECT_EQ("", data.get_ustr(0)->str);
  const EqData::UstrElement* element = data.get_ustr(1);
  ASSERT_NE(nullptr, element);
  EXPECT_EQ(1, element->i1);
  EXPECT_EQ(2.5f, element->f1);
  EXPECT_EQ(3.5f, element->f2);
  EXPECT_EQ(100, element->tm);
  EXPECT_EQ("abc", element->str);
  EXPECT_EQ(nullptr, data.get_ustr(2));
  EXPECT_EQ(nullptr, data.get_ustr(-1));

  // The container copies the text and reads no further than the stated length,
  // even without a terminating zero.
  char text[3] = {'x', 'y', 'z'};
  USTR record{};
  record.i1_data = 4;
  record.str_data.str_data_len = sizeof text;
  record.str_data.str_data_val = text;
  data.set(record, 0);
  text[0] = 'q';
  EXPECT_EQ("xy", data.get_ustr(0)->str);
  EXPECT_EQ(4, data.get_ustr(0)->i1);

  record.str_data.str_data_val = nullptr;
  data.set(record, 0);
  EXPECT_EQ("", data.get_ustr(0)->str);
  record.str_data.str_data_val = text;
  record.str_data.str_data_len = 0;
  data.set(record, 0);
  EXPECT_EQ("", data.get_ustr(0)->str);

  data.set(5);
  EXPECT_EQ(nullptr, data.get_ustr(0));
}

TEST(EqDataTest, RendersAsString) {
  EqData data;
  EXPECT_EQ("", data.get_string());
  data.set(42);
  EXPECT_EQ("42", data.get_string());
  data.set(2.5f);
  EXPECT_EQ("2.5", data.get_string());
  data.set("hello world");
  EXPECT_EQ("hello world", data.get_string());
  data.set(static_cast<const char*>(nullptr));
  EXPECT_EQ(DATA_STRING, data.type());
  EXPECT_EQ("", data.get_string());
  data.set_int_array(DATA_A_INT, {1, -2, 3});
  EXPECT_EQ("1 -2 3", data.get_string());
  data.set_ulong(kUlongMax);
  EXPECT_EQ("18446744073709551615", data.get_string());
  data.set_iiii(1, 2, 3, -4);
  EXPECT_EQ("1 2 3 -4", data.get_string());
  data.set(1, 2.5f, 3.5f, 100, "abc", 0);
  EXPECT_EQ("1 2.5 3.5 100 abc", data.get_string());
}

TEST(EqDataTest, ErrorMarksWithoutChangingElements) {
  EqData data;
  data.set(5);
  data.error(ill_parameter, "bad input");
  EXPECT_EQ(5, data.error());
  EXPECT_EQ("bad input", data.error_text());
  EXPECT_EQ(5, data.get_int());
  EXPECT_EQ(DATA_INT, data.type());

  // Element-wise building of a reply keeps the mark.
  data.set(1, 1.0f, 1.0f, 0, "x", 0);
  EXPECT_EQ(5, data.error());

  // A scalar set and init clear it.
  data.set(6);
  EXPECT_EQ(0, data.error());
  EXPECT_EQ("", data.error_text());
  data.error(7, "no data");
  data.init();
  EXPECT_EQ(0, data.error());
  EXPECT_EQ(DATA_NULL, data.type());
  EXPECT_EQ(0, data.length());
}

}  // namespace

// A container reused for call after call: what it holds must be what a new
// one would hold, while its storage stays.
TEST(EqDataTest, ReusedContainerHoldsWhatANewOneWould) {
  std::atomic<double> bins[3];
  bins[0] = 1.0;
  bins[1] = 0.0;
  bins[2] = 2.5;

  EqData reused;
  reused.set_spectrum(bins, 3, 0.5f, 2.0f, 77);
  EXPECT_EQ(DATA_SPECTRUM, reused.type());
  EXPECT_EQ((std::vector<double>{1.0, 0.0, 2.5}), reused.reals());
  EXPECT_EQ(0.5f, reused.spectrum_start());
  EXPECT_EQ(2.0f, reused.spectrum_increment());
  EXPECT_EQ(77, reused.spectrum_time());

  // reset: nothing left that a reader could see, an error mark included.
  reused.error(5, "failed");
  reused.reset();
  const EqData fresh;
  EXPECT_EQ(fresh.type(), reused.type());
  EXPECT_EQ(0, reused.length());
  EXPECT_TRUE(reused.reals().empty());
  EXPECT_EQ(0, reused.error());
  EXPECT_EQ("", reused.error_text());
  EXPECT_EQ("", reused.get_string());
  EXPECT_EQ(0.0f, reused.spectrum_start());

  // The next spectrum of that size lands in the same storage, and a
  // container that held something else becomes a spectrum and nothing more.
  bins[1] = 4.0;
  reused.set("text");
  reused.error(5, "failed");
  reused.set_spectrum(bins, 3, 0.0f, 1.0f, 0);
  EXPECT_EQ((std::vector<double>{1.0, 4.0, 2.5}), reused.reals());
  EXPECT_EQ(0, reused.error());
  EXPECT_EQ("1 4 2.5", reused.get_string());
  const double* storage = reused.reals().data();
  reused.reset();
  reused.set_spectrum(bins, 3, 0.0f, 1.0f, 0);
  EXPECT_EQ(storage, reused.reals().data());
  reused.set_spectrum(bins, 1, 0.0f, 1.0f, 0);
  EXPECT_EQ(1, reused.length());
}

// The copy from atomics skips an empty tail by blocks: whatever the length
// and wherever the last filled bin, the copy equals the bins bit for bit
// (a -0.0 is not an empty bin) and a longer earlier reply leaves nothing.
TEST(EqDataTest, SpectrumFromAtomicsEqualsItsBinsBitForBit) {
  struct Case {
    std::size_t length;
    std::size_t filled;  // index of the last filled bin; length: none
    double value;
  };
  const Case cases[] = {{0, 0, 1.0},    {1, 0, 1.0},  {1, 1, 1.0},   {4, 1, 1.0},
                        {5, 4, 2.0},    {7, 3, 3.0},  {8, 8, 1.0},   {9, 0, -0.0},
                        {13, 12, -0.0}, {16, 5, 0.5}, {17, 16, 1.0}, {64, 63, 7.0}};
  EqData reply;
  std::vector<double> longer(100, 9.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << ", filled " << c.filled);
    std::vector<std::atomic<double>> bins(c.length);
    std::vector<double> expected(c.length, 0.0);
    for (std::size_t i = 0; i < c.length; ++i) bins[i].store(0.0);
    if (c.filled < c.length) {
      bins[c.filled].store(c.value);
      expected[c.filled] = c.value;
      if (c.filled > 0) {
        bins[0].store(1.0);
        expected[0] = 1.0;
      }
    }
    reply.set_spectrum(longer, 0.0f, 1.0f, 0);
    reply.set_spectrum(bins.data(), c.length, 0.0f, 1.0f, 0);
    ASSERT_EQ(c.length, reply.reals().size());
    // memcmp must not be handed the null data of an empty vector.
    if (c.length > 0) {
      EXPECT_EQ(0, std::memcmp(expected.data(), reply.reals().data(), c.length * sizeof(double)));
    }
  }
}

namespace {

// One step of a distribution's life between two reads of it into the same
// reply, and what the reply goes through before the read.
enum class Between { nothing, reset, other_set, other_spectrum, copied };
struct SpectrumStep {
  const char* label;
  bool clear;
  std::vector<std::pair<int, double>> fills;
  Between between;
};

}  // namespace

// A reply read again and again keeps the bins of its spectrum aside with
// the index their zero tail starts at, and writes only what lies below it:
// whatever the reply went through between reads, and however the filled
// part grew or shrank, every read equals the bins bit for bit, and nothing
// at or past used_bound() is anything but +0.0.
TEST(EqDataTest, ReusedSpectrumReplyFollowsItsBinsAsTheyGrowAndShrink) {
  const SpectrumStep steps[] = {
      {"first read", false, {{3, 1.0}}, Between::nothing},
      {"the top bin filled", false, {{63, 2.0}}, Between::reset},
      {"cleared, low again", true, {{5, 1.0}}, Between::reset},
      {"-0.0 on top", false, {{63, -0.0}}, Between::nothing},
      {"NaN below the top", false, {{63, 0.0}, {62, std::nan("")}}, Between::other_set},
      {"cleared", true, {}, Between::reset},
      {"after a shorter one", false, {{0, 1.0}, {31, 4.0}}, Between::other_spectrum},
      {"in a copy", false, {{40, 6.0}}, Between::copied},
      {"shrunk under a copy", true, {{1, 2.0}}, Between::copied},
      {"bin 0 only", true, {{0, 5.0}}, Between::other_set},
  };
  D_spectrum spectrum("S.TD distribution", 64, nullptr, false);
  D_spectrum shorter("T.TD distribution", 40, nullptr, false);
  shorter.fill_spectrum(39, 1.0);
  EqData reply;
  for (const SpectrumStep& step : steps) {
    SCOPED_TRACE(step.label);
    if (step.clear) spectrum.clear_spectrum();
    for (const auto& [index, value] : step.fills) spectrum.fill_spectrum(index, value);
    switch (step.between) {
      case Between::nothing:
        break;
      case Between::reset:
        reply.reset();
        break;
      case Between::other_set:
        reply.set(7);
        break;
      case Between::other_spectrum:
        reply.reset();
        shorter.get(nullptr, nullptr, &reply, nullptr);
        ASSERT_EQ(40u, reply.reals().size());
        EXPECT_EQ(1.0, reply.reals()[39]);
        reply.reset();
        break;
      case Between::copied: {
        EqData copy = reply;
        copy.reset();
        reply = copy;
        break;
      }
    }
    spectrum.get(nullptr, nullptr, &reply, nullptr);
    const std::vector<double> expected = spectrum.bins();
    ASSERT_EQ(expected.size(), reply.reals().size());
    EXPECT_EQ(0, std::memcmp(expected.data(), reply.reals().data(), 64 * sizeof(double)));
    ASSERT_LE(reply.used_bound(), reply.reals().size());
    for (std::size_t i = reply.used_bound(); i < reply.reals().size(); ++i) {
      EXPECT_TRUE(reply.reals()[i] == 0.0 && !std::signbit(reply.reals()[i])) << "bin " << i;
    }
  }
}
