#ifndef NET_METRICS_H_
#define NET_METRICS_H_

#include <string>

class EqFct;

namespace daqnet {

// Every property of `location` in the Prometheus text exposition format
// 0.0.4, each read by name through remote_get as a client reads it. The
// statistics properties "<base>.STAT..." become these families, each sample
// labelled base="<base>":
//
//   daqevstat_stat_on                      gauge      .STAT.ON (its value; 0 off)
//   daqevstat_events_total                 counter    .STAT.EV.TOTAL
//   daqevstat_lost_events                  gauge      .STAT.EV.LOST
//   daqevstat_lost_period_seconds          gauge      .STAT.EV.LOST.PERIOD
//   daqevstat_current_event_number         gauge      .STAT.EV.INFO: event number
//   daqevstat_current_event_count          gauge      .STAT.EV.INFO: its count field
//   daqevstat_current_event_timestamp_seconds gauge   .STAT.EV.INFO: its time
//   daqevstat_current_event_info           gauge (1)  .STAT.EV.INFO: text="<its text>"
//   daqevstat_event_number_difference      gauge      .STAT.EV.DIFF
//   daqevstat_lost_events_ratio            gauge      .STAT.EV.LOST.PERC / 100
//   daqevstat_lost_events_period_ratio     gauge      .STAT.EV.LOST.PRD.PERC / 100
//   daqevstat_event_latency_seconds        histogram  .STAT.EV.LATENCY.TD
//   daqevstat_event_period_seconds         histogram  .STAT.EV.PERIOD.TD
//   daqevstat_event_local_period_seconds   histogram  .STAT.EV.PERIODL.TD
//
// Any other property with a numeric reply becomes
// daqevstat_property_value{property="<name>"}; other replies are left out,
// as is a property whose read fails.
//
// The event total only grows while statistics are on and restarts from 0 at
// a switch-on and a clear, which a counter's consumers treat as a restart;
// the lost count shrinks when a late event fills its gap, so it is a gauge.
//
// Histograms: a distribution's bins are 1 ms wide (from its start and
// increment), bin 0 also holding everything below its upper edge and the
// last bin everything from its lower edge on. Buckets are cumulative, at
// le = 0.001, 0.002, 0.005, 0.01, ..., 5 seconds, each present while it
// lies below the last bin (so no bucket counts the clamped last bin short),
// and +Inf. _count is the sum of the bins; _sum counts each bin at its
// midpoint (the last bin too, which clamps larger values), so it
// approximates the true sum to half a bin per sample.
//
// Label values are escaped (backslash, double quote, newline) and any byte
// sequence that is not UTF-8 becomes U+FFFD.
std::string render_metrics(EqFct& location);

}  // namespace daqnet

#endif  // NET_METRICS_H_
