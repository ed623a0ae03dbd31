#include "tool/output/plot_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace daqevstat::tool {
namespace {

using daqevstat::testing::folder_entries;
using daqevstat::testing::TempFolder;

Distribution timing(const std::string& name, std::vector<std::pair<std::size_t, double>> counts) {
  Distribution d;
  d.name = name;
  d.bins.assign(8192, 0.0);
  for (const auto& [bin, count] : counts) d.bins[bin] = count;
  return d;
}

// Checks what a parser would reject: every element closed in order, quoted
// attributes, no bare '<' or '&' in text. Returns an empty string or the fault.
std::string xml_fault(const std::string& xml) {
  std::vector<std::string> open;
  std::size_t i = xml.find("?>");
  if (xml.rfind("<?xml", 0) != 0 || i == std::string::npos) return "no declaration";
  for (i += 2; i < xml.size(); ++i) {
    if (xml[i] == '&') {
      const std::size_t end = xml.find(';', i);
      const std::string entity = xml.substr(i, end == std::string::npos ? 0 : end - i + 1);
      if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;" &&
          entity != "&apos;") {
        return "bare & at " + std::to_string(i);
      }
    }
    if (xml[i] != '<') continue;
    const std::size_t end = xml.find('>', i);
    if (end == std::string::npos) return "unclosed tag";
    std::string tag = xml.substr(i + 1, end - i - 1);
    if (tag.find('<') != std::string::npos) return "'<' inside tag " + tag;
    const bool closing = tag[0] == '/';
    const bool empty = tag.back() == '/';
    const std::string name =
        tag.substr(closing ? 1 : 0, tag.find_first_of(" />", closing ? 1 : 0) - (closing ? 1 : 0));
    std::size_t quotes = 0;
    for (char c : tag) quotes += c == '"';
    if (quotes % 2 != 0) return "unbalanced quotes in " + tag;
    if (closing) {
      if (open.empty() || open.back() != name) return "misnested </" + name + ">";
      open.pop_back();
    } else if (!empty) {
      open.push_back(name);
    }
    i = end;
  }
  return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

class PlotWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<std::string> entries(const std::string& path) { return folder_entries(path); }
  std::string svg_of(const std::vector<Distribution>& distributions) {
    const std::string path = dir_ + "/plot.svg";
    write_svg(distributions, path);
    return read(path);
  }

  TempFolder folder_{"plot_writer"};
  std::string dir_ = folder_.path();
};

TEST_F(PlotWriterTest, FigureIsWellFormedAndNamesEveryPanel) {
  Distribution tricky = timing("A&B<C>.STAT.EV.PERIOD.TD", {{1, 900}, {2, 40}});
  tricky.description = "distance \"between\" events";
  const std::string svg = svg_of({timing("EVSTAT.STAT.EV.LATENCY.TD", {{0, 12}, {5, 300}}), tricky,
                                  timing("EVSTAT.STAT.EV.PERIODL.TD", {})});
  EXPECT_EQ("", xml_fault(svg));
  EXPECT_NE(std::string::npos, svg.find(">EVSTAT.STAT.EV.LATENCY.TD<"));
  EXPECT_NE(std::string::npos, svg.find(">A&amp;B&lt;C&gt;.STAT.EV.PERIOD.TD<"));
  EXPECT_NE(std::string::npos, svg.find("distance &quot;between&quot; events"));
  EXPECT_NE(std::string::npos, svg.find("312 samples"));
  EXPECT_NE(std::string::npos, svg.find("p50 5 ms"));
  EXPECT_NE(std::string::npos, svg.find("hatched bars are clamped: &lt;1 ms: 12"));
  EXPECT_NE(std::string::npos, svg.find(">no samples<"));
  EXPECT_EQ(std::vector<std::string>{"plot.svg"}, entries(dir_));  // no temporary left

  EXPECT_EQ("", xml_fault(svg_of({})));

  // A name far wider than the figure is shortened in the middle, whole
  // characters only, keeping the suffix that tells the panels apart.
  std::string wide;
  for (int i = 0; i < 60; ++i) wide += "\xC3\xA9t\xC3\xA9_";
  const std::string long_svg = svg_of({timing(wide + ".STAT.EV.LATENCY.TD", {{3, 1}})});
  EXPECT_EQ("", xml_fault(long_svg));
  const std::size_t title = long_svg.find("font-weight=\"bold\">");
  ASSERT_NE(std::string::npos, title);
  const std::string line = long_svg.substr(title, long_svg.find('\n', title) - title);
  EXPECT_NE(std::string::npos, line.find("\xE2\x80\xA6")) << line;
  EXPECT_NE(std::string::npos, line.find("\xC3\xA9_.STAT.EV.LATENCY.TD</text>")) << line;
  EXPECT_EQ(std::string::npos, line.find('?')) << line;  // no character split
}

TEST_F(PlotWriterTest, LogScalesOnlyWhenTheDataSpanDecades) {
  const std::string narrow = svg_of({timing("N", {{1, 50}, {2, 30}, {12, 2}})});
  EXPECT_EQ(std::string::npos, narrow.find("log scale"));
  EXPECT_EQ(std::string::npos, narrow.find("log scale of ms"));

  // Counts from 1 to 5000 and bins from 2 to 400 ms: both axes go logarithmic.
  const std::string wide = svg_of({timing("W", {{2, 5000}, {3, 800}, {400, 1}})});
  EXPECT_NE(std::string::npos, wide.find("count per 1 ms bin (log scale)"));
  EXPECT_NE(std::string::npos, wide.find("log scale of ms + 1"));

  // The clamped last bin sits in its own slot and does not widen the axis.
  const std::string overflow = svg_of({timing("O", {{1, 50}, {4, 40}, {8191, 3}})});
  EXPECT_EQ(std::string::npos, overflow.find("log scale of ms"));
  EXPECT_NE(std::string::npos, overflow.find(">&gt;=8191 ms<"));
}

TEST_F(PlotWriterTest, CsvHoldsTheNonZeroBins) {
  Distribution small = timing("EVSTAT.STAT.EV.LATENCY.TD", {});
  small.bins = {4, 0, 0, 7, 0, 2};
  Distribution half = timing("H.TD", {});
  half.bins = {0, 1.5};
  half.bin_ms = 0.5;
  const std::string out = dir_ + "/csv";
  write_csv_dir({small, half}, out);
  EXPECT_EQ(
      "bin,start_ms,end_ms,count,clamped\n"
      "0,0,1,4,below\n"
      "3,3,4,7,\n"
      "5,5,6,2,above\n",
      read(out + "/EVSTAT.STAT.EV.LATENCY.TD.csv"));
  EXPECT_EQ("bin,start_ms,end_ms,count,clamped\n1,0.5,1,1.5,above\n", read(out + "/H.TD.csv"));
  write_csv_dir({small}, out);  // an existing directory is used as it is
  EXPECT_EQ(2u, entries(out).size());
}

TEST_F(PlotWriterTest, FailuresNameThePathAndLeaveNoFile) {
  const std::string missing = dir_ + "/no/such/plot.svg";
  try {
    write_svg({timing("X", {{1, 1}})}, missing);
    FAIL() << "wrote " << missing;
  } catch (const PlotError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(missing)) << e.what();
  }
  // A directory in the way: the rename fails and the temporary goes.
  ASSERT_EQ(0, mkdir((dir_ + "/taken").c_str(), 0777));
  EXPECT_THROW(write_svg({}, dir_ + "/taken"), PlotError);
  EXPECT_EQ(std::vector<std::string>{"taken"}, entries(dir_));

  // A file where the CSV directory should be.
  std::ofstream(dir_ + "/file") << "x";
  try {
    write_csv_dir({timing("X", {})}, dir_ + "/file");
    FAIL();
  } catch (const PlotError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(dir_ + "/file")) << e.what();
  }
  // A name that would leave the directory is refused before anything is written.
  EXPECT_THROW(write_csv_dir({timing("OK", {}), timing("../up", {})}, dir_ + "/csv"), PlotError);
  EXPECT_TRUE(entries(dir_ + "/csv").empty());
  Distribution flat = timing("F", {});
  flat.bin_ms = 0.0;
  EXPECT_THROW(write_svg({flat}, dir_ + "/flat.svg"), PlotError);
}

TEST(PlotSvgEscapeTest, KeepsTheOutputWellFormed) {
  EXPECT_EQ("a&amp;b&lt;c&gt;&quot;&apos;", svg_escape("a&b<c>\"'"));
  EXPECT_EQ("caf\xC3\xA9 \xE2\x89\xA5", svg_escape("caf\xC3\xA9 \xE2\x89\xA5"));
  // Control characters, a lone continuation byte, an overlong form, a
  // truncated sequence and a surrogate.
  EXPECT_EQ("?x?", svg_escape(std::string("\x01x\0", 3)));
  EXPECT_EQ("?", svg_escape("\x80"));
  EXPECT_EQ("??", svg_escape("\xC0\xAF"));
  EXPECT_EQ("??", svg_escape("\xE2\x89"));
  EXPECT_EQ("???", svg_escape("\xED\xA0\x80"));
}

}  // namespace
}  // namespace daqevstat::tool
