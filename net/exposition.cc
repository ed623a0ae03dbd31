#include "net/exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace daqnet::exposition {

// Upper bounds of the histogram buckets, in whole milliseconds so that each
// bucket holds whole 1 ms bins. Each bucket is as wide as it may be while
// histogram_quantile puts the p99 of samples all in one bin within 1.5 times
// max(10 %, 1 ms) of that bin (made by widening each bucket from its lower
// bound until that no longer holds). Samples spread over their bucket come
// within max(10 %, 1 ms); no distribution does worse than 1.52 times it.
// The 10 % for every distribution would take about 85 bounds.
const int kClassicBoundsMs[] = {
    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,  14,   16,   18,
    20,   23,   26,   29,   33,   38,   43,   49,   56,   64,   73,   84,   96,  110,  126,  145,
    166,  191,  219,  252,  290,  333,  383,  441,  507,  583,  671,  772,  888, 1022, 1176, 1354,
    1559, 1795, 2066, 2379, 2739, 3154, 3631, 4181, 4814, 5543, 6382, 7348, 8191};
const std::size_t kClassicBoundCount = sizeof(kClassicBoundsMs) / sizeof(kClassicBoundsMs[0]);

std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

namespace {

constexpr const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

// Appends `text` with invalid UTF-8 replaced and, when `escape`, the text
// format's three escapes.
void append_text(std::string& out, std::string_view text, bool escape) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const char c = text[i];
    if (escape && c == '\\') {
      out += "\\\\";
    } else if (escape && c == '"') {
      out += "\\\"";
    } else if (escape && c == '\n') {
      out += "\\n";
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
}

// The label of each classic bound, in seconds as short as it reads:
// ",le=\"0.001\"".
const std::vector<std::string>& bound_labels() {
  static const std::vector<std::string> labels = [] {
    std::vector<std::string> out;
    for (std::size_t b = 0; b < kClassicBoundCount; ++b) {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, ",le=\"%.15g\"", kClassicBoundsMs[b] / 1000.0);
      out.emplace_back(buffer);
    }
    return out;
  }();
  return labels;
}

const char* type_name(Kind kind) {
  return kind == Kind::counter ? "counter" : kind == Kind::histogram ? "histogram" : "gauge";
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_text(out, text, false);
  return out;
}

std::string label_value(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_text(out, text, true);
  return out;
}

namespace {

// The longest text format_number writes: a sign, 17 digits, a point and an
// exponent, with room to spare.
constexpr std::size_t kNumberRoom = 40;

// to_chars and from_chars format and parse as printf and strtod do in the C
// locale, without their locale and stream machinery (a scrape writes some
// two hundred numbers). Writes at most kNumberRoom characters at `out`;
// returns their end.
char* format_number(char* out, double value) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  if (std::isinf(value)) {
    std::memcpy(out, value > 0 ? "+Inf" : "-Inf", 4);
    return out + 4;
  }
  char* end = out;
  if (value == std::trunc(value) && std::fabs(value) < 1.0e15) {
    end = std::to_chars(out, out + kNumberRoom, static_cast<long long>(value)).ptr;
  } else {
    for (const int precision : {15, 16, 17}) {
      end = std::to_chars(out, out + kNumberRoom, value, std::chars_format::general, precision).ptr;
      double back = 0.0;
      std::from_chars(out, end, back);
      if (back == value) break;
    }
  }
  return end;
}

}  // namespace

void append_number(std::string& out, double value) {
  char buffer[kNumberRoom];
  out.append(buffer, format_number(buffer, value));
}

void Labels::clear() {
  raw_.clear();
  pairs_.clear();
  text_.clear();
}

void Labels::add(std::string_view name, std::string_view value) {
  Pair pair{raw_.size(), name.size(), raw_.size() + name.size(), value.size()};
  raw_ += name;
  raw_ += value;
  pairs_.push_back(pair);
  if (!text_.empty()) text_ += ',';
  text_ += name;
  text_ += "=\"";
  append_text(text_, value, true);
  text_ += '"';
}

std::string_view Labels::name(std::size_t i) const {
  return std::string_view(raw_).substr(pairs_[i].name_at, pairs_[i].name_size);
}

std::string_view Labels::value(std::size_t i) const {
  return std::string_view(raw_).substr(pairs_[i].value_at, pairs_[i].value_size);
}

// Most of a distribution's bins are usually empty and a scrape reads three
// of 8192 bins per object, so blocks of them are tested at once: the bit
// patterns OR-ed together without their sign bits are 0 exactly when every
// bin of the block is +0 or -0, a loop the compiler vectorises.
std::size_t used_length(const std::vector<double>& bins, std::size_t bound) {
  const auto bits = [&bins](std::size_t i) {
    std::uint64_t out;
    std::memcpy(&out, &bins[i], sizeof out);
    return out;
  };
  constexpr std::size_t kBlock = 16;
  std::size_t n = std::min(bins.size(), bound);
  while (n >= kBlock) {
    std::uint64_t any[4] = {};
    for (std::size_t j = n - kBlock; j < n; j += 4) {
      any[0] |= bits(j);
      any[1] |= bits(j + 1);
      any[2] |= bits(j + 2);
      any[3] |= bits(j + 3);
    }
    if (((any[0] | any[1] | any[2] | any[3]) << 1) != 0) break;
    n -= kBlock;
  }
  while (n > 0 && bins[n - 1] == 0.0) --n;
  return n;
}

// One pass over the bins, skipping empty ones: a scrape reads three
// distributions of 8192 bins per object, most of them usually empty.
void classic_histogram(const Bins& in, ClassicHistogram* out) {
  out->cumulative.clear();
  out->count = 0.0;
  out->sum_seconds = 0.0;
  if (in.counts == nullptr || in.counts->empty()) return;
  const std::vector<double>& bins = *in.counts;
  double start = in.start_ms;
  double width = in.width_ms;
  if (!std::isfinite(start) || !std::isfinite(width) || width <= 0.0) {
    start = 0.0;
    width = 1.0;
  }
  const std::size_t last = bins.size() - 1;
  const std::size_t used = used_length(bins, in.used_bound);
  double count = 0.0;
  double sum_ms = 0.0;
  // [k]: the bins first counted at bound k (their upper edge at or below
  // it); [kClassicBoundCount]: those only +Inf counts, the clamped last bin
  // too.
  double first_counted_at[sizeof(kClassicBoundsMs) / sizeof(kClassicBoundsMs[0]) + 1] = {};
  std::size_t k = 0;
  for (std::size_t i = 0; i < used; ++i) {
    const double v = bins[i];
    if (v == 0.0) continue;
    count += v;
    sum_ms += v * (start + (static_cast<double>(i) + 0.5) * width);
    if (i == last) {
      first_counted_at[kClassicBoundCount] += v;
      continue;
    }
    const double upper = start + static_cast<double>(i + 1) * width;
    while (k < kClassicBoundCount && kClassicBoundsMs[k] < upper) ++k;
    first_counted_at[k] += v;
  }
  double below = 0.0;
  for (std::size_t b = 0; b < kClassicBoundCount; ++b) {
    if (kClassicBoundsMs[b] > start + static_cast<double>(last) * width) break;
    below += first_counted_at[b];
    out->cumulative.push_back(below);
  }
  out->count = count;
  out->sum_seconds = sum_ms / 1000.0;
}

TextWriter::TextWriter(const Family* families, std::size_t count)
    : families_(families), samples_(count) {}

void TextWriter::clear() {
  for (std::string& samples : samples_) samples.clear();
}

std::string& TextWriter::start(int family, const char* suffix, const Labels& labels) {
  std::string& out = samples_[family];
  out += families_[family].name;
  out += suffix;
  out += '{';
  out += labels.text();
  return out;
}

void TextWriter::sample(int family, const Labels& labels, double value) {
  std::string& out = start(family, "", labels);
  out += "} ";
  append_number(out, value);
  out += '\n';
}

void TextWriter::sample_count(int family, const Labels& labels, std::uint64_t value) {
  std::string& out = start(family, "", labels);
  out += "} ";
  char buffer[24];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
  out += '\n';
}

void TextWriter::histogram(int family, const Labels& labels, const Bins& bins) {
  if (bins.counts == nullptr || bins.counts->empty()) return;
  classic_histogram(bins, &histogram_);
  const std::vector<std::string>& le = bound_labels();
  // Some sixty bucket lines share their name and labels, and most of them
  // the count of the line before (all those below the first filled bin,
  // all those above the last): each line is put together in one buffer,
  // from a head made once and the previous line's digits where the count
  // is the same, and the buffer joins the family's text at once.
  bucket_head_.assign(families_[family].name);
  bucket_head_ += "_bucket{";
  bucket_head_ += labels.text();
  constexpr std::string_view kInf = ",le=\"+Inf\"";
  const std::size_t lines = histogram_.cumulative.size() + 1;
  // A bound's label is ",le=\"<at most 5 characters>\"", +Inf's is shorter.
  constexpr std::size_t kBoundRoom = 16;
  const std::size_t line_room = bucket_head_.size() + kBoundRoom + 2 + kNumberRoom + 1;
  if (lines_.size() < lines * line_room) lines_.resize(lines * line_room);
  char* at = lines_.data();
  char digits[kNumberRoom];
  std::size_t digit_count = 0;
  double digits_of = 0.0;
  bool have_digits = false;
  const auto bucket = [&](std::string_view bound, double value) {
    std::memcpy(at, bucket_head_.data(), bucket_head_.size());
    at += bucket_head_.size();
    std::memcpy(at, bound.data(), bound.size());
    at += bound.size();
    *at++ = '}';
    *at++ = ' ';
    // The same double (bit for bit) gives the same text.
    if (!have_digits || std::memcmp(&value, &digits_of, sizeof value) != 0) {
      digit_count = static_cast<std::size_t>(format_number(digits, value) - digits);
      digits_of = value;
      have_digits = true;
    }
    std::memcpy(at, digits, digit_count);
    at += digit_count;
    *at++ = '\n';
  };
  for (std::size_t b = 0; b < histogram_.cumulative.size(); ++b) {
    bucket(le[b], histogram_.cumulative[b]);
  }
  bucket(kInf, histogram_.count);
  std::string& out = samples_[family];
  out.append(lines_.data(), at);
  const auto line = [&](const char* suffix, double value) {
    start(family, suffix, labels) += "} ";
    append_number(out, value);
    out += '\n';
  };
  line("_sum", histogram_.sum_seconds);
  line("_count", histogram_.count);
}

std::string TextWriter::finish() const {
  std::size_t size = 0;
  for (std::size_t family = 0; family < samples_.size(); ++family) {
    if (samples_[family].empty()) continue;
    const Family& f = families_[family];
    size += 2 * std::strlen(f.name) + std::strlen(f.help) + 40 + samples_[family].size();
  }
  std::string out;
  out.reserve(size);
  for (std::size_t family = 0; family < samples_.size(); ++family) {
    if (samples_[family].empty()) continue;
    const Family& f = families_[family];
    out += "# HELP ";
    out += f.name;
    out += ' ';
    out += f.help;
    out += "\n# TYPE ";
    out += f.name;
    out += ' ';
    out += type_name(f.kind);
    out += '\n';
    out += samples_[family];
  }
  return out;
}

// --- Native histograms ---

namespace {

constexpr int kNativeBucketsPerOctave = 1 << kNativeSchema;
constexpr double kLargestExact = 9007199254740992.0;  // 2^53

// [j]: 2^(j/32) / 2, the fractions (of frexp) at which the buckets of one
// octave end.
const double* octave_bounds() {
  static const auto bounds = [] {
    std::vector<double> out(kNativeBucketsPerOctave);
    for (int j = 0; j < kNativeBucketsPerOctave; ++j) {
      out[static_cast<std::size_t>(j)] = std::exp2(j / double{kNativeBucketsPerOctave}) / 2.0;
    }
    return out;
  }();
  return bounds.data();
}

}  // namespace

std::int32_t native_key(double seconds) {
  int exponent = 0;
  const double fraction = std::frexp(seconds, &exponent);
  const double* bounds = octave_bounds();
  const auto j = std::lower_bound(bounds, bounds + kNativeBucketsPerOctave, fraction) - bounds;
  return static_cast<std::int32_t>(j) + (exponent - 1) * kNativeBucketsPerOctave;
}

double native_upper_bound(std::int32_t key) {
  // Floor division, so that negative keys find their octave.
  const std::int32_t octave =
      key >= 0 ? key / kNativeBucketsPerOctave
               : -((-key + kNativeBucketsPerOctave - 1) / kNativeBucketsPerOctave);
  const std::int32_t j = key - octave * kNativeBucketsPerOctave;
  return std::ldexp(octave_bounds()[j], octave + 1);
}

void native_histogram(const Bins& in, NativeHistogram* out) {
  out->exact = false;
  out->zero_threshold = 0.0;
  out->zero_count = 0;
  out->buckets.clear();
  out->count = 0;
  if (in.counts == nullptr || in.counts->empty()) return;
  const std::vector<double>& bins = *in.counts;
  double start = in.start_ms;
  double width = in.width_ms;
  if (!std::isfinite(start) || !std::isfinite(width) || width <= 0.0) {
    start = 0.0;
    width = 1.0;
  }
  const std::size_t used = used_length(bins, in.used_bound);
  double total = 0.0;
  for (std::size_t i = 0; i < used; ++i) {
    const double v = bins[i];
    if (!(v >= 0.0 && v <= kLargestExact && v == std::floor(v))) return;
    total += v;
  }
  if (total > kLargestExact) return;
  // The first bin whose lower edge lies above 0 starts the positive buckets.
  std::size_t first = 1;
  while (first < bins.size() && !(start + static_cast<double>(first) * width > 0.0)) ++first;
  if (first < bins.size()) {
    const double edge = start + static_cast<double>(first) * width;
    out->zero_threshold = native_upper_bound(native_key(edge / 1000.0) - 1);
  }
  for (std::size_t i = 0; i < used; ++i) {
    const auto v = static_cast<std::uint64_t>(bins[i]);
    if (v == 0) continue;
    out->count += v;
    if (i < first) {
      out->zero_count += v;
      continue;
    }
    const std::int32_t key = native_key((start + static_cast<double>(i) * width) / 1000.0);
    if (!out->buckets.empty() && out->buckets.back().first == key) {
      out->buckets.back().second += v;
    } else {
      out->buckets.emplace_back(key, v);
    }
  }
  out->exact = true;
}

// --- The protobuf exposition ---

const char kProtobufContentType[] =
    "application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; "
    "encoding=delimited";

namespace {

// Field numbers of net/exposition.proto.
namespace field {
constexpr int kFamilyName = 1, kFamilyHelp = 2, kFamilyType = 3, kFamilyMetric = 4;
constexpr int kMetricLabel = 1, kMetricGauge = 2, kMetricCounter = 3, kMetricHistogram = 7;
constexpr int kLabelName = 1, kLabelValue = 2;
constexpr int kValue = 1;  // Gauge.value, Counter.value
constexpr int kSampleCount = 1, kSampleSum = 2, kBucket = 3, kSampleCountFloat = 4, kSchema = 5,
              kZeroThreshold = 6, kZeroCount = 7, kPositiveSpan = 12, kPositiveDelta = 13;
constexpr int kCumulativeCount = 1, kUpperBound = 2, kCumulativeCountFloat = 4;
constexpr int kSpanOffset = 1, kSpanLength = 2;
}  // namespace field

enum Wire { kVarint = 0, kFixed64 = 1, kDelimited = 2 };
// MetricType.
constexpr std::uint64_t kCounterType = 0, kGaugeType = 1, kHistogramType = 4;

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

void put_tag(std::string& out, int number, Wire wire) {
  put_varint(out, (static_cast<std::uint64_t>(number) << 3) | wire);
}

void put_uint(std::string& out, int number, std::uint64_t value) {
  put_tag(out, number, kVarint);
  put_varint(out, value);
}

std::uint64_t zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

void put_double(std::string& out, int number, double value) {
  put_tag(out, number, kFixed64);
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out += static_cast<char>((bits >> (8 * i)) & 0xff);
}

void put_bytes(std::string& out, int number, std::string_view bytes) {
  put_tag(out, number, kDelimited);
  put_varint(out, bytes.size());
  out += bytes;
}

std::uint64_t type_code(Kind kind) {
  return kind == Kind::counter     ? kCounterType
         : kind == Kind::histogram ? kHistogramType
                                   : kGaugeType;
}

// Bucket keys ascending: the spans (offset from the end of the span before,
// or from key 0 for the first; gaps of up to two empty buckets are filled
// rather than starting a span) and the delta of each bucket's count from the
// one before.
void put_native_buckets(std::string& out, const NativeHistogram& h, std::string& scratch) {
  constexpr std::int32_t kLargestFilledGap = 2;
  struct Span {
    std::int32_t offset;
    std::uint32_t length;
  };
  std::vector<Span> spans;
  std::string deltas;
  std::int64_t previous = 0;
  std::int32_t next_key = 0;  // one past the last key in a span
  const auto delta = [&](std::uint64_t count) {
    put_varint(deltas, zigzag(static_cast<std::int64_t>(count) - previous));
    previous = static_cast<std::int64_t>(count);
  };
  for (const auto& [key, count] : h.buckets) {
    const std::int32_t gap = key - next_key;
    if (spans.empty() || gap > kLargestFilledGap) {
      spans.push_back({spans.empty() ? key : gap, 0});
    } else {
      for (std::int32_t k = 0; k < gap; ++k) delta(0);
      spans.back().length += static_cast<std::uint32_t>(gap);
    }
    delta(count);
    ++spans.back().length;
    next_key = key + 1;
  }
  for (const Span& span : spans) {
    scratch.clear();
    put_uint(scratch, field::kSpanOffset, zigzag(span.offset));
    put_uint(scratch, field::kSpanLength, span.length);
    put_bytes(out, field::kPositiveSpan, scratch);
  }
  if (!deltas.empty()) put_bytes(out, field::kPositiveDelta, deltas);
}

}  // namespace

ProtobufWriter::ProtobufWriter(const Family* families, std::size_t count)
    : families_(families), metrics_(count) {}

void ProtobufWriter::clear() {
  for (std::string& metrics : metrics_) metrics.clear();
}

void ProtobufWriter::metric(int family, const Labels& labels, const std::string& value_field) {
  scratch_.clear();
  std::string pair;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    pair.clear();
    put_bytes(pair, field::kLabelName, labels.name(i));
    put_bytes(pair, field::kLabelValue, valid_utf8(labels.value(i)));
    put_bytes(scratch_, field::kMetricLabel, pair);
  }
  scratch_ += value_field;
  put_bytes(metrics_[family], field::kFamilyMetric, scratch_);
}

void ProtobufWriter::sample(int family, const Labels& labels, double value) {
  std::string inner;
  put_double(inner, field::kValue, value);
  field_.clear();
  put_bytes(field_,
            families_[family].kind == Kind::counter ? field::kMetricCounter : field::kMetricGauge,
            inner);
  metric(family, labels, field_);
}

void ProtobufWriter::sample_count(int family, const Labels& labels, std::uint64_t value) {
  sample(family, labels, static_cast<double>(value));
}

void ProtobufWriter::histogram(int family, const Labels& labels, const Bins& bins) {
  if (bins.counts == nullptr || bins.counts->empty()) return;
  classic_histogram(bins, &classic_);
  native_histogram(bins, &native_);
  // Whole counts go as integers, as Prometheus expects them; anything else
  // (never from a statistics object) as floats, classic buckets only.
  const bool whole = native_.exact;
  std::string h;
  if (whole) {
    put_uint(h, field::kSampleCount, native_.count);
  } else {
    put_double(h, field::kSampleCountFloat, classic_.count);
  }
  put_double(h, field::kSampleSum, classic_.sum_seconds);
  std::string bucket;
  for (std::size_t b = 0; b < classic_.cumulative.size(); ++b) {
    bucket.clear();
    if (whole) {
      put_uint(bucket, field::kCumulativeCount, static_cast<std::uint64_t>(classic_.cumulative[b]));
    } else {
      put_double(bucket, field::kCumulativeCountFloat, classic_.cumulative[b]);
    }
    put_double(bucket, field::kUpperBound, kClassicBoundsMs[b] / 1000.0);
    put_bytes(h, field::kBucket, bucket);
  }
  if (whole) {
    put_uint(h, field::kSchema, zigzag(kNativeSchema));
    put_double(h, field::kZeroThreshold, native_.zero_threshold);
    put_uint(h, field::kZeroCount, native_.zero_count);
    put_native_buckets(h, native_, bucket);
  }
  field_.clear();
  put_bytes(field_, field::kMetricHistogram, h);
  metric(family, labels, field_);
}

std::string ProtobufWriter::finish() const {
  std::string out;
  std::string message;
  for (std::size_t family = 0; family < metrics_.size(); ++family) {
    if (metrics_[family].empty()) continue;
    const Family& f = families_[family];
    message.clear();
    put_bytes(message, field::kFamilyName, f.name);
    put_bytes(message, field::kFamilyHelp, f.help);
    put_uint(message, field::kFamilyType, type_code(f.kind));
    message += metrics_[family];
    put_varint(out, message.size());
    out += message;
  }
  return out;
}

}  // namespace daqnet::exposition
