#include "tool/output/plot_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "durable_file.h"

namespace daqevstat::tool {
namespace {

// --- Files -------------------------------------------------------------

// Pictures are for everyone to read, as a file made with the usual umask.
constexpr mode_t kPictureMode = 0644;

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw PlotError("cannot " + what + " '" + path + "': " + std::strerror(error));
}

// Readers see the old file or the whole new one, never a part, and a
// written picture survives a power failure.
void write_file_atomically(const std::string& path, const std::string& content) {
  try {
    daqhost::write_file_durably(path, content, kPictureMode);
  } catch (const std::system_error& e) {
    fail("write", path, e.code().value());
  }
}

void make_directory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) return;
  const int error = errno;
  struct stat info;
  if (error == EEXIST && ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
  fail("create directory", dir, error == EEXIST ? ENOTDIR : error);
}

// --- Text --------------------------------------------------------------

__attribute__((format(printf, 2, 3))) void append(std::string* out, const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0)
    out->append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// Whole numbers as integers, others with `digits` significant digits.
std::string number_text(double value, int digits) {
  char buffer[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  }
  return buffer;
}

// Counts on a tick: 950, 10k, 2.5M.
std::string count_text(double value) {
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e9) return number_text(value / 1e9, 3) + "G";
  if (magnitude >= 1e6) return number_text(value / 1e6, 3) + "M";
  if (magnitude >= 1e4) return number_text(value / 1e3, 3) + "k";
  return number_text(value, 3);
}

// Rough width of text in the figure's sans-serif face; glyphs average about
// 0.6 of the font size (0.64 bold), which errs on the wide side for digits.
double text_width(const std::string& text, double font_size, bool bold = false) {
  std::size_t glyphs = 0;
  for (unsigned char c : text) glyphs += (c & 0xC0) != 0x80;  // UTF-8 lead bytes
  return static_cast<double>(glyphs) * font_size * (bold ? 0.64 : 0.6);
}

// --- Scales ------------------------------------------------------------

struct Tick {
  double value;
  std::string label;
};

// Maps a data value to a pixel. A log scale maps log10(value + offset).
struct Scale {
  bool log = false;
  double offset = 0.0;
  double lo = 0.0, hi = 1.0;  // data range
  double pixel_lo = 0.0, pixel_hi = 1.0;
  std::vector<Tick> ticks;

  double transform(double v) const {
    if (!log) return v;
    return std::log10(std::max(v + offset, 1e-300));
  }
  double operator()(double v) const {
    const double t_lo = transform(lo);
    const double t_hi = transform(hi);
    double f = t_hi > t_lo ? (transform(v) - t_lo) / (t_hi - t_lo) : 0.0;
    f = std::clamp(f, 0.0, 1.0);
    return pixel_lo + f * (pixel_hi - pixel_lo);
  }
};

double nice_step(double raw) {
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double nice = norm <= 1.0 ? 1.0 : norm <= 2.0 ? 2.0 : norm <= 5.0 ? 5.0 : 10.0;
  return nice * magnitude;
}

// Whether horizontal labels centred on their ticks leave a gap between them.
bool labels_fit(const Scale& scale, double font_size) {
  double previous_right = -1e300;
  for (const Tick& tick : scale.ticks) {
    const double half = text_width(tick.label, font_size) / 2;
    const double x = scale(tick.value);
    if (x - half < previous_right + 8) return false;
    previous_right = x + half;
  }
  return true;
}

// A linear scale over [lo, hi] that ends on ticks of a 1-2-5 step no finer
// than `min_step`, widening the step until the labels fit.
void make_linear(Scale* s, double lo, double hi, double min_step, double font_size, bool horizontal,
                 std::string (*label)(double)) {
  s->log = false;
  if (!(hi > lo)) hi = lo + std::max(min_step, 1.0);
  // About ten ticks along the width, five up the height.
  double step = std::max(nice_step((hi - lo) / (horizontal ? 10 : 5)), min_step);
  for (int attempt = 0; attempt < 8; ++attempt, step = nice_step(step * 1.5)) {
    s->lo = std::floor(lo / step) * step;
    s->hi = std::ceil(hi / step) * step;
    if (s->hi <= s->lo) s->hi = s->lo + step;
    s->ticks.clear();
    const auto count = static_cast<int>(std::lround((s->hi - s->lo) / step));
    for (int i = 0; i <= count; ++i) {
      const double v = s->lo + i * step;
      s->ticks.push_back({v, label(std::fabs(v) < step * 1e-9 ? 0.0 : v)});
    }
    const double spacing = std::fabs(s->pixel_hi - s->pixel_lo) / std::max(count, 1);
    if (horizontal ? labels_fit(*s, font_size) : spacing >= font_size * 1.6) return;
  }
}

std::string ms_text(double v) { return number_text(v, 4); }

// The x scale over ms in log10(ms + 1): ticks at 0 and at the multiples
// `mantissas` of each power of ten, as few as the labels need.
void make_log_ms(Scale* s, double lo, double hi, double font_size) {
  static const std::vector<std::vector<double>> kSets = {{1, 2, 5}, {1, 3}, {1}};
  s->log = true;
  s->offset = 1.0;
  for (std::size_t decade_step = 1; decade_step <= 4; ++decade_step) {
    for (const std::vector<double>& mantissas : kSets) {
      std::vector<double> values = {0.0};
      for (int exponent = 0; exponent <= 15; exponent += static_cast<int>(decade_step)) {
        for (double m : mantissas) values.push_back(m * std::pow(10.0, exponent));
      }
      double tick_lo = 0.0;
      double tick_hi = values.back();
      for (double v : values) {
        if (v <= lo) tick_lo = v;
      }
      for (auto it = values.rbegin(); it != values.rend(); ++it) {
        if (*it >= hi) tick_hi = *it;
      }
      s->lo = tick_lo;
      s->hi = tick_hi;
      s->ticks.clear();
      for (double v : values) {
        if (v >= tick_lo && v <= tick_hi) s->ticks.push_back({v, ms_text(v)});
      }
      if (labels_fit(*s, font_size)) return;
    }
  }
}

// The y scale over counts in log10: from half the smallest power of ten at
// or below the smallest count, so that the smallest bars stay visible.
void make_log_counts(Scale* s, double smallest, double largest, double font_size) {
  s->log = true;
  s->offset = 0.0;
  const double low_decade = std::floor(std::log10(smallest));
  const double high_decade = std::ceil(std::log10(largest));
  s->lo = std::pow(10.0, low_decade) / 2;
  s->hi = std::pow(10.0, high_decade);
  const int decades = static_cast<int>(high_decade - low_decade);
  const double height = std::fabs(s->pixel_hi - s->pixel_lo);
  int every = 1;
  while (every < decades && height / (static_cast<double>(decades) / every) < font_size * 1.6) {
    ++every;
  }
  s->ticks.clear();
  for (int d = 0; d <= decades; d += every) {
    const double v = std::pow(10.0, low_decade + d);
    s->ticks.push_back({v, count_text(v)});
  }
}

// --- Figure ------------------------------------------------------------

constexpr double kWidth = 960;
constexpr double kPanelHeight = 320;
constexpr double kLeft = 86;  // room for the y tick labels and axis title
constexpr double kRight = 28;
constexpr double kPlotTop = 64;  // below the panel's two title lines
constexpr double kPlotHeight = 190;
constexpr double kSlotGap = 26;  // between the axis and the slot of the last bin
constexpr double kSlotWidth = 64;
constexpr double kTitleSize = 15;
constexpr double kTextSize = 12;
constexpr double kTickSize = 12;
constexpr const char* kBarColour = "#3b75af";
constexpr const char* kClampColour = "#c8641e";

enum class Cut { kEnd, kMiddle };

// Fits one line into `max_width`: a smaller font first (down to three
// quarters), then fewer glyphs with an ellipsis at the end or, for names
// whose distinguishing part is their suffix, in the middle. Renderers differ
// in their support of textLength, so the text itself is made to fit.
void text_line(std::string* out, double x, double y, double size, std::string text,
               double max_width, const char* extra = "", bool bold = false, Cut cut = Cut::kEnd) {
  const double width = text_width(text, size, bold);
  if (width > max_width) {
    size = std::max(size * 0.75, size * max_width / width);
    const double glyph = text_width("x", size, bold);
    std::vector<std::size_t> starts;  // byte offset of each glyph
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    const auto keep = static_cast<std::size_t>(std::max(2.0, std::floor(max_width / glyph) - 1));
    if (starts.size() > keep) {
      const std::string ellipsis = "\xE2\x80\xA6";
      if (cut == Cut::kEnd) {
        text = text.substr(0, starts[keep]) + ellipsis;
      } else {
        const std::size_t head = keep / 2;
        const std::size_t tail = keep - head;
        text = text.substr(0, starts[head]) + ellipsis + text.substr(starts[starts.size() - tail]);
      }
    }
  }
  append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.1f\"%s>", x, y, size, extra);
  *out += svg_escape(text) + "</text>\n";
}

struct PanelData {
  const Distribution* d = nullptr;
  DistributionSummary summary;
  bool overflow_slot = false;     // the last bin is clamped and holds samples
  std::optional<std::size_t> lo;  // lowest and highest non-empty bin on the axis
  std::optional<std::size_t> hi;
  double smallest = 0.0, largest = 0.0;  // non-zero counts over all bins
};

bool holds(double count) { return std::isfinite(count) && count > 0.0; }

PanelData analyse(const Distribution& d) {
  PanelData p;
  p.d = &d;
  p.summary = summarize(d);
  const std::size_t n = d.bins.size();
  p.overflow_slot = n >= 2 && holds(d.bins.back());
  const std::size_t axis_end = p.overflow_slot ? n - 1 : n;
  for (std::size_t i = 0; i < n; ++i) {
    if (!holds(d.bins[i])) continue;
    p.smallest = p.smallest == 0.0 ? d.bins[i] : std::min(p.smallest, d.bins[i]);
    p.largest = std::max(p.largest, d.bins[i]);
    if (i < axis_end) {
      if (!p.lo) p.lo = i;
      p.hi = i;
    }
  }
  return p;
}

double edge(const Distribution& d, std::size_t bin) {
  return d.start_ms + static_cast<double>(bin) * d.bin_ms;
}

void render_title(std::string* out, const PanelData& p, double top) {
  const Distribution& d = *p.d;
  const DistributionSummary& s = p.summary;
  std::string stats = number_text(s.samples, 6) + " samples";
  if (s.p50_bin) {
    stats +=
        " \xC2\xB7 p50 " + bin_label(d, *s.p50_bin) + " \xC2\xB7 p99 " + bin_label(d, *s.p99_bin);
  }
  const double available = kWidth - 2 * 16;
  std::string second;
  if (text_width(d.name, kTitleSize, true) + text_width("   " + stats, 13) <= available) {
    append(out, "<text x=\"16\" y=\"%.1f\" font-size=\"%.0f\">", top + 24, kTitleSize);
    *out += "<tspan font-weight=\"bold\">" + svg_escape(d.name) +
            "</tspan><tspan font-size=\"13\" fill=\"#333\" xml:space=\"preserve\">   " +
            svg_escape(stats) + "</tspan></text>\n";
  } else {
    text_line(out, 16, top + 24, kTitleSize, d.name, available, " font-weight=\"bold\"", true,
              Cut::kMiddle);
    second = stats;
  }
  // The clamped counts come before the description, which is the part that
  // may be cut short.
  if (d.bins.size() >= 2 && s.highest_bin) {
    const std::string clamped = "hatched bars are clamped: " + bin_label(d, 0) + ": " +
                                number_text(s.first_bin, 6) + ", " +
                                bin_label(d, d.bins.size() - 1) + ": " + number_text(s.last_bin, 6);
    second += (second.empty() ? "" : " \xC2\xB7 ") + clamped;
  }
  if (!d.description.empty()) second += (second.empty() ? "" : " \xC2\xB7 ") + d.description;
  text_line(out, 16, top + 46, kTextSize, second, available, " fill=\"#444\"");
}

void bar(std::string* out, double x0, double x1, double y, double base, bool clamped) {
  const double width = std::max(x1 - x0, 1.0);
  const double height = std::max(base - y, 0.5);
  if (clamped) {
    append(out,
           "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"url(#clamped)\" "
           "stroke=\"%s\" stroke-width=\"1\"/>\n",
           x0, base - height, width, height, kClampColour);
  } else if (width >= 4.0) {
    // A white edge keeps neighbouring bars of equal height apart.
    append(out,
           "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\" "
           "stroke=\"white\" stroke-width=\"0.8\"/>\n",
           x0, base - height, width, height, kBarColour);
  } else {
    append(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\"/>\n", x0,
           base - height, width, height, kBarColour);
  }
}

void render_panel(std::string* out, const PanelData& p, double top) {
  const Distribution& d = *p.d;
  render_title(out, p, top);
  const double plot_top = top + kPlotTop;
  const double plot_bottom = plot_top + kPlotHeight;
  const double plot_right = kWidth - kRight - (p.overflow_slot ? kSlotGap + kSlotWidth : 0);

  if (!p.summary.highest_bin) {
    append(out,
           "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
           "stroke=\"#bbb\"/>\n",
           kLeft, plot_top, plot_right - kLeft, kPlotHeight);
    text_line(out, (kLeft + plot_right) / 2, (plot_top + plot_bottom) / 2 + 5, 14, "no samples",
              plot_right - kLeft, " text-anchor=\"middle\" fill=\"#666\"");
    return;
  }

  // x: the non-empty bins left of the slot, or ten bins when only the slot
  // holds samples.
  Scale x;
  x.pixel_lo = kLeft;
  x.pixel_hi = plot_right;
  const double x_min = p.lo ? edge(d, *p.lo) : d.start_ms;
  const double x_max = p.hi ? edge(d, *p.hi + 1) : d.start_ms + 10 * d.bin_ms;
  if (x_min >= 0.0 && (x_max + 1.0) / (x_min + 1.0) > 100.0) {
    make_log_ms(&x, x_min, x_max, kTickSize);
  } else {
    // Start at 0 unless the data sit far from it.
    const double from = x_min > 0.0 && x_min > x_max - x_min ? x_min : std::min(x_min, 0.0);
    make_linear(&x, from, x_max, 0.0, kTickSize, true, ms_text);
  }

  Scale y;
  y.pixel_lo = plot_bottom;
  y.pixel_hi = plot_top;
  if (p.largest / p.smallest > 100.0) {
    make_log_counts(&y, p.smallest, p.largest, kTickSize);
  } else {
    const bool whole = std::all_of(d.bins.begin(), d.bins.end(),
                                   [](double c) { return !holds(c) || c == std::floor(c); });
    make_linear(&y, 0.0, p.largest, whole ? 1.0 : 0.0, kTickSize, false, count_text);
  }
  const double base = y.log ? plot_bottom : y(0.0);

  // Grid and y ticks.
  for (const Tick& t : y.ticks) {
    const double py = y(t.value);
    append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e3e3e3\"/>\n",
           kLeft, py, plot_right, py);
    if (p.overflow_slot) {
      append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e3e3e3\"/>\n",
             plot_right + kSlotGap, py, plot_right + kSlotGap + kSlotWidth, py);
    }
    text_line(out, kLeft - 8, py + 4, kTickSize, t.label, kLeft - 30, " text-anchor=\"end\"");
  }

  // Bars; bin 0 in place, hatched, the last bin in its slot.
  const std::size_t n = d.bins.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!holds(d.bins[i]) || (p.overflow_slot && i + 1 == n)) continue;
    const bool clamped = i == 0 || i + 1 == n;
    bar(out, x(edge(d, i)), x(edge(d, i + 1)), y(d.bins[i]), base, clamped);
  }
  if (p.overflow_slot) {
    const double slot_left = plot_right + kSlotGap;
    const double centre = slot_left + kSlotWidth / 2;
    const double top_of_bar = y(d.bins.back());
    bar(out, slot_left + 14, slot_left + kSlotWidth - 14, top_of_bar, base, true);
    text_line(out, centre, top_of_bar - 4, 11, number_text(d.bins.back(), 6), kSlotWidth,
              " text-anchor=\"middle\" fill=\"#7a3a0c\"");
    append(out,
           "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n"
           "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#bbb\"/>\n",
           slot_left, plot_bottom, slot_left + kSlotWidth, plot_bottom, slot_left, plot_top,
           slot_left, plot_bottom);
    text_line(out, centre, plot_bottom + 18, kTickSize, bin_label(d, n - 1), kSlotWidth + kRight,
              " text-anchor=\"middle\" fill=\"#7a3a0c\"");
    // Break marks: the slot is not on the axis.
    append(out, "<path d=\"M%.1f %.1f l6 -8 M%.1f %.1f l6 -8\" stroke=\"#333\" fill=\"none\"/>\n",
           plot_right + 7, plot_bottom + 4, plot_right + 13, plot_bottom + 4);
  }

  // Axes, x ticks and titles.
  append(out,
         "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n"
         "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n",
         kLeft, plot_bottom, plot_right, plot_bottom, kLeft, plot_top, kLeft, plot_bottom);
  for (const Tick& t : x.ticks) {
    const double px = x(t.value);
    append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n", px,
           plot_bottom, px, plot_bottom + 5);
    text_line(out, px, plot_bottom + 18, kTickSize, t.label, 80, " text-anchor=\"middle\"");
  }
  const std::string x_title = x.log ? "time (ms), log scale of ms + 1" : "time (ms)";
  text_line(out, (kLeft + plot_right) / 2, plot_bottom + 40, kTextSize, x_title, plot_right - kLeft,
            " text-anchor=\"middle\" fill=\"#333\"");
  const std::string y_title =
      "count per " + ms_text(d.bin_ms) + " ms bin" + (y.log ? " (log scale)" : "");
  const double y_centre = (plot_top + plot_bottom) / 2;
  append(out, "<g transform=\"translate(22 %.1f) rotate(-90)\">\n", y_centre);
  text_line(out, 0, 0, kTextSize, y_title, kPlotHeight + 40,
            " text-anchor=\"middle\" fill=\"#333\"");
  *out += "</g>\n";
}

std::string render_svg(const std::vector<Distribution>& distributions) {
  const double height = std::max<double>(1, distributions.size()) * kPanelHeight;
  std::string out;
  append(&out,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
         "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n",
         kWidth, height, kWidth, height);
  append(&out,
         "<defs><pattern id=\"clamped\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#f7d2b0\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"%s\" stroke-width=\"3\"/>"
         "</pattern></defs>\n"
         "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
         kClampColour);
  if (distributions.empty()) {
    text_line(&out, kWidth / 2, height / 2, 14, "no distributions", kWidth,
              " text-anchor=\"middle\"");
  }
  for (std::size_t i = 0; i < distributions.size(); ++i) {
    const double top = static_cast<double>(i) * kPanelHeight;
    if (i > 0) {
      append(&out, "<line x1=\"0\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"#ccc\"/>\n", top,
             kWidth, top);
    }
    out += "<g>\n";
    render_panel(&out, analyse(distributions[i]), top);
    out += "</g>\n";
  }
  out += "</svg>\n";
  return out;
}

std::string csv_text(const Distribution& d) {
  std::string out = "bin,start_ms,end_ms,count,clamped\n";
  const std::size_t n = d.bins.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (d.bins[i] == 0.0) continue;
    const char* clamped = n == 1 ? "both" : i == 0 ? "below" : i + 1 == n ? "above" : "";
    out += std::to_string(i) + "," + number_text(edge(d, i), 17) + "," +
           number_text(edge(d, i + 1), 17) + "," + number_text(d.bins[i], 17) + "," + clamped +
           "\n";
  }
  return out;
}

}  // namespace

std::string svg_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        ++i;
        continue;
      case '<':
        out += "&lt;";
        ++i;
        continue;
      case '>':
        out += "&gt;";
        ++i;
        continue;
      case '"':
        out += "&quot;";
        ++i;
        continue;
      case '\'':
        out += "&apos;";
        ++i;
        continue;
      default:
        break;
    }
    if (c < 0x80) {
      out += c < 0x20 && c != '\t' && c != '\n' && c != '\r' ? '?' : static_cast<char>(c);
      ++i;
      continue;
    }
    // A well-formed UTF-8 sequence passes whole; anything else is one '?'.
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    bool valid = length != 0 && c >= 0xC2 && c <= 0xF4 && i + length <= text.size();
    std::uint32_t code = valid ? (c & (0x7F >> length)) : 0;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    const std::uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
    valid = valid && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) &&
            code != 0xFFFE && code != 0xFFFF;
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

void write_svg(const std::vector<Distribution>& distributions, const std::string& path) {
  for (const Distribution& d : distributions) {
    if (!std::isfinite(d.bin_ms) || d.bin_ms <= 0.0 || !std::isfinite(d.start_ms)) {
      throw PlotError("cannot plot '" + d.name + "' into '" + path +
                      "': its bins have no positive finite width");
    }
  }
  write_file_atomically(path, render_svg(distributions));
}

void write_csv_dir(const std::vector<Distribution>& distributions, const std::string& dir) {
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (const Distribution& d : distributions) {
    if (d.name.empty() || d.name.find('/') != std::string::npos ||
        d.name.find('\0') != std::string::npos) {
      throw PlotError("cannot name a file in '" + dir + "' after the property '" + d.name + "'");
    }
  }
  make_directory(dir);
  for (const Distribution& d : distributions) {
    write_file_atomically(prefix + d.name + ".csv", csv_text(d));
  }
}

}  // namespace daqevstat::tool
