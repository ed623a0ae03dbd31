#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_D_EVSTAT_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_D_EVSTAT_H_

#include <cstdint>

#include "D_value.h"
#include "d_string.h"
#include "d_ustr.h"
#include "daqevstat_export.h"

class EqFct;
class vrel_daq_event_stat;

// The role of a statistic property, chosen from its name.
enum props : std::int32_t {
  DAQ_TOTAL_EVENTS = 0,
  DAQ_TOTAL_LOST_EVENTS = 1,
  DAQ_LOST_EVENT_PERIOD = 2,
  DAQ_EVENT_INFO = 3,
  DAQ_STAT_ON = 4,
};

// Value of prop_ for a property whose name matches no role.
inline constexpr std::int32_t kNoRole = -1;

// The statistic properties below share one shape: built from a full name
// string "<name> <description>" and a location (may be null), given the
// non-owning back pointer `stat` through set_ev_statp by the statistics
// object that owns them. A null name throws std::invalid_argument (a
// std::logic_error). They take no lock of their own: their state is that of
// their thread-safe bases, and the switch's remote write calls into the
// statistics object, which takes its own mutex.

// Integer statistic: the counters ".STAT.EV.TOTAL" and ".STAT.EV.LOST"
// (read-only), the period ".STAT.EV.LOST.PERIOD" (accepts values above 0)
// and the switch ".STAT.ON" (0 to non-zero creates the statistics' property
// set, non-zero to 0 removes it; the new value is stored after that call).
// The first of these patterns found in the whole name string decides; a name
// with none gives the role kNoRole, the value 0, and remote writes that store
// nothing and echo the request.
class DAQEVSTAT_EXPORT D_evstat_int : public quelmar::D_value<int> {
 public:
  D_evstat_int(char* name, EqFct* fct);
  ~D_evstat_int() override;

  void set_ev_statp(vrel_daq_event_stat* p) { stat = p; }
  std::int32_t role() const { return prop_; }

  void get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;
  // Replies with the resulting value as DATA_INT, never with an error. May
  // throw quelmar::Error from the store.
  void set(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;

 private:
  vrel_daq_event_stat* stat;
  std::int32_t prop_;
};

// Float statistic for the host: remote writes echo the request as a float
// and store nothing.
class DAQEVSTAT_EXPORT D_evstat_float : public quelmar::D_value<float> {
 public:
  D_evstat_float(char* name, EqFct* fct);
  ~D_evstat_float() override;

  void set_ev_statp(vrel_daq_event_stat* p) { stat = p; }

  void get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;
  void set(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;

 private:
  vrel_daq_event_stat* stat;
};

// String statistic for the host: a remote write is answered as a read.
class DAQEVSTAT_EXPORT D_evstat_str : public D_string {
 public:
  D_evstat_str(char* name, EqFct* fct);
  ~D_evstat_str() override;

  void set_ev_statp(vrel_daq_event_stat* p) { stat = p; }

  void get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;
  void set(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;

 private:
  vrel_daq_event_stat* stat;
};

// The current-event record ".STAT.EV.INFO": read-only for clients; a remote
// write replies with the stored record and stores nothing. A name without
// ".INFO" gives the role kNoRole; such a property answers writes the same way.
class DAQEVSTAT_EXPORT D_evstat_ustr : public D_ustr {
 public:
  D_evstat_ustr(char* name, EqFct* fct);
  ~D_evstat_ustr() override;

  void set_ev_statp(vrel_daq_event_stat* p) { stat = p; }
  std::int32_t role() const { return prop_; }

  void get(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;
  void set(EqAdr* ad, EqData* sd, EqData* dd, EqFct* fct) override;

 private:
  std::int32_t prop_;
  vrel_daq_event_stat* stat;
};

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_D_EVSTAT_H_
