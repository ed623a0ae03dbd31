#include "d_evstat.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "eq_data.h"
#include "stat_property_names.h"
#include "vrel_daq_event_stat.h"

namespace {

// The string copy each base is built from; a null name must not reach
// std::string's constructor, whose behaviour for null is undefined.
std::string checked_name(const char* name) {
  if (name == nullptr) {
    throw std::invalid_argument("null property name");
  }
  return std::string(name);
}

namespace names = daqevstat::stat_property;

// The roles are chosen from the registered name string by the rule the
// properties have always used, not by stat_property::find_statistic: the
// whole string, description included, is searched, and the first suffix that
// occurs wins, so the period is tested before the lost count, whose suffix
// is its prefix. The two agree on every name the statistics object makes
// unless its base itself holds a suffix: "A.STAT.EV.TOTAL" + ".STAT.ON"
// takes the role of the total here.
std::int32_t int_role_from_name(const char* name) {
  struct Role {
    const names::Name& name;
    std::int32_t role;
  };
  static const Role kRoles[] = {{names::kTotal, DAQ_TOTAL_EVENTS},
                                {names::kLostPeriod, DAQ_LOST_EVENT_PERIOD},
                                {names::kLost, DAQ_TOTAL_LOST_EVENTS},
                                {names::kOn, DAQ_STAT_ON}};
  const std::string_view text(name);
  for (const Role& role : kRoles) {
    if (text.find(role.name.suffix) != std::string_view::npos) return role.role;
  }
  return kNoRole;
}

// The event information is recognised by this text anywhere in the name
// string, as it always has been.
constexpr std::string_view kEventInfoMark = ".INFO";
static_assert(names::kEventInfo.suffix.find(kEventInfoMark) != std::string_view::npos,
              "the event information's name carries the mark");

std::int32_t ustr_role_from_name(const char* name) {
  return std::string_view(name).find(kEventInfoMark) != std::string_view::npos ? DAQ_EVENT_INFO
                                                                               : kNoRole;
}

}  // namespace

// --- D_evstat_int ------------------------------------------------------------

// checked_name runs in the base's initialiser, so int_role_from_name never
// sees a null name.
D_evstat_int::D_evstat_int(char* name, EqFct* fct)
    : quelmar::D_value<int>(checked_name(name), fct, 0),
      stat(nullptr),
      prop_(int_role_from_name(name)) {}

D_evstat_int::~D_evstat_int() = default;

void D_evstat_int::get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) {
  quelmar::D_value<int>::get(ad, sd, dd, fct);
}

void D_evstat_int::set(EqAdr* /*ad*/, EqData* sd, EqData* dd, EqFct* /*fct*/) {
  int param = sd->get_int();
  switch (prop_) {
    case DAQ_TOTAL_EVENTS:
    case DAQ_TOTAL_LOST_EVENTS:
      param = value();
      break;
    case DAQ_LOST_EVENT_PERIOD:
      if (param > 0) set_value(param);
      param = value();
      break;
    case DAQ_STAT_ON:
      if (stat != nullptr) {
        // The old value decides, read before the property set changes; the
        // switch stores the new value only after the set has been built or
        // removed, so an event seen in between still finds the old state.
        const int current = value();
        if (current == 0 && param != 0) {
          stat->create_all_props();
        } else if (current != 0 && param == 0) {
          // Until 0 is stored, events that find the set gone must not make
          // it again.
          stat->begin_switch_off();
          struct EndSwitchOff {
            vrel_daq_event_stat* stat;
            ~EndSwitchOff() { stat->end_switch_off(); }
          } end_switch_off{stat};
          stat->delete_all_props();
          set_value(param);
          break;
        }
      }
      set_value(param);
      break;
    default:
      break;
  }
  dd->set(param, 0);
}

// --- D_evstat_float ----------------------------------------------------------

D_evstat_float::D_evstat_float(char* name, EqFct* fct)
    : quelmar::D_value<float>(checked_name(name), fct, 0), stat(nullptr) {}

D_evstat_float::~D_evstat_float() = default;

void D_evstat_float::get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) {
  quelmar::D_value<float>::get(ad, sd, dd, fct);
}

void D_evstat_float::set(EqAdr* /*ad*/, EqData* sd, EqData* dd, EqFct* /*fct*/) {
  const float param = sd->get_float();
  dd->set(param, 0);
}

// --- D_evstat_str ------------------------------------------------------------

D_evstat_str::D_evstat_str(char* name, EqFct* fct)
    : D_string(checked_name(name), fct), stat(nullptr) {}

D_evstat_str::~D_evstat_str() = default;

void D_evstat_str::get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) {
  D_string::get(ad, sd, dd, fct);
}

void D_evstat_str::set(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) { get(ad, sd, dd, fct); }

// --- D_evstat_ustr -----------------------------------------------------------

D_evstat_ustr::D_evstat_ustr(char* name, EqFct* fct)
    : D_ustr(checked_name(name), fct), prop_(ustr_role_from_name(name)), stat(nullptr) {}

D_evstat_ustr::~D_evstat_ustr() = default;

void D_evstat_ustr::get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) {
  D_ustr::get(ad, sd, dd, fct);
}

// Every role replies with the stored record: the property is read-only, and
// a property without a role has no other sensible answer.
void D_evstat_ustr::set(EqAdr* /*ad*/, EqData* /*sd*/, EqData* dd, EqFct* /*fct*/) {
  const USTR* record = value();
  if (record != nullptr) {
    dd->set(*record, 0);
  }
}
