#include "eq_fct.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "d_fct.h"
#include "d_string.h"
#include "eq_config.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "support/temp_folder.h"

namespace {

// An integer property that persists its value and can run a hook inside its
// remote calls.
class IntProp : public D_fct {
 public:
  IntProp(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

  void get(EqAdr*, EqData*, EqData* out, EqFct*) override {
    if (on_get) on_get();
    out->set(value.load());
  }
  void set(EqAdr*, EqData* in, EqData*, EqFct*) override {
    if (on_set) on_set();
    value = in->get_int();
  }
  void conf(Config* config) override { conf_insert(config, DATA_INT); }
  void read() override {
    D_conf_struct* entry = find_prop_name();
    if (entry != nullptr && entry->found) value = entry->d_int;
  }
  void write(std::ostream& stream) override { stream << value.load(); }
  int data_type() const override { return DATA_INT; }

  std::atomic<int> value{0};
  std::function<void()> on_get;
  std::function<void()> on_set;
};

EqData int_data(int value) {
  EqData data;
  data.set(value);
  return data;
}

int remote_int(EqFct& location, const std::string& name, int* code) {
  EqData in;
  EqData out;
  location.remote_get(name, &in, &out);
  *code = out.error();
  return out.get_int();
}

class EqFctTest : public ::testing::Test {
 protected:
  std::string temp_path() const { return folder_.file("location.conf"); }

 private:
  daqevstat::testing::TempFolder folder_{"eq_fct_test"};
};

TEST_F(EqFctTest, AddLookupAndRemove) {
  EqFct location("LOC");
  EXPECT_EQ("LOC", location.name());
  EXPECT_EQ("LOC", get_location_name(location));
  IntProp a("P.A first", &location);
  IntProp b("P.B second", &location);
  a.value = 1;
  b.value = 2;
  location.add_property(&a, 0);
  location.add_property(&b, 2);
  location.add_property(&a, 2);  // already registered: ignored
  location.add_property(nullptr, 2);
  EXPECT_EQ((std::vector<std::string>{"P.A", "P.B"}), location.property_names());
  EXPECT_TRUE(location.has_property("P.A"));

  int code = -1;
  EXPECT_EQ(1, remote_int(location, "P.A", &code));
  EXPECT_EQ(0, code);
  EqData in = int_data(9);
  EqData out;
  location.remote_set("P.B", &in, &out);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ(9, b.value);

  location.rem_property(&a);
  location.rem_property(&a);  // not registered any more: ignored
  EXPECT_FALSE(location.has_property("P.A"));
  remote_int(location, "P.A", &code);
  EXPECT_EQ(unknown_property, code);
  out.init();
  location.remote_set("NOPE", &in, &out);
  EXPECT_EQ(unknown_property, out.error());

  // A later property of the same name wins the lookup until it goes.
  IntProp b2("P.B again", &location);
  b2.value = 22;
  location.add_property(&b2, 0);
  EXPECT_EQ(22, remote_int(location, "P.B", &code));
  location.rem_property(&b2);
  EXPECT_EQ(9, remote_int(location, "P.B", &code));
  location.rem_property(&b);
}

TEST_F(EqFctTest, CallerIsPerThread) {
  EqFct location("LOC");
  EXPECT_EQ("unknown@localhost", get_user_and_host(location));
  EqFct::set_caller("alice", "console7");
  EXPECT_EQ("alice@console7", get_user_and_host(location));
  std::string other;
  std::thread([&] { other = get_user_and_host(location); }).join();
  EXPECT_EQ("unknown@localhost", other);
  EqFct::set_caller("unknown", "localhost");
}

TEST_F(EqFctTest, ModeTwoRestoresSavedValuesAfterRestart) {
  const std::string path = temp_path();
  {
    EqFct location("LOC");
    IntProp period("LOC.STAT.PERIOD period", &location);
    D_string label("LOC.LABEL a label", &location);
    D_fct silent("LOC.SILENT writes nothing", &location);
    location.add_property(&period, 2);
    location.add_property(&label, 2);
    location.add_property(&silent, 2);
    EqData in = int_data(37);
    EqData out;
    location.remote_set("LOC.STAT.PERIOD", &in, &out);
    label.set_value("two words");
    location.save_config(path);
    location.rem_property(&period);
    location.rem_property(&label);
    location.rem_property(&silent);
  }
  std::ifstream file(path);
  std::stringstream saved;
  saved << file.rdbuf();
  EXPECT_EQ(std::string::npos, saved.str().find("LOC.SILENT"));

  // The restarted server: a new location reads the file, and properties
  // added with mode 2 take the saved values; other modes do not.
  EqFct location("LOC");
  location.config().load(path);
  IntProp period("LOC.STAT.PERIOD period", &location);
  D_string label("LOC.LABEL a label", &location);
  location.add_property(&period, 2);
  location.add_property(&label, 2);
  EXPECT_EQ(37, period.value);
  EXPECT_EQ("two words", label.value());
  int code = -1;
  EXPECT_EQ(37, remote_int(location, "LOC.STAT.PERIOD", &code));

  EqFct other("LOC");
  other.config().load(path);
  IntProp unlinked("LOC.STAT.PERIOD period", &other);
  other.add_property(&unlinked, 1);
  EXPECT_EQ(0, unlinked.value);
  other.rem_property(&unlinked);
  location.rem_property(&period);
  location.rem_property(&label);
}

TEST_F(EqFctTest, ExceptionBecomesErrorReply) {
  EqFct location("LOC");
  IntProp prop("P.THROW desc", &location);
  location.add_property(&prop, 0);
  int code = -1;

  prop.on_get = [] { throw std::runtime_error("boom"); };
  EqData in;
  EqData out;
  location.remote_get("P.THROW", &in, &out);
  EXPECT_EQ(internal_error, out.error());
  EXPECT_EQ("boom", out.error_text());

  prop.on_set = [] { throw std::runtime_error("Archiving failed with wrong archiver data type"); };
  out.init();
  location.remote_set("P.THROW", &in, &out);
  EXPECT_EQ(wrong_archiver_type, out.error());

  prop.on_get = [] { throw 42; };
  remote_int(location, "P.THROW", &code);
  EXPECT_EQ(internal_error, code);

  // The failed calls were uncounted: removal does not wait for them.
  prop.on_get = nullptr;
  EXPECT_EQ(0, remote_int(location, "P.THROW", &code));
  EXPECT_EQ(0, code);
  location.rem_property(&prop);
  EXPECT_FALSE(location.has_property("P.THROW"));
}

TEST_F(EqFctTest, RemPropertyWaitsForCallOnAnotherThread) {
  EqFct location("LOC");
  auto prop = std::make_unique<IntProp>("P.SLOW desc", &location);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> get_finished{false};
  prop->on_get = [&] {
    entered.set_value();
    released.wait();
    get_finished = true;
  };
  location.add_property(prop.get(), 0);

  std::thread reader([&] {
    int code = -1;
    remote_int(location, "P.SLOW", &code);
    EXPECT_EQ(0, code);
  });
  entered.get_future().wait();

  std::atomic<bool> finished_before_removal_returned{false};
  std::thread remover([&] {
    location.rem_property(prop.get());
    finished_before_removal_returned = get_finished.load();
    prop.reset();  // what the owner does next
  });
  // rem_property unregisters and starts waiting under one hold of the lock,
  // so once the name is gone the remover is waiting.
  while (location.has_property("P.SLOW")) std::this_thread::yield();
  int code = -1;
  remote_int(location, "P.SLOW", &code);  // no new call reaches it
  EXPECT_EQ(unknown_property, code);

  release.set_value();
  reader.join();
  remover.join();
  EXPECT_TRUE(finished_before_removal_returned);
  EXPECT_EQ(nullptr, prop);
}

TEST_F(EqFctTest, CallRemovingItsOwnPropertyDoesNotDeadlock) {
  // Like an on/off switch: writing it removes the set of properties, itself
  // included here, and adds a replacement, all from inside the remote call.
  EqFct location("LOC");
  auto self = std::make_unique<IntProp>("P.SWITCH desc", &location);
  auto other = std::make_unique<IntProp>("P.OTHER desc", &location);
  auto created = std::make_unique<IntProp>("P.CREATED desc", &location);
  location.add_property(self.get(), 2);
  location.add_property(other.get(), 2);
  self->on_set = [&] {
    location.rem_property(other.get());
    other.reset();
    location.add_property(created.get(), 2);
    location.rem_property(self.get());
  };
  EqData in = int_data(1);
  EqData out;
  location.remote_set("P.SWITCH", &in, &out);
  EXPECT_EQ(0, out.error());
  EXPECT_EQ((std::vector<std::string>{"P.CREATED"}), location.property_names());
  location.rem_property(created.get());
}

// A property's call may make another remote call on the same thread: the
// address the outer call was handed still names the outer property after it.
TEST_F(EqFctTest, ANestedCallLeavesTheOuterCallsAddressAsItWas) {
  class AddressProp : public D_fct {
   public:
    AddressProp(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}
    void get(EqAdr* address, EqData*, EqData* out, EqFct*) override {
      const std::string before = address->location + "/" + address->property;
      if (inside) inside();
      seen.push_back(before + " " + address->location + "/" + address->property);
      out->set(1);
    }
    int data_type() const override { return DATA_INT; }
    std::function<void()> inside;
    std::vector<std::string> seen;
  };
  EqFct location("A.LOCATION.WITH.A.LONG.NAME");
  AddressProp outer("OUTER.PROPERTY.WITH.A.LONG.NAME desc", &location);
  AddressProp inner("INNER.PROPERTY.WITH.A.LONG.NAME desc", &location);
  location.add_property(&outer, 0);
  location.add_property(&inner, 0);
  outer.inside = [&] {
    EqData out;
    location.remote_get("INNER.PROPERTY.WITH.A.LONG.NAME", nullptr, &out);
  };
  for (int round = 0; round < 2; ++round) {
    EqData out;
    location.remote_get("OUTER.PROPERTY.WITH.A.LONG.NAME", nullptr, &out);
  }
  const std::string at = "A.LOCATION.WITH.A.LONG.NAME/";
  EXPECT_EQ(std::vector<std::string>(2, at + "OUTER.PROPERTY.WITH.A.LONG.NAME " + at +
                                            "OUTER.PROPERTY.WITH.A.LONG.NAME"),
            outer.seen);
  EXPECT_EQ(std::vector<std::string>(2, at + "INNER.PROPERTY.WITH.A.LONG.NAME " + at +
                                            "INNER.PROPERTY.WITH.A.LONG.NAME"),
            inner.seen);
  location.rem_property(&inner);
  location.rem_property(&outer);
}

TEST_F(EqFctTest, ConcurrentAddRemoveAndDispatch) {
  // Readers hammer names whose properties a writer keeps replacing and
  // deleting; a call reaching a deleted property shows under ASan or TSan.
  EqFct location("LOC");
  constexpr int kCycles = 400;
  constexpr int kReaders = 3;
  const std::vector<std::string> names = {"S.A", "S.B", "S.C"};
  std::atomic<bool> done{false};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (long i = 0; !done; ++i) {
        const std::string& name = names[static_cast<std::size_t>(i + r) % names.size()];
        EqData in = int_data(static_cast<int>(i));
        EqData out;
        if (i % 2 == 0) {
          location.remote_get(name, &in, &out);
        } else {
          location.remote_set(name, &in, &out);
        }
        EXPECT_TRUE(out.error() == 0 || out.error() == unknown_property) << out.error();
      }
    });
  }
  std::thread writer([&] {
    std::vector<std::unique_ptr<IntProp>> live(names.size());
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      const std::size_t slot = static_cast<std::size_t>(cycle) % names.size();
      if (live[slot] != nullptr) {
        location.rem_property(live[slot].get());
        live[slot].reset();
      }
      live[slot] = std::make_unique<IntProp>(names[slot] + " desc", &location);
      // The call touches the property's own state on both sides of a yield,
      // which widens the window in which a removal could free it.
      IntProp* prop = live[slot].get();
      prop->on_get = [prop] {
        prop->value.fetch_add(1);
        std::this_thread::yield();
        prop->value.fetch_add(1);
      };
      location.add_property(prop, 2);
    }
    for (auto& prop : live) {
      location.rem_property(prop.get());
      prop.reset();
    }
    done = true;
  });
  writer.join();
  for (auto& reader : readers) reader.join();
  EXPECT_TRUE(location.property_names().empty());
}

}  // namespace
