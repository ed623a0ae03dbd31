#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "D_value.h"
#include "d_hist.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "gtest/gtest.h"

namespace quelmar {
namespace {

template <typename T>
constexpr int kTypeCode = std::is_same_v<T, int> ? DATA_INT : DATA_FLOAT;

template <typename T>
class ValueStoreTest : public ::testing::Test {
 protected:
  // A property with a buffer of `nbuf` slots and a history of its own type;
  // hist() points into it.
  std::unique_ptr<D_value<T>> make(u_int nbuf, bool with_history, int hist_type = kTypeCode<T>) {
    auto prop = std::make_unique<D_value<T>>("P.VALUE a test value", nullptr, nbuf);
    if (with_history) {
      prop->set_history(std::make_unique<D_hist>("P.HIST history", nullptr, hist_type));
    }
    return prop;
  }

  static D_hist& hist(D_value<T>& prop) { return *prop.get_histPointer(); }

  // The buffered value under `evid`, or the lookup's error code.
  static int buffered(const D_value<T>& prop, long evid, T* out) {
    EqData data;
    const int code = prop.get_buf_value(&data, evid, 0, 0);
    if (code == 0) *out = data.get_value<T>();
    return code;
  }
};

using ValueTypes = ::testing::Types<int, float>;
// Names the typed tests by value type ("Int", "Float").
struct TypeNames {
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, int> ? "Int" : "Float";
  }
};
TYPED_TEST_SUITE(ValueStoreTest, ValueTypes, TypeNames);

TYPED_TEST(ValueStoreTest, PlainStoreStampsNowWithoutEventId) {
  auto prop = this->make(0, false);
  EXPECT_EQ(prop->data_type(), kTypeCode<TypeParam>);
  EXPECT_EQ(prop->value(), TypeParam{0});

  prop->set_value(TypeParam(5));
  EXPECT_EQ(prop->value(), TypeParam(5));
  EXPECT_EQ(prop->get_value(), TypeParam(5));
  EXPECT_EQ(prop->get_event_id(), 0);
  EXPECT_NE(prop->get_timestamp(), 0);  // laundered to the current time

  // With a buffer but without an event id nothing is buffered.
  auto with_buffer = this->make(4, false);
  with_buffer->set_value(TypeParam(5));
  TypeParam out{};
  EXPECT_EQ(this->buffered(*with_buffer, 0, &out), buffer_empty);
}

TYPED_TEST(ValueStoreTest, EventStoreSplitsTimeForHistoryAndBuffer) {
  auto prop = this->make(4, true);
  prop->set_value(TypeParam(7), std::int64_t{42}, time_t{1700000000}, 123456);

  EXPECT_EQ(prop->value(), TypeParam(7));
  EXPECT_EQ(prop->get_event_id(), 42);
  EXPECT_EQ(prop->get_timestamp(), Timestamp{1700000000123456000});

  const auto samples = this->hist(*prop).samples();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].value, 7.0);
  EXPECT_EQ(samples[0].status, sts_ok);
  EXPECT_EQ(samples[0].sec, 1700000000u);
  EXPECT_EQ(samples[0].msec, 123u);  // truncated, not rounded

  TypeParam out{};
  ASSERT_EQ(this->buffered(*prop, 42, &out), 0);
  EXPECT_EQ(out, TypeParam(7));
  // The entry keeps the microseconds: it is at (s, u) but not before.
  EqData data;
  EXPECT_EQ(prop->get_buf_value(&data, 0, 1700000000, 123456), 0);
  EXPECT_NE(prop->get_buf_value(&data, 0, 1700000000, 123455), 0);
}

TYPED_TEST(ValueStoreTest, FullStorePassesStatusAndSplitsNegativeTimeTowardZero) {
  auto prop = this->make(0, true);
  // -1.5 s: seconds -1, microseconds -500000, milliseconds -500, each
  // handed to the history as an unsigned 32-bit number.
  prop->set_value(TypeParam(3), Timestamp{-1500000000}, EventId{9}, sts_warning);
  EXPECT_EQ(prop->get_timestamp(), -1500000000);
  EXPECT_EQ(prop->get_event_id(), 9);
  const auto samples = this->hist(*prop).samples();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].status, sts_warning);
  EXPECT_EQ(samples[0].sec, static_cast<unsigned int>(-1));
  EXPECT_EQ(samples[0].msec, static_cast<unsigned int>(-500));
}

TYPED_TEST(ValueStoreTest, TimeBeyondTimestampRangeWraps) {
  auto prop = this->make(0, false);
  const time_t sec = std::numeric_limits<time_t>::max() / 1000;
  prop->set_value(TypeParam(1), std::int64_t{1}, sec, 999999);
  const std::uint64_t expected = (static_cast<std::uint64_t>(sec) * 1000000u + 999999u) * 1000u;
  EXPECT_EQ(prop->get_timestamp(), static_cast<Timestamp>(expected));
  EXPECT_EQ(prop->value(), TypeParam(1));
}

TYPED_TEST(ValueStoreTest, ArchiverTypeFaultThrowsAfterStoringOnEveryOverload) {
  const std::string message = "Archiving failed with wrong archiver data type";
  auto prop = this->make(4, true);
  this->hist(*prop).fail_with(wrong_archiver_type);

  auto check = [&](auto&& store, TypeParam val, EventId evid) {
    try {
      store();
      ADD_FAILURE() << "no exception for " << val;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), message);
      EXPECT_EQ(e.get_message(), message);
    }
    EXPECT_EQ(prop->value(), val);
    EXPECT_EQ(prop->get_event_id(), evid);
    TypeParam out{};
    EXPECT_NE(this->buffered(*prop, evid == 0 ? -1 : evid, &out), 0);
  };
  check([&] { prop->set_value(TypeParam(11)); }, TypeParam(11), 0);
  check([&] { prop->set_value(TypeParam(12), std::int64_t{5}, time_t{100}, 0); }, TypeParam(12), 5);
  check([&] { prop->set_value(TypeParam(13), Timestamp{1}, EventId{6}, sts_ok); }, TypeParam(13),
        6);

  // A history made for the other type reports the same fault by itself.
  auto mismatched = this->make(0, true, kTypeCode<TypeParam> == DATA_INT ? DATA_FLOAT : DATA_INT);
  EXPECT_THROW(mismatched->set_value(TypeParam(2)), Error);
  EXPECT_EQ(mismatched->value(), TypeParam(2));
}

TYPED_TEST(ValueStoreTest, OtherArchiverCodesAreIgnored) {
  for (int code : {1, 125, 127, -1}) {
    auto prop = this->make(4, true);
    this->hist(*prop).fail_with(code);
    EXPECT_NO_THROW(prop->set_value(TypeParam(8), std::int64_t{3}, time_t{10}, 0)) << code;
    TypeParam out{};
    EXPECT_EQ(this->buffered(*prop, 3, &out), 0) << code;
    EXPECT_EQ(out, TypeParam(8));
    EXPECT_EQ(prop->try_archive(TypeParam(8), 1, 0, sts_ok), code);
  }
  auto without = this->make(0, false);
  EXPECT_EQ(without->try_archive(TypeParam(8), 1, 0, sts_ok), 0);
}

TEST(ValueStoreFloatTest, NanAndInfinityAreStoredUnchanged) {
  D_value<float> prop("P.F value", nullptr, 0);
  prop.set_value(std::numeric_limits<float>::infinity());
  EXPECT_EQ(prop.value(), std::numeric_limits<float>::infinity());
  prop.set_value(-std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(prop.value()));
  EXPECT_TRUE(std::signbit(prop.get_value()));
}

// Counts its destructions in a counter that outlives it.
class CountingHist : public D_hist {
 public:
  explicit CountingHist(int* destroyed)
      : D_hist("P.HIST h", nullptr, DATA_INT), destroyed_(destroyed) {}
  ~CountingHist() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(ValueOwnershipTest, HistoryIsDeletedExactlyOnce) {
  int destroyed = 0;
  {
    D_value<int> prop("P.I value", nullptr, 0);
    prop.set_history(std::make_unique<CountingHist>(&destroyed));
    prop.set_value(1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);

  // Replacing a history releases the old one.
  destroyed = 0;
  {
    D_value<int> prop("P.I value", nullptr, 0);
    prop.set_history(std::make_unique<CountingHist>(&destroyed));
    prop.set_history(std::make_unique<CountingHist>(&destroyed));
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
}

TEST(ErrorTest, CarriesItsMessageThroughCopiesAndBaseCatches) {
  const Error original(std::string("archive full"));
  Error copy = original;
  EXPECT_EQ(copy.get_message(), "archive full");
  try {
    throw Error("broken");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "broken");
    EXPECT_EQ(dynamic_cast<const Error&>(e).get_message(), "broken");
  }
}

}  // namespace
}  // namespace quelmar
