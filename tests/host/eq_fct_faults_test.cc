// Remote calls that fail in unusual ways: exceptions of every kind, reply
// containers reused after an error, and multi-read indexes that would make
// the reply huge.

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "d_fct.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"

namespace {

// A property whose remote calls run a hook; get answers an int, set
// answers nothing at all (as a plain value property does).
class HookProp : public D_fct {
 public:
  HookProp(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

  void get(EqAdr*, EqData*, EqData* out, EqFct*) override {
    if (hook) hook();
    out->set(7);
  }
  void set(EqAdr*, EqData*, EqData*, EqFct*) override {
    if (hook) hook();
  }
  int data_type() const override { return DATA_INT; }

  std::function<void()> hook;
};

class EqFctFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { location_.add_property(&prop_, 0); }
  void TearDown() override { location_.rem_property(&prop_); }

  EqFct location_{"LOC"};
  HookProp prop_{"P.X hooked", &location_};
};

TEST_F(EqFctFaultsTest, NoExceptionLeavesARemoteCall) {
  struct NotAnException {};
  const std::function<void()> throwers[] = {
      [] { throw std::bad_alloc(); },
      [] { throw NotAnException(); },
      [] { throw 42; },
  };
  for (const auto& thrower : throwers) {
    prop_.hook = thrower;
    EqData in;
    EqData out;
    EXPECT_NO_THROW(location_.remote_get("P.X", &in, &out));
    EXPECT_EQ(internal_error, out.error());
    out.init();
    EXPECT_NO_THROW(location_.remote_set("P.X", &in, &out));
    EXPECT_EQ(internal_error, out.error());
    out.init();
    EXPECT_NO_THROW(location_.remote_get_multi("P.X", &in, &out, 0, 0));
    EXPECT_EQ(internal_error, out.error());
  }
  prop_.hook = [] { throw std::bad_alloc(); };
  EqData out;
  location_.remote_get("P.X", nullptr, &out);
  EXPECT_EQ(std::bad_alloc().what(), out.error_text());
  // The location is still usable and nothing is counted as running: the
  // property can be removed without waiting.
  prop_.hook = nullptr;
  out.init();
  location_.remote_get("P.X", nullptr, &out);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ(7, out.get_int());
}

TEST_F(EqFctFaultsTest, AReusedReplyCarriesNoStaleErrorMark) {
  EqData in;
  in.set(3);
  EqData out;
  location_.remote_get("NOPE", &in, &out);
  ASSERT_EQ(unknown_property, out.error());
  // set answers nothing: the mark left by the failed call must go all the
  // same.
  location_.remote_set("P.X", &in, &out);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ("", out.error_text());

  location_.remote_get("NOPE", &in, &out);
  location_.remote_get("P.X", &in, &out);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ(7, out.get_int());

  // A multi-read keeps the elements collected so far, only the mark goes.
  EqData multi;
  location_.remote_get_multi("P.X", &in, &multi, 0, 0);
  location_.remote_get_multi("NOPE", &in, &multi, 1, 0);
  EXPECT_EQ(unknown_property, multi.error());
  location_.remote_get_multi("P.X", &in, &multi, 2, 0);
  EXPECT_EQ(0, multi.error());
  ASSERT_EQ(3, multi.length());
  EXPECT_EQ(7, multi.get_ustr(0)->i1);
  EXPECT_EQ(7, multi.get_ustr(2)->i1);

  // When the reply is also the request, its mark is the request's and is
  // left to the property.
  EqData both;
  both.set(1);
  both.error(ill_parameter, "bad request");
  location_.remote_set("P.X", &both, &both);
  EXPECT_EQ(ill_parameter, both.error());
}

TEST_F(EqFctFaultsTest, MultiReadIndexIsBounded) {
  EqData in;
  EqData out;
  location_.remote_get_multi("P.X", &in, &out, EqFct::kMaxMultiIndex, 0);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ(EqFct::kMaxMultiIndex + 1, out.length());

  bool reached = false;
  prop_.hook = [&reached] { reached = true; };
  for (int idx : {EqFct::kMaxMultiIndex + 1, 1 << 30, 2147483647}) {
    EqData big;
    location_.remote_get_multi("P.X", &in, &big, idx, 0);
    EXPECT_EQ(out_of_range, big.error()) << idx;
    EXPECT_EQ(0, big.length()) << idx;
  }
  EXPECT_FALSE(reached);
  // Also for a name that does not exist: the bound is checked first.
  EqData unknown;
  location_.remote_get_multi("NOPE", &in, &unknown, 2147483647, 0);
  EXPECT_EQ(out_of_range, unknown.error());
}

}  // namespace
