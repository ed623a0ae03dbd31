#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "evutl.h"
#include "stat_fixture.h"
#include "support/many_objects.h"

namespace daqevstat {
namespace testing {
namespace {

using UpdateTest = StatTest;

TEST_F(UpdateTest, FirstEventAfterResetOnlyStartsTheStatistics) {
  auto& s = make_on();
  EXPECT_FALSE(event(100, kT0, 123456));
  EXPECT_EQ(1, s.get_total_events());
  EXPECT_EQ(1, total());
  EXPECT_EQ(0, lost());
  EXPECT_EQ(1.0, sum(s.event_latency_));
  EXPECT_EQ(0.0, sum(s.event_period_));
  EXPECT_EQ(0.0, sum(s.event_period_local_));
  EXPECT_EQ(1u, s.event_id_diff_->history().size());  // only the reset's 0.0
  EXPECT_EQ(100u, s.get_first_event().event_number);
  EXPECT_EQ(100u, s.get_prev_event().event_number);

  const EqData::UstrElement info = s.current_event_->snapshot();
  EXPECT_EQ(100, info.i1);
  EXPECT_EQ(1.0f, info.f1);
  EXPECT_FLOAT_EQ(123.456f, info.f2);
  EXPECT_EQ(kT0, info.tm);
  EXPECT_EQ(std::string(event_name_itoa(-1)), info.str);
}

TEST_F(UpdateTest, GapsCountLostEventsAndPercentagesAgainstCountedEvents) {
  make_on();
  events({100, 101, 102});
  EXPECT_EQ(1.0f, diff());
  EXPECT_EQ(0, lost());
  EXPECT_EQ(0.0f, perc_total());
  EXPECT_EQ(2.0, sum(stat_->event_period_));

  stat_->clear(true);
  events({100, 104});
  EXPECT_EQ(4.0f, diff());
  EXPECT_EQ(3, lost());
  EXPECT_EQ(150.0f, perc_total());
}

TEST_F(UpdateTest, BackwardsEventTakesOneBackAndKeepsTheReference) {
  auto& s = make_on();
  events({100, 104, 102});
  EXPECT_EQ(2, lost());
  EXPECT_EQ(-2.0f, diff());
  EXPECT_EQ(104u, s.get_prev_event().event_number);
  EXPECT_EQ(100u, s.get_first_event().event_number);
  EXPECT_EQ(2.0, sum(s.event_period_));  // backwards events sampled too
  events({105});
  EXPECT_EQ(1.0f, diff());
  EXPECT_EQ(2, lost());

  // Far backwards still takes back exactly one, and the total may go below 0.
  s.clear(false);
  events({100, 101, 100});
  EXPECT_EQ(-1, lost());
  events({50});
  EXPECT_EQ(-2, lost());
  EXPECT_EQ(101u, s.get_prev_event().event_number);
}

TEST_F(UpdateTest, NegativeTotalOnAGapIsPrintedAndNotStored) {
  auto& s = make_on();
  events({200, 195, 196, 197, 198, 199});
  ASSERT_EQ(-5, lost());
  ::testing::internal::CaptureStdout();
  events({203});
  EXPECT_EQ("NEGATIVE LOST EVENTS -3   cur_event:203  prev_event:200  val:3\n",
            ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(-5, lost());
  EXPECT_EQ(2, s.get_lost_events_period());  // the period count still grows

  // -1 plus a gap of one stores 0, silently.
  s.clear(false);
  events({100, 101, 100});
  ::testing::internal::CaptureStdout();
  events({103});
  EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, lost());
}

TEST_F(UpdateTest, EventNumbersWrapAt2To32) {
  auto& s = make_on();
  events({4294967294u, 2});
  EXPECT_EQ(4.0f, diff());
  EXPECT_EQ(3, lost());
  EXPECT_EQ(2u, s.get_prev_event().event_number);
  EXPECT_EQ(2u, s.get_first_event().event_number);
}

TEST_F(UpdateTest, LateEventTestLooksAtTheNumberJustBelow) {
  auto& s = make_on();
  events({32, 33});
  EXPECT_TRUE(s.is_late_event());
  events({64});  // slot 31 holds 0, not 63
  EXPECT_FALSE(s.is_late_event());

  // An empty slot 0 reads as event 0, so event 1 after a gap is late.
  s.clear(false);
  events({4294967290u, 1});
  EXPECT_EQ(7.0f, diff());
  EXPECT_EQ(0, lost());
}

TEST_F(UpdateTest, RecordsThatAreNotCountedChangeNothing) {
  auto& s = make_on();
  events({32});
  EXPECT_TRUE(event(32));  // repeat of the last counted event
  EXPECT_TRUE(event(0));
  EXPECT_TRUE(event(33, 0));
  EXPECT_TRUE(s.update_by_tid(nullptr));
  EXPECT_TRUE(s.update(static_cast<vrel_eventheader*>(nullptr)));
  EXPECT_TRUE(s.update(static_cast<vrel_serv_block_head_2010*>(nullptr)));
  EXPECT_EQ(1, s.get_total_events());
  EXPECT_EQ(32u, s.get_cur_event().event_number);
  // 33 never reached the ring, so 34 finds a gap of one.
  events({34});
  EXPECT_EQ(1, lost());
  // 32 is no longer the last event: counted again, as a backwards event.
  events({32});
  EXPECT_EQ(0, lost());
}

TEST_F(UpdateTest, HeaderUpdatesReduceToNumberAndTime) {
  auto& s = make_on();
  vrel_eventheader eh{};
  eh.event_number = 7;
  eh.event_type = VREL_EV_BOR;
  eh.event_time = {static_cast<std::uint32_t>(kT0), 5000};
  EXPECT_FALSE(s.update(&eh));
  vrel_time_id cur = s.get_cur_event();
  EXPECT_EQ(7u, cur.event_number);
  EXPECT_EQ(5000u, cur.time.timelow);

  vrel_serv_block_head_2010 sb{};
  sb.mpulse = -1;
  sb.time = {static_cast<std::uint32_t>(kT0), 9};
  EXPECT_FALSE(s.update(&sb));
  cur = s.get_cur_event();
  EXPECT_EQ(4294967295u, cur.event_number);
  EXPECT_EQ(9u, cur.time.timelow);
  EXPECT_EQ(2, s.get_total_events());
}

TEST_F(UpdateTest, StatisticsOffCountNothing) {
  auto& s = make();
  EXPECT_FALSE(s.is_on());
  EXPECT_FALSE(event(100));
  EXPECT_FALSE(s.update_by_tid(nullptr));
  EXPECT_TRUE(s.update(static_cast<vrel_eventheader*>(nullptr)));
  EXPECT_EQ(0, s.get_total_events());
  EXPECT_EQ(nullptr, s.event_period_local_);

  // A switch value that arrives without the remote write (as persistence
  // would give it) creates the set at the next event, which is counted first.
  s.on_->set_value(1);
  EXPECT_TRUE(s.is_on());
  EXPECT_FALSE(event(100));
  ASSERT_NE(nullptr, s.event_period_local_);
  EXPECT_EQ(1, total());
  EXPECT_EQ(0, lost());

  // A zero that arrives that way leaves the set and ignores events.
  s.on_->set_value(0);
  EXPECT_FALSE(event(105));
  EXPECT_EQ(1, s.get_total_events());
  EXPECT_NE(nullptr, s.event_period_local_);
}

TEST_F(UpdateTest, EventTypeNamesTheNextRecord) {
  auto& s = make_on();
  EXPECT_EQ(0xFFFFFFFFu, s.get_event_type());
  s.set_event_type(VREL_EV_NORMAL);
  EXPECT_EQ(1u, s.get_event_type());
  EXPECT_NE("VREL_EV_NORMAL", s.current_event_->snapshot().str);
  events({1});
  EXPECT_EQ("VREL_EV_NORMAL", s.current_event_->snapshot().str);

  // The record is kept named by the type whatever else wrote its text, and
  // renamed with the type, numbers included.
  s.current_event_->set_value(std::string("WRITTEN ELSEWHERE"));
  events({2});
  EXPECT_EQ("VREL_EV_NORMAL", s.current_event_->snapshot().str);
  EXPECT_EQ(2, s.current_event_->snapshot().i1);
  s.set_event_type(VREL_EV_GMD);
  events({3});
  const EqData::UstrElement renamed = s.current_event_->snapshot();
  EXPECT_EQ(event_name_itoa(VREL_EV_GMD), renamed.str);
  EXPECT_EQ(3, renamed.i1);
  EXPECT_EQ(3.0f, renamed.f1);

  vrel_daq_event_stat typed("Y", &ef_, VREL_EV_GMD);
  EXPECT_EQ(16u, typed.get_event_type());
}

// Period 15 s: events at t, t + 5 and t + 15; the third begins a new period.
TEST_F(UpdateTest, LostEventsPeriodRunsOnTheLocalClock) {
  auto& s = make_on();
  events({1});
  EXPECT_EQ(kT0, s.get_period_start());
  clock_.advance_usec(5000000);
  events({3});
  EXPECT_EQ(2, s.get_total_events_period());
  EXPECT_EQ(1, s.get_lost_events_period());
  EXPECT_EQ(50.0f, perc_period());

  clock_.advance_usec(10000000);
  events({6});  // gap of two, not added to the new period
  EXPECT_EQ(0, s.get_total_events_period());
  EXPECT_EQ(0, s.get_lost_events_period());
  EXPECT_EQ(kT0 + 15, s.get_period_start());
  EXPECT_EQ(3, lost());
  EXPECT_EQ(100.0f, perc_total());
  EXPECT_EQ(50.0f, perc_period());  // kept: no event counted in the period

  clock_.advance_usec(1000000);
  events({7});
  EXPECT_EQ(1, s.get_total_events_period());
  EXPECT_EQ(0.0f, perc_period());
}

TEST_F(UpdateTest, PeriodOfZeroOrLessBeginsAPeriodAtEveryEvent) {
  auto& s = make_on();
  for (int period : {0, -4}) {
    s.lost_event_period_->set_value(period);
    s.clear(true);
    const std::size_t samples = s.lost_events_perc_period_->history().size();
    events({1, 5, 9});
    EXPECT_EQ(0, s.get_total_events_period());
    EXPECT_EQ(0, s.get_lost_events_period());
    EXPECT_EQ(samples, s.lost_events_perc_period_->history().size());
  }
}

TEST_F(UpdateTest, TimingSamplesFallIntoMillisecondBins) {
  auto& s = make_on();
  // Latency = local clock - event time; the clock is set per event.
  const std::int64_t offsets_usec[] = {500, -3000, 1000, 8191900, 10000000};
  std::uint32_t n = 10;
  for (std::int64_t offset : offsets_usec) {
    clock_.set(kT0, 0);
    clock_.advance_usec(offset);
    events({n++});
  }
  const std::vector<double> bins = s.event_latency_->bins();
  ASSERT_EQ(8192u, bins.size());
  EXPECT_EQ(2.0, bins[0]);
  EXPECT_EQ(1.0, bins[1]);
  EXPECT_EQ(2.0, bins[8191]);
  EXPECT_EQ(5.0, sum(s.event_latency_));
  EXPECT_EQ(kT0, s.event_latency_->time());
  EXPECT_EQ(14, s.event_latency_->spectrum_event_id());
  EXPECT_EQ(0.0f, s.event_latency_->start());
  EXPECT_EQ(1.0f, s.event_latency_->increment());

  // Local and event-time periods: 2.5 ms locally, 7 ms between event times.
  s.clear(false);
  clock_.set(kT0, 0);
  EXPECT_FALSE(event(1, kT0, 0));
  clock_.advance_usec(2500);
  EXPECT_FALSE(event(2, kT0, 7000));
  EXPECT_EQ(1.0, s.event_period_local_->bins()[2]);
  EXPECT_EQ(1.0, sum(s.event_period_local_));
  EXPECT_EQ(1.0, s.event_period_->bins()[7]);
  EXPECT_EQ(1.0, sum(s.event_period_));
}

// The header forms, which count in the same hold of the lock as their copy,
// and objects among many, which ask for their lines ahead of the lock, count
// a stream exactly as update_by_tid on an object alone: repeats, number 0,
// time 0, gaps, a backwards event and the 2^32 wrap included.
TEST_F(UpdateTest, EveryFormCountsAloneAndAmongManyAlike) {
  const std::vector<vrel_time_id> stream = {
      {5, {kT0, 0}},     {6, {kT0, 1000}},    {6, {kT0, 2000}},
      {9, {kT0, 4000}},  {0, {kT0, 5000}},    {10, {0, 6000}},
      {8, {kT0, 7000}},  {10, {kT0, 9000}},   {4294967294u, {kT0, 12000}},
      {1, {kT0, 15000}}, {2, {kT0 + 1, 500}}, {2, {kT0 + 1, 600}}};
  enum class Form { by_tid, event_header, server_block };

  // Every update's answer, then everything the stream leaves published (the
  // distributions as their non-empty bins).
  const auto run = [&](Form form, bool among_many) {
    std::optional<ManyObjectsAlive> others;
    if (among_many) others.emplace();
    clock_.set(kT0, 0);
    auto& s = make_on();
    std::vector<double> seen;
    for (vrel_time_id tid : stream) {
      clock_.advance_usec(700);
      vrel_eventheader header{};
      header.event_number = tid.event_number;
      header.event_time = tid.time;
      vrel_serv_block_head_2010 block{};
      block.mpulse = static_cast<std::int32_t>(tid.event_number);
      block.time = tid.time;
      seen.push_back(form == Form::by_tid         ? s.update_by_tid(&tid)
                     : form == Form::event_header ? s.update(&header)
                                                  : s.update(&block));
    }
    for (double value : {static_cast<double>(total()), static_cast<double>(lost()),
                         static_cast<double>(diff()), static_cast<double>(perc_total()),
                         static_cast<double>(s.event_id_diff_->history().size()),
                         static_cast<double>(s.get_cur_event().event_number),
                         static_cast<double>(s.get_cur_event().time.timelow),
                         static_cast<double>(s.get_first_event().event_number)}) {
      seen.push_back(value);
    }
    for (const D_spectrum* spectrum : {s.event_latency_, s.event_period_, s.event_period_local_}) {
      const std::vector<double> bins = spectrum->bins();
      for (std::size_t i = 0; i < bins.size(); ++i) {
        if (bins[i] != 0.0) seen.insert(seen.end(), {static_cast<double>(i), bins[i]});
      }
    }
    stat_.reset();
    return seen;
  };

  const std::vector<double> alone = run(Form::by_tid, false);
  EXPECT_EQ(8, alone[stream.size()]);  // the events counted
  for (Form form : {Form::by_tid, Form::event_header, Form::server_block}) {
    for (bool among_many : {false, true}) {
      EXPECT_EQ(alone, run(form, among_many))
          << "form " << static_cast<int>(form) << ", among many " << among_many;
    }
  }
}

}  // namespace
}  // namespace testing
}  // namespace daqevstat
