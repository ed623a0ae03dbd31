#ifndef NET_EXPOSITION_H_
#define NET_EXPOSITION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace daqnet::exposition {

// The generic part of a metrics scrape: families, label sets, numbers and
// histogram buckets written in an exposition format. It knows nothing of
// locations or properties; net/metrics.cc maps those onto families.
//
// Thread safety: none of its own. A Writer and a Labels belong to one thread
// at a time; the free functions may run in any number of threads at once.

enum class Kind { gauge, counter, histogram };

struct Family {
  const char* name;
  Kind kind;
  const char* help;
};

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a
// valid one (overlong forms, surrogates and values above U+10FFFF included).
std::size_t utf8_length(std::string_view text, std::size_t i);

// `text` as a valid UTF-8 string: each byte that starts no valid sequence
// becomes U+FFFD.
std::string valid_utf8(std::string_view text);

// A label value of the text format, between its quotes: backslash, double
// quote and newline escaped, invalid UTF-8 as valid_utf8 makes it.
std::string label_value(std::string_view text);

// Appends `value` as the text format writes it: integers as such, the rest
// as the shortest of %.15g, %.16g and %.17g that reads back as the same
// double; NaN, +Inf, -Inf.
void append_number(std::string& out, double value);

// The labels of a sample, in order: each name with its value as given, and
// the text form name="<escaped value>",... built as they are added.
class Labels {
 public:
  void clear();
  void add(std::string_view name, std::string_view value);

  std::size_t size() const { return pairs_.size(); }
  std::string_view name(std::size_t i) const;
  std::string_view value(std::size_t i) const;
  // What goes between the braces of a text sample.
  const std::string& text() const { return text_; }

 private:
  struct Pair {
    std::size_t name_at, name_size, value_at, value_size;
  };
  std::string raw_;  // names and values as given, one after the other
  std::vector<Pair> pairs_;
  std::string text_;
};

// A distribution of 1 ms-wide bins: bin i covers [start + i * width,
// start + (i + 1) * width) milliseconds, bin 0 also holding everything
// below its upper edge and the last bin everything from its lower edge on.
// A start or width that is not finite, or a width that is not positive,
// reads as start 0, width 1.
// `used_bound`: an index from which every bin is known to be +0.0, such as
// EqData::used_bound() of the reply the bins came in; the bins from it on
// are not looked at.
struct Bins {
  const std::vector<double>* counts = nullptr;
  double start_ms = 0.0;
  double width_ms = 1.0;
  std::size_t used_bound = static_cast<std::size_t>(-1);
};

// Upper bounds of the classic histogram buckets, in whole milliseconds.
extern const int kClassicBoundsMs[];
extern const std::size_t kClassicBoundCount;

// A distribution's classic histogram: the cumulative count at each bound
// that lies at or below the last bin's lower edge (so no bucket counts the
// clamped last bin short), the count (+Inf) and the sum, which counts each
// bin at its midpoint (the clamped last bin too), in seconds.
struct ClassicHistogram {
  std::vector<double> cumulative;  // [b]: count at kClassicBoundsMs[b]
  double count = 0.0;
  double sum_seconds = 0.0;
};
void classic_histogram(const Bins& bins, ClassicHistogram* out);

// Index one past the highest bin that is not 0 (NaN included), of those
// below `bound` (every bin from it on known to be +0.0).
std::size_t used_length(const std::vector<double>& bins,
                        std::size_t bound = static_cast<std::size_t>(-1));

// A distribution's native histogram: sparse exponential buckets of schema
// kNativeSchema (each bucket's upper bound 2^(1/32) times its lower bound),
// bucket k covering (2^((k-1)/32), 2^(k/32)] seconds. Each 1 ms bin counts
// whole in the bucket that holds its lower edge; bin 0 (and any bin whose
// lower edge is not above 0) counts in the zero bucket [0, zero_threshold],
// zero_threshold being the lower bound of the first positive bin's bucket.
// The clamped last bin counts like the others, at its lower edge.
// Only for bins that are all whole numbers from 0 to 2^53: `exact` is false
// (and the rest empty) otherwise.
constexpr int kNativeSchema = 5;
struct NativeHistogram {
  bool exact = false;
  double zero_threshold = 0.0;
  std::uint64_t zero_count = 0;
  std::vector<std::pair<std::int32_t, std::uint64_t>> buckets;  // (key, count), keys ascending
  std::uint64_t count = 0;
};
void native_histogram(const Bins& bins, NativeHistogram* out);
// The native bucket that holds `seconds` (> 0) at kNativeSchema.
std::int32_t native_key(double seconds);
// The upper bound of native bucket `key`, in seconds.
double native_upper_bound(std::int32_t key);

// Collects the samples of one scrape, family by family, and writes them out
// with each family announced once, in the order of the families given.
// Families with no sample are left out.
class Writer {
 public:
  virtual ~Writer() = default;
  // Drops the samples, keeping the buffers' capacity.
  virtual void clear() = 0;
  virtual void sample(int family, const Labels& labels, double value) = 0;
  // A count too large for a double to hold exactly.
  virtual void sample_count(int family, const Labels& labels, std::uint64_t value) = 0;
  // An empty distribution (no bins) writes nothing.
  virtual void histogram(int family, const Labels& labels, const Bins& bins) = 0;
  virtual std::string finish() const = 0;
};

// The text format 0.0.4. `families` must outlive the writer.
class TextWriter final : public Writer {
 public:
  TextWriter(const Family* families, std::size_t count);

  void clear() override;
  void sample(int family, const Labels& labels, double value) override;
  void sample_count(int family, const Labels& labels, std::uint64_t value) override;
  void histogram(int family, const Labels& labels, const Bins& bins) override;
  std::string finish() const override;

 private:
  std::string& start(int family, const char* suffix, const Labels& labels);

  const Family* families_;
  std::vector<std::string> samples_;  // [family]: its sample lines
  ClassicHistogram histogram_;        // reused from one distribution to the next
  std::string bucket_head_;           // the same
  std::vector<char> lines_;           // the same
};

// The protobuf exposition (io.prometheus.client.MetricFamily, each message
// preceded by its length as a varint; net/exposition.proto is its schema):
// each family one message, each histogram with both its classic buckets and,
// where native_histogram() is exact, its native ones. `families` must
// outlive the writer.
class ProtobufWriter final : public Writer {
 public:
  ProtobufWriter(const Family* families, std::size_t count);

  void clear() override;
  void sample(int family, const Labels& labels, double value) override;
  void sample_count(int family, const Labels& labels, std::uint64_t value) override;
  void histogram(int family, const Labels& labels, const Bins& bins) override;
  std::string finish() const override;

 private:
  void metric(int family, const Labels& labels, const std::string& value_field);

  const Family* families_;
  std::vector<std::string> metrics_;  // [family]: its Metric fields, each tagged
  ClassicHistogram classic_;          // reused from one distribution to the next
  NativeHistogram native_;
  std::string scratch_, field_;
};

// The Content-Type of the protobuf exposition.
extern const char kProtobufContentType[];

}  // namespace daqnet::exposition

#endif  // NET_EXPOSITION_H_
