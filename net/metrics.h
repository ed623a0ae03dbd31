#ifndef NET_METRICS_H_
#define NET_METRICS_H_

#include <string>
#include <vector>

class EqFct;

namespace daqnet {

// Every property of every location in `locations` in the Prometheus text
// exposition format 0.0.4, each read by name through remote_get as a client
// reads it. Each family is announced once (HELP, TYPE) and followed by the
// samples of every location in the order given, and within a location in
// the order it lists its properties. Every sample is labelled
// location="<location name>"; the statistics properties "<base>.STAT..."
// also base="<base>", and become these families:
//
//   daqevstat_stat_on                      gauge      .STAT.ON (its value; 0 off)
//   daqevstat_events_total                 counter    .STAT.EV.TOTAL, widened to 64 bits
//   daqevstat_lost_events                  gauge      .STAT.EV.LOST
//   daqevstat_lost_period_seconds          gauge      .STAT.EV.LOST.PERIOD
//   daqevstat_current_event_number         gauge      .STAT.EV.INFO: event number
//   daqevstat_current_event_ordinal        gauge      .STAT.EV.INFO: its count field
//   daqevstat_current_event_timestamp_seconds gauge   .STAT.EV.INFO: its time
//   daqevstat_current_event_info           gauge (1)  .STAT.EV.INFO: type="<its text>"
//   daqevstat_event_number_difference      gauge      .STAT.EV.DIFF
//   daqevstat_lost_events_ratio            gauge      .STAT.EV.LOST.PERC / 100
//   daqevstat_lost_events_period_ratio     gauge      .STAT.EV.LOST.PRD.PERC / 100
//   daqevstat_event_latency_seconds        histogram  .STAT.EV.LATENCY.TD
//   daqevstat_event_period_seconds         histogram  .STAT.EV.PERIOD.TD
//   daqevstat_event_local_period_seconds   histogram  .STAT.EV.PERIODL.TD
//
// Any other property with a numeric reply becomes
// daqevstat_property_value{location="...",property="<name>"}; other replies
// are left out, as is a property whose read fails.
//
// The event total only grows while statistics are on and restarts from 0 at
// a switch-on and a clear, which a counter's consumers treat as a restart;
// the lost count shrinks when a late event fills its gap, so it is a gauge.
// EV.TOTAL holds only the low 32 bits of the total; the current-event
// record carries the whole total as a float (the total when the last event
// was counted, within far less than 2^31 of the truth). The family's value is
// the one congruent to EV.TOTAL (read as unsigned) modulo 2^32 nearest to
// that float, when the two agree to within the float's rounding plus 2^20
// events counted between the two reads. When they do not, they were read
// across a clear or a switch-on (EV.TOTAL restarts at once, the record only
// with the next event), and EV.TOTAL as it is, the count since that restart,
// is the value. Left ambiguous: a clear that comes within about 2^20 events
// of a multiple of 2^32 reports a value near that multiple until the next
// event (the two values cannot tell it from a total that just crossed it).
//
// Histograms: a distribution's bins are 1 ms wide (from its start and
// increment), bin 0 also holding everything below its upper edge and the
// last bin everything from its lower edge on. Buckets are cumulative at 61
// bounds in whole milliseconds: 1 ms apart up to 14 ms, then each 11 to
// 15 % above the one before, up to 8191 ms (the last bin's lower edge).
// Each bound is present while it lies at or below the last bin's lower edge
// (so no bucket counts the clamped last bin short), and +Inf. _count is
// the sum of the bins; _sum counts each bin at its midpoint (the last bin
// too, which clamps larger values), so it approximates the true sum to half
// a bin per sample.
//
// Label values are escaped (backslash, double quote, newline) and any byte
// sequence that is not UTF-8 becomes U+FFFD.
//
// Thread safety: it may run in any number of threads at once and alongside
// anything the locations allow during remote calls. Each location must
// outlive the call. Each thread keeps its replies and text buffers from one
// call to the next (thread-local, so nothing is shared): a scrape then
// allocates next to nothing, at the price of about 200 KB per statistics
// object held by each thread that has rendered, until it exits. Nothing read
// is reused: every call reads every property afresh.
std::string render_metrics(const std::vector<EqFct*>& locations);

// The formats of a scrape: the text format above, or the protobuf
// exposition (length-delimited io.prometheus.client.MetricFamily messages,
// net/exposition.proto) with the same families, samples and labels (label
// values as valid UTF-8, unescaped), the event total as a double, and each
// distribution as one histogram carrying both the classic buckets above and
// native ones (see exposition::native_histogram and docs/http.md).
enum class MetricsFormat { text, protobuf };
std::string render_metrics(const std::vector<EqFct*>& locations, MetricsFormat format);

}  // namespace daqnet

#endif  // NET_METRICS_H_
