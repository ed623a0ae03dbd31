#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "D_spectrum.h"
#include "d_floathist.h"
#include "d_hist.h"
#include "d_string.h"
#include "d_ustr.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "thread_annotations.h"

namespace {

USTR make_ustr(int i1, float f1, float f2, time_t tm, char* text, u_int len) {
  USTR record{};
  record.i1_data = i1;
  record.f1_data = f1;
  record.f2_data = f2;
  record.tm = tm;
  record.str_data.str_data_len = len;
  record.str_data.str_data_val = text;
  return record;
}

TEST(SpectrumTest, CountsExactlyPast2To24) {
  D_spectrum spectrum("S.TD distribution", 8, nullptr, false);
  const double start = 16777214.0;  // 2^24 - 2
  spectrum.fill_spectrum(3, start);
  for (int i = 0; i < 6; ++i) spectrum.fill_spectrum(3, spectrum.read_spectrum(3) + 1.0);
  // A float bin would stop at 16777216.
  EXPECT_EQ(start + 6.0, spectrum.read_spectrum(3));
}

TEST(SpectrumTest, IndicesOutsideAreHarmless) {
  D_spectrum spectrum("S.TD distribution", 4, nullptr, false);
  EXPECT_EQ(4u, spectrum.max_length());
  spectrum.fill_spectrum(0, 1.0);
  spectrum.fill_spectrum(3, 2.0);
  spectrum.fill_spectrum(-1, 5.0);
  spectrum.fill_spectrum(4, 5.0);
  spectrum.fill_spectrum(1 << 30, 5.0);
  EXPECT_EQ((std::vector<double>{1.0, 0.0, 0.0, 2.0}), spectrum.bins());
  EXPECT_EQ(0.0, spectrum.read_spectrum(-1));
  EXPECT_EQ(0.0, spectrum.read_spectrum(4));
}

TEST(SpectrumTest, ClearingKeepsParametersAndReplyCarriesThem) {
  D_spectrum spectrum("S.TD distribution", 3, nullptr, false);
  EXPECT_EQ(DATA_SPECTRUM, spectrum.data_type());
  spectrum.spectrum_parameter(1700000000, 4242, 0, 0.5f, 2.0f);
  spectrum.fill_spectrum(1, 7.0);
  spectrum.clear_spectrum();
  EXPECT_EQ((std::vector<double>{0.0, 0.0, 0.0}), spectrum.bins());
  EXPECT_EQ(1700000000, spectrum.time());
  EXPECT_EQ(4242, spectrum.spectrum_event_id());
  EXPECT_EQ(0.5f, spectrum.start());
  EXPECT_EQ(2.0f, spectrum.increment());

  spectrum.fill_spectrum(2, 3.0);
  EqData reply;
  spectrum.get(nullptr, nullptr, &reply, nullptr);
  EXPECT_EQ(DATA_SPECTRUM, reply.type());
  EXPECT_EQ((std::vector<double>{0.0, 0.0, 3.0}), reply.reals());
  EXPECT_EQ(0.5f, reply.spectrum_start());
  EXPECT_EQ(2.0f, reply.spectrum_increment());
  EXPECT_EQ(1700000000, reply.spectrum_time());
}

// A read copies only the bins below the highest one filled since the last
// clear; a reply used again must still show exactly the bins that hold
// counts, whichever order they were filled in and however often cleared.
TEST(SpectrumTest, ReadsSeeEveryFilledBinAcrossClearsAndOverlappingFills) {
  D_spectrum spectrum("S.TD distribution", 64, nullptr, false);
  EqData reply;
  const auto read = [&] {
    reply.reset();
    spectrum.get(nullptr, nullptr, &reply, nullptr);
    return reply.reals();
  };
  const auto with = [](std::initializer_list<std::pair<int, double>> bins) {
    std::vector<double> expected(64, 0.0);
    for (const auto& [index, count] : bins) expected[static_cast<std::size_t>(index)] = count;
    return expected;
  };
  spectrum.fill_spectrum(40, 1.0);
  spectrum.fill_spectrum(3, 2.0);
  EXPECT_EQ(with({{3, 2.0}, {40, 1.0}}), read());
  spectrum.clear_spectrum();
  EXPECT_EQ(with({}), read());
  spectrum.fill_spectrum(5, 4.0);
  EXPECT_EQ(with({{5, 4.0}}), read());
  spectrum.fill_spectrum(63, 1.0);
  EXPECT_EQ(with({{5, 4.0}, {63, 1.0}}), read());

  // Two fillers at once, each climbing through bins of its own: the bound
  // ends above the highest of both.
  spectrum.clear_spectrum();
  std::thread odd([&] {
    for (int i = 1; i < 64; i += 2) spectrum.fill_spectrum(i, 1.0);
  });
  for (int i = 0; i < 64; i += 2) spectrum.fill_spectrum(i, 1.0);
  odd.join();
  EXPECT_EQ(std::vector<double>(64, 1.0), read());
}

TEST(UstrTest, KeepsItsOwnCopyOfTheText) {
  D_ustr prop("P.INFO current event info", nullptr);
  EXPECT_EQ(DATA_USTR, prop.data_type());
  EXPECT_EQ(0, prop.get_int());
  EXPECT_EQ("", prop.get_string());

  char buffer[32] = "VREL_EV_NORMAL";
  USTR record =
      make_ustr(17, 3.0f, 0.25f, 1700000000, buffer, static_cast<u_int>(std::strlen(buffer) + 1));
  prop.set_value(&record);
  std::strcpy(buffer, "OVERWRITTEN");
  EXPECT_EQ("VREL_EV_NORMAL", prop.get_string());
  EXPECT_EQ(17, prop.get_int());
  EXPECT_EQ(3.0f, prop.get_f1());
  EXPECT_EQ(0.25f, prop.get_f2());
  EXPECT_EQ(1700000000, prop.get_time());

  // Never read past the given length, even without a terminating zero.
  char unterminated[4] = {'A', 'B', 'C', 'D'};
  record = make_ustr(1, 0.0f, 0.0f, 0, unterminated, 3);
  prop.set_value(&record);
  EXPECT_EQ("ABC", prop.get_string());
  record = make_ustr(2, 0.0f, 0.0f, 0, nullptr, 5);
  prop.set_value(&record);
  EXPECT_EQ("", prop.get_string());
  prop.set_value(static_cast<USTR*>(nullptr));
  EXPECT_EQ(2, prop.get_int());

  // The snapshot stays as it was while the property changes.
  prop.set_value(std::string("first"));
  USTR* snapshot = prop.value();
  prop.set_value(std::string("second"));
  prop.set_value(99);
  EXPECT_STREQ("first", snapshot->str_data.str_data_val);
  EXPECT_EQ(6u, snapshot->str_data.str_data_len);
  EXPECT_EQ(2, snapshot->i1_data);
  prop.set_value(static_cast<long>(0x100000005L));
  EXPECT_EQ(5, prop.get_int());
}

TEST(UstrTest, ARecordKeepsOrReplacesItsTextByWhatTheCallerGave) {
  // Each record is written over the text before it: a text that equals the
  // stored one up to a word boundary, or that ends early at a zero or at
  // the given length, must still be taken as given.
  struct Case {
    std::string stored;  // set beforehand as a std::string (may hold a zero)
    std::string bytes;   // the caller's buffer
    u_int len;           // str_data_len
    std::string want;
  };
  const std::string with_zero("VREL_EV_\0NORMAL", 15);
  const Case cases[] = {
      {"VREL_EV_NORMAL", std::string("VREL_EV_NORMAL\0", 15), 15, "VREL_EV_NORMAL"},
      {"VREL_EV_NORMAL", std::string("VREL_EV_NORMAX\0", 15), 15, "VREL_EV_NORMAX"},
      {"VREL_EV_NORMAL", std::string("XREL_EV_NORMAL\0", 15), 15, "XREL_EV_NORMAL"},
      {"VREL_EV_NORMAL", std::string("VREL_EV_NORMALS\0", 16), 16, "VREL_EV_NORMALS"},
      {"VREL_EV_NORMAL", std::string("VREL_EV_NORMAL", 14), 14, "VREL_EV_NORMAL"},
      {"VREL_EV_NORMAL", std::string("VREL_EV_NORMAL", 14), 13, "VREL_EV_NORMA"},
      {"VREL_EV_NORMAL", with_zero, 15, "VREL_EV_"},
      {with_zero, with_zero, 15, "VREL_EV_"},
      {"ABCDEFGH", std::string("ABCDEFGH\0", 9), 9, "ABCDEFGH"},
      {"ABCDEFGH", std::string("ABCDEFG\0\0", 9), 9, "ABCDEFG"},
      {"ABC", std::string("ABC\0", 4), 4, "ABC"},
      {"ABC", std::string("AB\0\0", 4), 4, "AB"},
      {"ABC", std::string("ABC", 3), 0, ""},
      {"", std::string("\0", 1), 1, ""},
      {"", std::string("Z\0", 2), 2, "Z"},
  };
  for (const Case& c : cases) {
    D_ustr prop("P.INFO current event info", nullptr);
    prop.set_value(c.stored);
    std::string buffer = c.bytes;
    USTR record = make_ustr(1, 0.0f, 0.0f, 0, buffer.data(), c.len);
    prop.set_value(&record);
    EXPECT_EQ(c.want, prop.get_string()) << c.stored << " <- " << c.bytes << " / " << c.len;
    prop.set_value(&record);  // the same again: kept
    EXPECT_EQ(c.want, prop.get_string()) << c.stored << " <- " << c.bytes << " / " << c.len;
  }
}

TEST(UstrTest, NumbersKeepTheTextOnlyWhileItIsTheVersionTheWriterLeft) {
  D_ustr prop("P.INFO current event info", nullptr);
  D_ustr other("Q.INFO current event info", nullptr);
  // A fresh property holds the empty text, version 0: a writer of "" may
  // keep it, one that wrote a text elsewhere may not.
  EXPECT_TRUE(prop.set_numbers_keeping_text(0, 1, 1.0f, 0.0f, 10));
  char name[] = "VREL_EV_NORMAL";
  const std::uint64_t elsewhere = other.set_record(name, sizeof name, 2, 2.0f, 0.0f, 20);
  EXPECT_NE(0u, elsewhere);
  EXPECT_FALSE(prop.set_numbers_keeping_text(elsewhere, 3, 3.0f, 0.0f, 30));
  EXPECT_EQ(1, prop.get_int());  // nothing written

  const std::uint64_t mine = prop.set_record(name, sizeof name, 4, 4.0f, 0.5f, 40);
  EXPECT_EQ(mine, prop.set_record(name, sizeof name, 4, 4.0f, 0.5f, 40));  // same text kept
  EXPECT_TRUE(prop.set_numbers_keeping_text(mine, 5, 5.0f, 0.25f, 50));
  const EqData::UstrElement kept = prop.snapshot();
  EXPECT_EQ(5, kept.i1);
  EXPECT_EQ(5.0f, kept.f1);
  EXPECT_EQ(0.25f, kept.f2);
  EXPECT_EQ(50, kept.tm);
  EXPECT_EQ("VREL_EV_NORMAL", kept.str);

  // Another write of the text, even back to the same words, ends the version.
  prop.set_value(std::string("OTHER"));
  EXPECT_FALSE(prop.set_numbers_keeping_text(mine, 6, 6.0f, 0.0f, 60));
  EXPECT_EQ("OTHER", prop.get_string());
  EXPECT_EQ(5, prop.get_int());
  const std::uint64_t again = prop.set_record(name, sizeof name, 7, 7.0f, 0.0f, 70);
  EXPECT_NE(mine, again);
  EXPECT_EQ("VREL_EV_NORMAL", prop.get_string());
}

TEST(UstrTest, RemoteReadAndWrite) {
  D_ustr prop("P.INFO current event info", nullptr);
  prop.set_value(std::string("text"));
  prop.set_f1(1.5f);
  EqData reply;
  reply.set(5);
  prop.get(nullptr, nullptr, &reply, nullptr);
  EXPECT_EQ(DATA_USTR, reply.type());
  EXPECT_EQ(1, reply.length());
  ASSERT_NE(nullptr, reply.get_ustr(0));
  EXPECT_EQ("text", reply.get_ustr(0)->str);
  EXPECT_EQ(1.5f, reply.get_ustr(0)->f1);

  EqData in;
  in.set(4, 2.0f, 3.0f, 10, "written", 0);
  EqData out;
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ("written", prop.get_string());
  EXPECT_EQ(4, prop.get_int());

  in.set(7);
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(ill_parameter, out.error());
  EXPECT_EQ("written", prop.get_string());
}

TEST(UstrTest, SnapshotIsWholeUnderConcurrentWriter) {
  // Every record the writer stores is consistent: i1 == f1 and the text is
  // i1 in decimal repeated to a length that forces reallocation. A reader
  // must never see a mixture of two records.
  D_ustr prop("P.INFO current event info", nullptr);
  constexpr int kWrites = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int k = 1; k <= kWrites; ++k) {
      std::string text;
      for (int n = 0; n < 1 + k % 40; ++n) text += std::to_string(k);
      USTR record = make_ustr(k, static_cast<float>(k), 0.0f, k, text.data(),
                              static_cast<u_int>(text.size() + 1));
      prop.set_value(&record);
    }
    done = true;
  });
  long checked = 0;
  while (!done || checked == 0) {
    const USTR* record = prop.value();
    const int k = record->i1_data;
    ++checked;
    if (k == 0) continue;  // before the first write
    ASSERT_EQ(static_cast<float>(k), record->f1_data);
    ASSERT_EQ(k, record->tm);
    const std::string text = record->str_data.str_data_val;
    ASSERT_EQ(text.size() + 1, record->str_data.str_data_len);
    const std::string unit = std::to_string(k);
    ASSERT_EQ(unit.size() * static_cast<std::size_t>(1 + k % 40), text.size());
    ASSERT_EQ(0u, text.find(unit));
  }
  writer.join();
  EXPECT_EQ(kWrites, prop.value()->i1_data);
}

// An owner that shared its lock writes without the record's own exclusion;
// a writer of its own beside it takes that lock, so the two never write at
// once (the thread sanitizer sees their plain fields) and every record read
// is one whole write: i1, f1 and tm are one number, the text names the writer.
TEST(UstrTest, WritersOtherThanTheOwnerTakeTheSharedLock) {
  D_ustr prop("P.INFO current event info", nullptr);
  quelmar::Mutex owner_lock;
  prop.share_writer_lock(owner_lock);
  constexpr int kWrites = 5000;
  std::atomic<int> writers_done{0};
  std::thread owner([&] {
    char name[] = "OWNER";
    std::uint64_t version = 0;
    for (int k = 1; k <= kWrites; ++k) {
      quelmar::MutexLock lock(owner_lock);
      const auto f = static_cast<float>(k);
      if (version == 0 || !prop.set_numbers_keeping_text(version, k, f, 0.0f, k)) {
        version = prop.set_record(name, sizeof name, k, f, 0.0f, k);
      }
    }
    ++writers_done;
  });
  std::thread other([&] {
    char name[] = "OTHER";
    for (int k = 1; k <= kWrites; ++k) {
      USTR record = make_ustr(-k, static_cast<float>(-k), 0.0f, -k, name, sizeof name);
      prop.set_value(&record);
    }
    ++writers_done;
  });
  while (writers_done < 2) {
    const EqData::UstrElement record = prop.snapshot();
    if (record.i1 == 0) continue;  // before the first write
    ASSERT_EQ(static_cast<float>(record.i1), record.f1);
    ASSERT_EQ(record.i1, record.tm);
    ASSERT_EQ(record.i1 > 0 ? "OWNER" : "OTHER", record.str);
  }
  owner.join();
  other.join();
  EXPECT_TRUE(owner_lock.native().try_lock()) << "a writer left the lock held";
  owner_lock.native().unlock();
}

TEST(FloathistTest, HistoryIsBounded) {
  D_floathist prop("P.DIFF event id diff", nullptr, "EVENT_DIFF");
  EXPECT_EQ("EVENT_DIFF", prop.title());
  EXPECT_EQ(DATA_FLOAT, prop.data_type());
  EXPECT_EQ(0.0f, prop.value());
  EXPECT_TRUE(prop.history().empty());

  constexpr std::size_t kExtra = 5;
  const std::size_t total = D_floathist::kHistoryLength + kExtra;
  for (std::size_t i = 0; i < total; ++i) prop.set_value(static_cast<float>(i));
  const std::vector<D_floathist::Sample> history = prop.history();
  ASSERT_EQ(D_floathist::kHistoryLength, history.size());
  EXPECT_EQ(static_cast<float>(kExtra), history.front().value);  // oldest kept
  EXPECT_EQ(static_cast<float>(total - 1), history.back().value);
  EXPECT_NE(0, history.back().timestamp);
  EXPECT_EQ(static_cast<float>(total - 1), prop.value());

  EqData reply;
  prop.get(nullptr, nullptr, &reply, nullptr);
  EXPECT_EQ(DATA_FLOAT, reply.type());
  EXPECT_EQ(static_cast<float>(total - 1), reply.get_float());
}

TEST(HistTest, TypeMismatchAndInjectedFailures) {
  D_hist ints("P.HIST history", nullptr, DATA_INT);
  EXPECT_EQ(DATA_INT, ints.data_type());
  int err = -1;
  ints.fill_hist(5, sts_ok, 100, 250, &err);
  EXPECT_EQ(0, err);
  ints.fill_hist(2.5f, sts_ok, 101, 0, &err);
  EXPECT_EQ(wrong_archiver_type, err);
  ASSERT_EQ(1u, ints.samples().size());
  EXPECT_EQ(5.0, ints.samples()[0].value);
  EXPECT_EQ(100u, ints.samples()[0].sec);
  EXPECT_EQ(250u, ints.samples()[0].msec);

  D_hist floats("P.HIST history", nullptr, DATA_FLOAT);
  floats.fill_hist(1, sts_ok, 1, 1, &err);
  EXPECT_EQ(126, err);
  floats.fill_hist(1.5f, sts_warning, 1, 1, &err);
  EXPECT_EQ(0, err);
  ASSERT_EQ(1u, floats.samples().size());
  EXPECT_EQ(sts_warning, floats.samples()[0].status);

  floats.fail_with(3);
  floats.fill_hist(2.5f, sts_ok, 2, 0, &err);
  EXPECT_EQ(3, err);
  floats.fail_with(0);
  floats.fill_hist(2.5f, sts_ok, 2, 0, &err);
  EXPECT_EQ(0, err);
  EXPECT_EQ(2u, floats.samples().size());
}

TEST(StringTest, ValueWriteAndRefusal) {
  D_string prop("P.NAME a name", nullptr);
  EXPECT_EQ(DATA_STRING, prop.data_type());
  EqData in;
  in.set("hello world");
  EqData out;
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ("hello world", prop.value());
  EXPECT_EQ(11, prop.length());

  EqData bad;
  bad.set("abc");
  bad.error(7, "broken");
  prop.set(nullptr, &bad, &out, nullptr);
  EXPECT_EQ(ill_parameter, out.error());
  EXPECT_EQ("hello world", prop.get_value());

  char buffer[6];
  prop.copy_value(buffer, sizeof buffer);
  EXPECT_STREQ("hello", buffer);
  prop.copy_value(buffer, 0);  // nothing written, no crash
  prop.set_length(-1);
  EXPECT_EQ(11, prop.length());
  prop.set_length(4);
  EXPECT_EQ("hell", prop.value());

  // A line break must not reach the one-entry-a-line configuration.
  prop.set_value("first\nSECOND.PROP 5");
  std::ostringstream stream;
  prop.write(stream);
  EXPECT_EQ("first SECOND.PROP 5", stream.str());

  EqData reply;
  prop.get(nullptr, nullptr, &reply, nullptr);
  EXPECT_EQ(DATA_STRING, reply.type());
  EXPECT_EQ("first\nSECOND.PROP 5", reply.get_string());
}

}  // namespace
