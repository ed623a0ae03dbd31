// Remote get, set and get_multi on every property class, with arbitrary
// requests, both as direct virtual calls and through the location by name.
//
// Input: a configuration text for the location, a few set-up choices, then a
// sequence of operations. Besides crashes and sanitizer reports, the harness
// aborts when a remote write changes a property that must not change, or
// stores something other than what the request converts to.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "D_value.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "d_hist.h"
#include "d_string.h"
#include "d_ustr.h"
#include "eq_config.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "eq_fct.h"
#include "event.h"
#include "fuzz_input.h"
#include "quelmar_types.h"
#include "vrel_daq_event_stat.h"

namespace {

using daqevstat::fuzz::fill_request;
using daqevstat::fuzz::FuzzInput;

bool same_float(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_record(const EqData::UstrElement& a, const EqData::UstrElement& b) {
  return a.i1 == b.i1 && same_float(a.f1, b.f1) && same_float(a.f2, b.f2) && a.tm == b.tm &&
         a.str == b.str;
}

// The properties of one run, owned here, and a statistics object whose
// property set comes and goes with its switch.
struct Fixture {
  EqFct location{"FUZZ"};
  std::vector<std::unique_ptr<D_fct>> owned;
  quelmar::D_value<int>* plain_int = nullptr;
  quelmar::D_value<float>* plain_float = nullptr;
  D_evstat_int* total = nullptr;
  D_evstat_int* lost = nullptr;
  D_evstat_int* period = nullptr;
  D_evstat_int* lone_switch = nullptr;  // a switch without a statistics object
  D_evstat_int* no_role = nullptr;
  D_evstat_float* stat_float = nullptr;
  D_evstat_str* stat_str = nullptr;
  D_evstat_ustr* info = nullptr;
  D_evstat_ustr* ustr_no_role = nullptr;
  std::unique_ptr<vrel_daq_event_stat> stat;

  template <typename T>
  T* own(std::unique_ptr<T> prop) {
    T* raw = prop.get();
    owned.push_back(std::move(prop));
    location.add_property(raw, 2);
    return raw;
  }

  ~Fixture() {
    // The statistics object unregisters its own properties; the rest are
    // taken back before they are deleted, as the location requires.
    stat.reset();
    for (auto& prop : owned) location.rem_property(prop.get());
  }

  // Every property a direct call may reach now, the statistics object's
  // current set included.
  std::vector<D_fct*> targets() const {
    std::vector<D_fct*> all;
    for (const auto& prop : owned) all.push_back(prop.get());
    if (stat) {
      D_fct* const set[] = {stat->on_,
                            stat->current_event_,
                            stat->total_events_,
                            stat->total_lost_events_,
                            stat->lost_event_period_,
                            stat->event_latency_,
                            stat->event_period_,
                            stat->event_period_local_,
                            stat->event_id_diff_,
                            stat->lost_events_perc_total_,
                            stat->lost_events_perc_period_};
      for (D_fct* prop : set) {
        if (prop != nullptr) all.push_back(prop);
      }
    }
    return all;
  }
};

template <typename T>
std::unique_ptr<T> make_stat_prop(const char* name, EqFct* location) {
  // The statistic properties take their name as a modifiable string.
  std::string buffer(name);
  return std::make_unique<T>(buffer.data(), location);
}

void build(Fixture& f, FuzzInput& in) {
  // A configuration the properties restore from on registration: a switch
  // that starts on, a negative period, text where numbers belong.
  try {
    f.location.config().load_text(in.text(200), "fuzz");
  } catch (const config_error&) {
  }
  const u_int nbuf = in.u8() % 4;
  f.plain_int = f.own(std::make_unique<quelmar::D_value<int>>("FZ.INT plain int", nullptr, nbuf));
  f.plain_float =
      f.own(std::make_unique<quelmar::D_value<float>>("FZ.FLOAT plain float", nullptr, nbuf));
  const std::uint8_t setup = in.u8();
  f.plain_int->set_logging((setup & 1) != 0);
  f.plain_float->set_logging((setup & 2) != 0);
  if ((setup & 4) != 0) {
    // A history of the wrong type: every store throws the archiver fault.
    f.plain_int->set_history(std::make_unique<D_hist>("FZ.INT.HIST", nullptr, DATA_FLOAT));
  }
  f.total =
      f.own(make_stat_prop<D_evstat_int>("FZ.STAT.EV.TOTAL total number of events", &f.location));
  f.lost = f.own(
      make_stat_prop<D_evstat_int>("FZ.STAT.EV.LOST total number of lost events", &f.location));
  f.period = f.own(make_stat_prop<D_evstat_int>(
      "FZ.STAT.EV.LOST.PERIOD period (sec) for lost events in period", &f.location));
  f.lone_switch =
      f.own(make_stat_prop<D_evstat_int>("FZ.STAT.ON on/off statistics calculation", &f.location));
  f.no_role = f.own(make_stat_prop<D_evstat_int>("FZ.OTHER no role", &f.location));
  f.stat_float = f.own(make_stat_prop<D_evstat_float>("FZ.EVF float statistic", &f.location));
  f.stat_str = f.own(make_stat_prop<D_evstat_str>("FZ.EVS string statistic", &f.location));
  f.info = f.own(make_stat_prop<D_evstat_ustr>("FZ.STAT.EV.INFO current event info", &f.location));
  f.ustr_no_role = f.own(make_stat_prop<D_evstat_ustr>("FZ.EVU no role", &f.location));
  f.own(std::make_unique<D_spectrum>("FZ.SPECTRUM spectrum", 1 + in.u8() % 32, &f.location, false));
  f.own(std::make_unique<D_floathist>("FZ.FH float history", &f.location, "FH"));
  f.own(std::make_unique<D_string>("FZ.STR text", &f.location));
  f.own(std::make_unique<D_ustr>("FZ.USTR record", &f.location));
  if ((setup & 0x10) != 0) {
    // Any name: one whose base name is too long is refused, and there is no
    // statistics object in this run.
    const std::string name = in.text(80);
    try {
      f.stat = std::make_unique<vrel_daq_event_stat>(name.c_str(), &f.location);
    } catch (const std::invalid_argument&) {
      return;
    }
  } else {
    f.stat = std::make_unique<vrel_daq_event_stat>("FZS statistics", &f.location);
  }
  if ((setup & 8) != 0 && f.stat->total_events_ != nullptr) {
    // A counter whose every store fails: updates and resets throw and must
    // still release the statistics lock.
    f.stat->total_events_->set_history(std::make_unique<D_hist>("FZS.HIST", nullptr, DATA_FLOAT));
  }
}

// What a remote write must leave behind, for the classes whose write has a
// fixed effect. Called around every write, direct or by name; `in` may be
// null for a write by name (the location passes an empty request on).
struct WriteCheck {
  D_fct* prop;
  int int_before = 0;
  float float_before = 0.0f;
  std::string text_before;
  EqData::UstrElement record_before;

  explicit WriteCheck(D_fct* p) : prop(p) {
    if (auto* v = dynamic_cast<quelmar::D_value<int>*>(p)) int_before = v->value();
    if (auto* v = dynamic_cast<quelmar::D_value<float>*>(p)) float_before = v->value();
    if (auto* s = dynamic_cast<D_string*>(p)) text_before = s->value();
    if (auto* u = dynamic_cast<D_ustr*>(p)) record_before = u->snapshot();
  }

  // `threw` is true when the write ended in the archiver fault.
  void after(const EqData& request, const EqData& reply, bool threw) const {
    if (auto* e = dynamic_cast<D_evstat_int*>(prop)) {
      const int param = request.get_int();
      switch (e->role()) {
        case DAQ_TOTAL_EVENTS:
        case DAQ_TOTAL_LOST_EVENTS:
          // Counters are read-only for clients.
          FUZZ_CHECK(e->value() == int_before);
          break;
        case DAQ_LOST_EVENT_PERIOD:
          FUZZ_CHECK(e->value() == (param > 0 ? param : int_before));
          break;
        case DAQ_STAT_ON:
          if (!threw) FUZZ_CHECK(e->value() == param);
          break;
        default:
          FUZZ_CHECK(e->value() == int_before);
          break;
      }
      if (!threw) FUZZ_CHECK(reply.error() == 0 && reply.type() == DATA_INT);
      return;
    }
    if (auto* e = dynamic_cast<D_evstat_float*>(prop)) {
      FUZZ_CHECK(same_float(e->value(), float_before));
      FUZZ_CHECK(reply.type() == DATA_FLOAT && same_float(reply.get_float(), request.get_float()));
      return;
    }
    if (auto* e = dynamic_cast<D_evstat_str*>(prop)) {
      FUZZ_CHECK(e->value() == text_before);
      return;
    }
    if (auto* e = dynamic_cast<D_evstat_ustr*>(prop)) {
      const EqData::UstrElement now = e->snapshot();
      FUZZ_CHECK(same_record(now, record_before));
      const EqData::UstrElement* replied = reply.get_ustr(0);
      FUZZ_CHECK(replied != nullptr && same_record(*replied, now));
      return;
    }
    if (auto* v = dynamic_cast<quelmar::D_value<int>*>(prop)) {
      if (request.error() != 0) {
        FUZZ_CHECK(v->value() == int_before && reply.error() == ill_parameter);
      } else {
        // Stored before the history is asked, so also after the fault.
        FUZZ_CHECK(v->value() == request.get_value<int>());
      }
      return;
    }
    if (auto* v = dynamic_cast<quelmar::D_value<float>*>(prop)) {
      if (request.error() != 0) {
        FUZZ_CHECK(same_float(v->value(), float_before) && reply.error() == ill_parameter);
      } else {
        FUZZ_CHECK(same_float(v->value(), request.get_value<float>()));
      }
    }
  }
};

// Whether a property's store may throw the archiver fault: the faulty
// history, and the switch whose write resets a faulty counter.
bool may_throw(const Fixture& f, const D_fct* prop) {
  return prop == f.plain_int || (f.stat && prop == f.stat->on_);
}

void direct_call(Fixture& f, FuzzInput& in) {
  const std::vector<D_fct*> all = f.targets();
  D_fct* prop = all[in.below(static_cast<std::uint32_t>(all.size()))];
  EqData request;
  fill_request(in, request);
  EqData reply;
  EqAdr address{"FUZZ", prop->basename()};
  const std::uint8_t kind = in.u8() % 5;
  if (kind == 0) {
    prop->get(&address, &request, &reply, &f.location);
    return;
  }
  if (kind == 1) {
    // get_multi takes a missing request as an empty one.
    int idx = in.u8() % 16;
    time_t tm = static_cast<time_t>(in.interesting_int());
    prop->get_multi(&address, in.flag() ? nullptr : &request, &reply, &idx,
                    in.flag() ? nullptr : "FUZZ", &tm);
    FUZZ_CHECK(reply.type() == DATA_USTR && reply.length() > 0);
    return;
  }
  if (kind == 3) {
    // The read by selector: without buffer slots, always the current value.
    const auto evid = static_cast<std::uint64_t>(in.interesting_int());
    const auto sec = static_cast<time_t>(in.interesting_int());
    const auto usec = static_cast<int>(in.interesting_int());
    if (auto* v = dynamic_cast<quelmar::D_value<int>*>(prop)) {
      const int found = v->value(evid, sec, usec);
      if (v->get_nbuf() == 0) FUZZ_CHECK(found == v->value());
    } else if (auto* v = dynamic_cast<quelmar::D_value<float>*>(prop)) {
      const float found = v->value(evid, sec, usec);
      if (v->get_nbuf() == 0) FUZZ_CHECK(same_float(found, v->value()));
    }
    return;
  }
  if (kind == 2) {
    int idx = in.u8() % 16;
    prop->names(&address, &reply, &idx);
    return;
  }
  const WriteCheck check(prop);
  bool threw = false;
  try {
    prop->set(&address, &request, &reply, in.flag() ? nullptr : &f.location);
  } catch (const quelmar::Error&) {
    FUZZ_CHECK(may_throw(f, prop));
    threw = true;
  }
  check.after(request, reply, threw);
}

void call_by_name(Fixture& f, FuzzInput& in) {
  const std::vector<std::string> names = f.location.property_names();
  const std::string name = in.flag() ? in.text(40) : names[in.below(names.size())];
  EqData request;
  fill_request(in, request);
  EqData* const request_ptr = in.flag() ? nullptr : &request;
  EqData reply;
  switch (in.u8() % 3) {
    case 0:
      f.location.remote_get(name, request_ptr, &reply);
      break;
    case 1: {
      // Only the fixture's own properties: the statistics object's may be
      // deleted by the very write that reaches its switch.
      D_fct* prop = nullptr;
      for (const auto& owned : f.owned) {
        if (owned->basename() == name) prop = owned.get();
      }
      if (prop == nullptr) {
        f.location.remote_set(name, request_ptr, &reply);
        break;
      }
      const WriteCheck check(prop);
      f.location.remote_set(name, request_ptr, &reply);
      const bool threw = reply.error() == wrong_archiver_type;
      FUZZ_CHECK(!threw || may_throw(f, prop));
      check.after(request_ptr != nullptr ? request : EqData(), reply, threw);
      break;
    }
    default:
      f.location.remote_get_multi(name, request_ptr, &reply, in.u8() % 16,
                                  static_cast<time_t>(in.interesting_int()));
      break;
  }
}

// Stores that fill the event buffers, so that reads by event id and time find
// entries, and events that give the statistics properties values.
void store(Fixture& f, FuzzInput& in) {
  try {
    switch (in.u8() % 4) {
      case 0:
        f.plain_int->set_value(static_cast<int>(in.interesting_int()), in.interesting_int(),
                               static_cast<time_t>(in.interesting_int() % 4000000000LL),
                               static_cast<int>(in.interesting_int() % 2000000));
        break;
      case 1:
        f.plain_float->set_value(static_cast<float>(in.interesting_real()), in.interesting_int(),
                                 static_cast<time_t>(in.interesting_int() % 4000000000LL),
                                 static_cast<int>(in.interesting_int() % 2000000));
        break;
      case 2: {
        vrel_time_id tid{};
        tid.event_number = in.take<std::uint32_t>();
        tid.time.timeup = in.take<std::uint32_t>();
        tid.time.timelow = in.take<std::uint32_t>();
        if (f.stat) f.stat->update_by_tid(&tid);
        break;
      }
      default:
        if (f.stat) f.stat->set_event_type(static_cast<int>(in.interesting_int()));
        break;
    }
  } catch (const quelmar::Error&) {
  }
}

// An int property written to the configuration and read back keeps its value.
void persist(Fixture& f, FuzzInput& in) {
  quelmar::D_value<int>* prop = in.flag() ? f.plain_int : f.period;
  const int before = prop->value();
  std::ostringstream text;
  prop->write(text);
  f.location.config().set_text(prop->basename(), text.str());
  f.location.config().insert(prop->basename(), DATA_INT);
  prop->read();
  FUZZ_CHECK(prop->value() == before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  daqevstat::fuzz::silence_output_once();

  FuzzInput in(data, size);
  Fixture f;
  build(f, in);
  for (int steps = 0; steps < 256 && !in.empty(); ++steps) {
    switch (in.u8() % 8) {
      case 0:
      case 1:
      case 2:
        direct_call(f, in);
        break;
      case 3:
      case 4:
      case 5:
        call_by_name(f, in);
        break;
      case 6:
        store(f, in);
        break;
      default:
        persist(f, in);
        break;
    }
  }
  return 0;
}
