#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "D_value.h"
#include "d_hist.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "eq_fct.h"
#include "gtest/gtest.h"
#include "log_capture.h"

namespace quelmar {
namespace {

template <typename T>
constexpr int kTypeCode = std::is_same_v<T, int> ? DATA_INT : DATA_FLOAT;

EqData long_array(const std::vector<long long>& values) {
  EqData data;
  data.set_int_array(DATA_A_LONG, values);
  return data;
}

template <typename T>
class ValueRemoteTest : public ::testing::Test {
 protected:
  // A property whose buffer holds 10 (event 1, 100.000000 s), 20 (event 2,
  // 200.000500 s) and 30 (event 3, 300 s), and whose current value, 40,
  // was stored without an event id.
  ValueRemoteTest() : buffered_("P.BUF buffered", nullptr, 8) {
    buffered_.set_value(T(10), std::int64_t{1}, time_t{100}, 0);
    buffered_.set_value(T(20), std::int64_t{2}, time_t{200}, 500);
    buffered_.set_value(T(30), std::int64_t{3}, time_t{300}, 0);
    buffered_.set_value(T(40));
  }

  // The value a get replies with; a reply with an error fails the test.
  static T get(D_value<T>& prop, EqData request) {
    EqData reply;
    prop.get(nullptr, &request, &reply, nullptr);
    EXPECT_EQ(reply.error(), 0) << reply.error_text();
    return reply.get_value<T>();
  }

  D_value<T> buffered_;
};

using ValueTypes = ::testing::Types<int, float>;
// Names the typed tests by value type ("Int", "Float").
struct TypeNames {
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, int> ? "Int" : "Float";
  }
};
TYPED_TEST_SUITE(ValueRemoteTest, ValueTypes, TypeNames);

TYPED_TEST(ValueRemoteTest, WithoutBufferEveryRequestReadsTheCurrentValue) {
  D_value<TypeParam> prop("P.PLAIN plain", nullptr, 0);
  prop.set_value(TypeParam(5));
  std::vector<EqData> requests(10);
  for (int n = 0; n <= 4; ++n) requests[n] = long_array(std::vector<long long>(n, 2));
  requests[5].set(7LL);
  requests[6].set_iiii(1, 2, 3, 4);
  requests[7].set(2);
  requests[8].set("text");
  // requests[9] stays empty (type 0).
  for (EqData& request : requests) {
    EqData reply;
    prop.get(nullptr, &request, &reply, nullptr);
    EXPECT_EQ(reply.error(), 0) << request.type();
    EXPECT_EQ(reply.type(), kTypeCode<TypeParam>);
    EXPECT_EQ(reply.get_value<TypeParam>(), TypeParam(5));
  }
}

TYPED_TEST(ValueRemoteTest, RequestTypesSelectBufferEntries) {
  auto& prop = this->buffered_;
  // Array of 64-bit integers by length: event id, then time.
  EXPECT_EQ(this->get(prop, long_array({2})), TypeParam(20));
  EXPECT_EQ(this->get(prop, long_array({0, 250})), TypeParam(20));
  EXPECT_EQ(this->get(prop, long_array({0, 200, 500})), TypeParam(20));
  // Only the low 32 bits of the microseconds count.
  EXPECT_EQ(this->get(prop, long_array({0, 200, (1LL << 32) + 499})), TypeParam(10));
  // Lengths 0 and 4 select event id -1, which the buffer reads as newest.
  EXPECT_EQ(this->get(prop, long_array({})), TypeParam(30));
  EXPECT_EQ(this->get(prop, long_array({1, 0, 0, 0})), TypeParam(30));

  EqData request;
  request.set(2LL);  // type 26
  EXPECT_EQ(this->get(prop, request), TypeParam(20));
  request.set_iiii(1, 0, 0, 0);  // type 14: event id, seconds, microseconds
  EXPECT_EQ(this->get(prop, request), TypeParam(10));
  request.set_iiii(0, 200, 499, 9);
  EXPECT_EQ(this->get(prop, request), TypeParam(10));
  request.set(2);  // type 1
  EXPECT_EQ(this->get(prop, request), TypeParam(20));
  request.set("1");  // unrecognised: event id -1
  EXPECT_EQ(this->get(prop, request), TypeParam(30));
}

TYPED_TEST(ValueRemoteTest, FailedLookupIsAnsweredWithTheHostError) {
  EqData request = long_array({99});
  EqData reply;
  this->buffered_.get(nullptr, &request, &reply, nullptr);
  EXPECT_EQ(reply.error(), no_data);
  EXPECT_EQ(reply.error_text(), get_error_string(no_data));

  D_value<TypeParam> empty("P.EMPTY empty", nullptr, 4);
  EqData reply2;
  empty.get(nullptr, &request, &reply2, nullptr);
  EXPECT_EQ(reply2.error(), buffer_empty);
  EXPECT_EQ(reply2.error_text(), get_error_string(buffer_empty));
  EXPECT_EQ(empty.value(), TypeParam(0));
}

TYPED_TEST(ValueRemoteTest, ValueBySelectorFallsBackToCurrent) {
  auto& prop = this->buffered_;
  EXPECT_EQ(prop.value(2, 0, 0), TypeParam(20));
  EXPECT_EQ(prop.value(0, 150, 0), TypeParam(10));
  EXPECT_EQ(prop.value(99, 0, 0), TypeParam(40));
  D_value<TypeParam> plain("P.PLAIN plain", nullptr, 0);
  plain.set_value(TypeParam(6));
  EXPECT_EQ(plain.value(1, 0, 0), TypeParam(6));
}

TYPED_TEST(ValueRemoteTest, MultiReadElementsFromTheBuffer) {
  auto& prop = this->buffered_;
  time_t tm = 1234;
  EqData reply;
  auto element = [&](EqData request, int idx, const char* location) {
    prop.get_multi(nullptr, &request, &reply, &idx, location, &tm);
    const EqData::UstrElement* e = reply.get_ustr(idx);
    EXPECT_NE(e, nullptr);
    return e != nullptr ? *e : EqData::UstrElement{};
  };

  const auto found = element(long_array({2}), 1, "LOC");
  if constexpr (std::is_same_v<TypeParam, int>) {
    EXPECT_EQ(found.i1, 20);
  } else {
    EXPECT_EQ(found.i1, 0);
  }
  EXPECT_EQ(found.f1, 20.0f);
  EXPECT_EQ(found.f2, 20.0f);
  EXPECT_EQ(found.tm, 1234);
  EXPECT_EQ(found.str, "LOC");

  // Lengths 0 and 4 select event id 0 at time 0: the newest entry.
  EXPECT_EQ(element(long_array({}), 0, "LOC").f1, 30.0f);
  EXPECT_EQ(element(long_array({1, 0, 0, 0}), 0, "LOC").f1, 30.0f);
  EXPECT_EQ(element(long_array({0, 150}), 0, nullptr).str, "");

  const auto missing = element(long_array({99}), 2, "LOC");
  EXPECT_EQ(missing.i1, 2147483647);
  std::uint32_t bits1 = 0;
  std::uint32_t bits2 = 0;
  std::memcpy(&bits1, &missing.f1, sizeof bits1);
  std::memcpy(&bits2, &missing.f2, sizeof bits2);
  EXPECT_EQ(bits1, 0x7FC00000u);
  EXPECT_EQ(bits2, 0x7FC00000u);
  EXPECT_EQ(reply.error(), 0);
}

TYPED_TEST(ValueRemoteTest, MultiReadOfOtherRequestsIsLeftToTheBase) {
  // Without a buffer a lookup fails, so only the base answers with the value.
  D_value<TypeParam> prop("P.PLAIN plain", nullptr, 0);
  prop.set_value(TypeParam(2.5));
  time_t tm = 1;
  int idx = 0;
  EqData request;
  request.set(1);
  EqData reply;
  prop.get_multi(nullptr, &request, &reply, &idx, "LOC", &tm);
  ASSERT_NE(reply.get_ustr(0), nullptr);
  EXPECT_EQ(reply.get_ustr(0)->i1, 2);  // the base truncates a float
  EXPECT_EQ(reply.get_ustr(0)->f1, static_cast<float>(TypeParam(2.5)));

  EqData array = long_array({});
  prop.get_multi(nullptr, &array, &reply, &idx, "LOC", &tm);
  EXPECT_EQ(reply.get_ustr(0)->i1, 2147483647);
}

TYPED_TEST(ValueRemoteTest, MultiReadWithoutRequestIsAnsweredAsAnEmptyOne) {
  // The base reads the value through get, which must not see the null.
  D_value<TypeParam> prop("P.PLAIN plain", nullptr, 0);
  prop.set_value(TypeParam(7));
  time_t tm = 1;
  int idx = 0;
  EqData reply;
  prop.get_multi(nullptr, nullptr, &reply, &idx, "LOC", &tm);
  ASSERT_NE(reply.get_ustr(0), nullptr);
  EXPECT_EQ(reply.get_ustr(0)->i1, 7);
  EXPECT_EQ(reply.get_ustr(0)->str, "LOC");
}

TEST(ValueSetTest, ErroneousInputIsRefusedUnchangedAndUnlogged) {
  testing::LogCapture log;
  D_value<int> prop("P.VALUE value", nullptr, 0);
  prop.set_logging(true);
  prop.set_value(4);
  EqData in;
  in.set("abc");
  in.error(3, "broken");
  EqData out;
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(out.error(), ill_parameter);
  EXPECT_EQ(out.error_text(), "Cannot assign erroneous input data: abc");
  EXPECT_EQ(prop.value(), 4);
  EXPECT_TRUE(log.lines().empty());
}

TEST(ValueSetTest, InputIsConvertedToTheValueType) {
  D_value<int> ints("P.I value", nullptr, 0);
  D_value<float> floats("P.F value", nullptr, 0);
  EqData in;
  EqData out;
  auto write_int = [&](auto&& fill) {
    fill(in);
    ints.set(nullptr, &in, &out, nullptr);
    return ints.value();
  };
  EXPECT_EQ(write_int([](EqData& d) { d.set(3.9f); }), 3);
  EXPECT_EQ(write_int([](EqData& d) { d.set(-3.9f); }), -3);
  EXPECT_EQ(write_int([](EqData& d) { d.set((1LL << 32) + 1); }), 1);
  EXPECT_EQ(write_int([](EqData& d) { d.set(9); }), 9);
  EXPECT_EQ(write_int([](EqData& d) { d.set("12"); }), 0);

  in.set(0.25);
  floats.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(floats.value(), 0.25f);
  in.set(7);
  floats.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(floats.value(), 7.0f);
  in.set("x");
  floats.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(floats.value(), 0.0f);
  EXPECT_EQ(out.error(), 0);
}

TEST(ValueSetTest, ChangeLogLineFollowsLoggingAndLocation) {
  testing::LogCapture log;
  D_value<int> ints("P.I value", nullptr, 0);
  D_value<float> floats("P.F value", nullptr, 0);
  EqData in;
  EqData out;

  ints.set_value(10);
  in.set(0);
  ints.set(nullptr, &in, &out, nullptr);  // logging is off
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(ints.value(), 0);

  ints.set_logging(true);
  ints.set_value(10);
  ints.set(nullptr, &in, &out, nullptr);
  ints.set(nullptr, &in, &out, nullptr);  // unchanged, still logged
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].source, "D_value");
  EXPECT_EQ(log.lines()[0].text, "P.I changed from 10 to 0");
  EXPECT_EQ(log.lines()[0].flags, 0x80000000u);
  EXPECT_EQ(log.lines()[1].text, "P.I changed from 0 to 0");

  floats.set_logging(true);
  floats.set_value(1.5f);
  in.set(0.25f);
  floats.set(nullptr, &in, &out, nullptr);
  ASSERT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(log.lines()[2].text, "P.F changed from 1.500000e+00 to 2.500000e-01");

  EqFct location("LOC");
  EqFct::set_caller("alice", "ws1");
  in.set(3);
  ints.set(nullptr, &in, &out, &location);
  ASSERT_EQ(log.lines().size(), 4u);
  EXPECT_EQ(log.lines()[3].source, get_location_name(location));
  EXPECT_EQ(log.lines()[3].text, "P.I changed from 0 to 3 by " + get_user_and_host(location));
}

// Records what the remote write stores instead of storing it.
class RecordingValue : public D_value<int> {
 public:
  RecordingValue() : D_value<int>("P.R value", nullptr, 0) {}
  void set_value(int val) override { stored.push_back(val); }
  using D_value<int>::set_value;
  std::vector<int> stored;
};

TEST(ValueSetTest, StoresThroughTheVirtualSetValue) {
  RecordingValue prop;
  EqData in;
  in.set(17);
  EqData out;
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(prop.stored, std::vector<int>{17});
  EXPECT_EQ(prop.value(), 0);
}

TEST(ValueSetTest, ArchiverFaultPropagatesAfterStoreAndLog) {
  testing::LogCapture log;
  D_value<int> prop("P.I value", nullptr, 0);
  prop.set_history(std::make_unique<D_hist>("P.H history", nullptr, DATA_FLOAT));
  prop.set_logging(true);
  EqData in;
  in.set(5);
  EqData out;
  EXPECT_THROW(prop.set(nullptr, &in, &out, nullptr), Error);
  EXPECT_EQ(prop.value(), 5);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ValueConcurrencyTest, ReadsDuringStoresSeeStoredValues) {
  D_value<int> prop("P.I value", nullptr, 0);
  constexpr int kStores = 2000;
  std::thread writer([&] {
    for (int i = 1; i <= kStores; ++i) prop.set_value(i);
  });
  int last = 0;
  bool monotonic = true;
  EqData request;
  while (last < kStores) {
    EqData reply;
    prop.get(nullptr, &request, &reply, nullptr);
    const int seen = reply.get_int();
    monotonic = monotonic && seen >= last && seen <= kStores;
    last = seen;
  }
  writer.join();
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(prop.value(), kStores);
}

}  // namespace
}  // namespace quelmar
