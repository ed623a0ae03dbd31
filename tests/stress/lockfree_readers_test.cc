// Readers that take no lock, racing the single writer of each property: they
// must never see a torn record or a sample out of order, and every count
// must be exact once the writer stops.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "d_ustr.h"
#include "eq_data.h"
#include "evutl.h"
#include "quelmar_types.h"
#include "stress_support.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace stress {
namespace {

constexpr int kWrites = 200000;

TEST(LockFreeReadersTest, UniversalStringRecordIsNeverTorn) {
  D_ustr prop("P.INFO record", nullptr);
  std::atomic<bool> done{false};
  std::thread writer([&prop, &done] {
    char text[32];
    for (int i = 1; i <= kWrites; ++i) {
      // Every field is derived from i, and the text changes every 1000
      // records, so a record mixed from two writes shows.
      std::snprintf(text, sizeof(text), "T%d", i / 1000);
      USTR record{};
      record.i1_data = i;
      record.f1_data = static_cast<float>(i % 4096);
      record.f2_data = static_cast<float>(-(i % 4096));
      record.tm = i;
      record.str_data.str_data_val = text;
      record.str_data.str_data_len = static_cast<u_int>(std::strlen(text) + 1);
      prop.set_value(&record);
    }
    done = true;
  });
  long reads = 0;
  int last = 0;
  EqData in;
  EqData out;
  while (!done.load() || reads == 0) {
    const EqData::UstrElement r = prop.snapshot();
    ++reads;
    if (r.i1 == 0) continue;  // before the first write
    ASSERT_EQ(static_cast<float>(r.i1 % 4096), r.f1) << r.i1;
    ASSERT_EQ(static_cast<float>(-(r.i1 % 4096)), r.f2) << r.i1;
    ASSERT_EQ(r.i1, r.tm);
    ASSERT_EQ("T" + std::to_string(r.i1 / 1000), r.str) << r.i1;
    ASSERT_GE(r.i1, last);  // one writer: records only move forward
    last = r.i1;
    prop.get(nullptr, &in, &out, nullptr);
    ASSERT_EQ(DATA_USTR, out.type());
  }
  writer.join();
  EXPECT_EQ(kWrites, prop.snapshot().i1);
  EXPECT_GT(reads, 0);
}

// The statistics object writes its record under its own lock without the
// record's exclusion of writers; a host thread that writes the record too
// must be kept out by that lock (the thread sanitizer sees the record's
// plain fields), and a reader sees one writer's whole record: events number
// n at second n, so count, number and time agree; the host's are negative.
TEST(LockFreeReadersTest, EventRecordStaysWholeWhileTheHostWritesItToo) {
  EqFct location("STRESS_LOCATION");
  vrel_daq_event_stat stat("REC statistics", &location, VREL_EV_NORMAL);
  ASSERT_EQ(0, remote_set_int(location, "REC.STAT.ON", 1));
  D_evstat_ustr* record = stat.current_event_;
  ASSERT_NE(nullptr, record);
  constexpr int kEvents = 50000;
  std::atomic<int> writers_done{0};
  std::thread events([&] {
    for (std::uint32_t n = 1; n <= kEvents; ++n) {
      vrel_time_id tid{};
      tid.event_number = n;
      tid.time.timeup = n;
      stat.update_by_tid(&tid);
    }
    ++writers_done;
  });
  std::thread host([&] {
    char text[] = "HOST";
    for (int k = 1; k <= kEvents / 10; ++k) {
      USTR written{};
      written.i1_data = -k;
      written.f1_data = static_cast<float>(-k);
      written.tm = -k;
      written.str_data.str_data_val = text;
      written.str_data.str_data_len = sizeof text;
      record->set_value(&written);
    }
    ++writers_done;
  });
  const std::string event_name = event_name_itoa(VREL_EV_NORMAL);
  while (writers_done.load() < 2) {
    const EqData::UstrElement r = record->snapshot();
    if (r.i1 == 0) continue;  // before the first write
    ASSERT_EQ(static_cast<float>(r.i1), r.f1) << r.i1;
    ASSERT_EQ(r.i1, r.tm);
    ASSERT_EQ(r.i1 > 0 ? event_name : "HOST", r.str) << r.i1;
  }
  events.join();
  host.join();
  EXPECT_EQ(kEvents, stat.get_total_events());
}

TEST(LockFreeReadersTest, FloatHistoryCopiesHoldOnlyWholeSamplesInOrder) {
  D_floathist prop("P.DIFF difference", nullptr, "DIFF");
  std::atomic<bool> done{false};
  std::thread writer([&prop, &done] {
    for (int i = 1; i <= kWrites; ++i) {
      // The stamp tells which store a sample came from.
      const quelmar::SharedStampTime stamp(i);
      prop.set_value(static_cast<float>(i));
    }
    done = true;
  });
  long copies = 0;
  while (!done.load() || copies == 0) {
    const std::vector<D_floathist::Sample> history = prop.history();
    ++copies;
    ASSERT_LE(history.size(), D_floathist::kHistoryLength);
    for (std::size_t k = 0; k < history.size(); ++k) {
      ASSERT_EQ(static_cast<float>(history[k].timestamp), history[k].value);
      if (k > 0) {
        ASSERT_EQ(history[k - 1].timestamp + 1, history[k].timestamp);
      }
    }
  }
  writer.join();
  const std::vector<D_floathist::Sample> history = prop.history();
  ASSERT_EQ(D_floathist::kHistoryLength, history.size());
  EXPECT_EQ(kWrites, history.back().timestamp);
  EXPECT_EQ(static_cast<float>(kWrites), prop.value());
}

TEST(LockFreeReadersTest, SpectrumCountsAreExactOnceFillsStop) {
  constexpr int kBins = 8192;
  D_spectrum prop("P.TD distribution", kBins, nullptr, false);
  std::atomic<bool> done{false};
  std::thread writer([&prop, &done] {
    // Counted the way the statistics count: read, add one, store.
    for (int i = 0; i < kWrites; ++i) {
      const int bin = (i * 7919) % kBins;
      prop.fill_spectrum(bin, prop.read_spectrum(bin) + 1.0);
      prop.spectrum_parameter(i, i, 0, 0.0f, 1.0f);
    }
    done = true;
  });
  EqData in;
  EqData out;
  long copies = 0;
  double previous_total = 0.0;
  while (!done.load() || copies == 0) {
    prop.get(nullptr, &in, &out, nullptr);
    ++copies;
    ASSERT_EQ(static_cast<std::size_t>(kBins), out.reals().size());
    double total = 0.0;
    for (double bin : out.reals()) total += bin;
    // A copy is a moment's mix, but never more than was filled, and with a
    // single filler each bin only grows.
    ASSERT_LE(total, static_cast<double>(kWrites));
    ASSERT_GE(total + kBins, previous_total);
    previous_total = total;
  }
  writer.join();
  std::vector<double> expected(kBins, 0.0);
  for (int i = 0; i < kWrites; ++i) expected[static_cast<std::size_t>((i * 7919) % kBins)] += 1.0;
  EXPECT_EQ(expected, prop.bins());
  EXPECT_EQ(kWrites - 1, prop.time());
}

}  // namespace
}  // namespace stress
}  // namespace daqevstat
