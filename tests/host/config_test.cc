#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "eq_config.h"
#include "eq_data.h"
#include "eq_value_io.h"
#include "quelmar_types.h"
#include "support/temp_folder.h"

namespace {

using daqevstat::testing::TempFolder;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    previous_sink_ = quelmar::set_log_sink(
        [this](const std::string& source, const std::string& text, unsigned int flags) {
          EXPECT_EQ(quelmar::kLogFlags, flags);
          logs_.push_back(source + ": " + text);
        });
  }

  void TearDown() override { quelmar::set_log_sink(previous_sink_); }

  void write_file(const std::string& content) const {
    std::ofstream out(path_, std::ios::binary);
    out << content;
  }

  std::string read_file() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::vector<std::string> files() const { return folder_.entries(); }

  static std::string float_text(float value) {
    std::ostringstream out;
    quelmar::write_conf_value_to_stream(out, value);
    return out.str();
  }

  TempFolder folder_{"config_test"};
  std::string dir_ = folder_.path();
  std::string path_ = dir_ + "/location.conf";
  std::vector<std::string> logs_;
  quelmar::LogSink previous_sink_;
};

TEST_F(ConfigTest, SaveAndLoadRoundTripAcrossRestart) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  {
    Config before;
    before.insert("A.INT", DATA_INT);
    before.insert("A.FLOAT", DATA_FLOAT);
    before.set_text("A.INT", "-7");
    before.set_text("A.FLOAT", float_text(0.25f));
    before.set_text("NAN", float_text(std::numeric_limits<float>::quiet_NaN()));
    before.set_text("NEG.INF", float_text(-std::numeric_limits<float>::infinity()));
    before.set_text("TINY", float_text(tiny));
    before.set_text("BIG", float_text(std::numeric_limits<float>::max()));
    before.set_text("odd/name=[1]{x}", "text with  inner blanks");
    before.set_text("EMPTY", "");
    before.save(path_);
  }
  EXPECT_EQ(std::vector<std::string>{"location.conf"}, files()) << "temporary file left behind";
  const std::string saved = read_file();

  Config after;
  after.insert("A.INT", DATA_INT);  // registered before the load ...
  after.load(path_);
  after.insert("A.FLOAT", DATA_FLOAT);  // ... and after it
  after.insert("NAN", DATA_FLOAT);
  after.insert("NEG.INF", DATA_FLOAT);
  after.insert("TINY", DATA_FLOAT);
  after.insert("BIG", DATA_FLOAT);
  after.insert("EMPTY", DATA_INT);

  const D_conf_struct* entry = after.find("A.INT");
  ASSERT_NE(nullptr, entry);
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(-7, entry->d_int);
  ASSERT_NE(nullptr, entry = after.find("A.FLOAT"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(0.25f, entry->d_float);
  ASSERT_NE(nullptr, entry = after.find("NAN"));
  EXPECT_TRUE(entry->found);
  EXPECT_TRUE(std::isnan(entry->d_float));
  ASSERT_NE(nullptr, entry = after.find("NEG.INF"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(-std::numeric_limits<float>::infinity(), entry->d_float);
  ASSERT_NE(nullptr, entry = after.find("TINY"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(tiny, entry->d_float);
  ASSERT_NE(nullptr, entry = after.find("BIG"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(3.402823e38f, entry->d_float);
  ASSERT_NE(nullptr, entry = after.find("EMPTY"));
  EXPECT_FALSE(entry->found);

  // A name nobody registered is kept but not found until it is registered.
  EXPECT_EQ(nullptr, after.find("odd/name=[1]{x}"));
  after.insert("odd/name=[1]{x}", DATA_STRING);
  ASSERT_NE(nullptr, entry = after.find("odd/name=[1]{x}"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ("text with  inner blanks", entry->text);
  EXPECT_TRUE(logs_.empty());

  // Saving what was loaded writes the same file again, and text() is that content.
  EXPECT_EQ(saved, after.text(path_));
  after.save(path_);
  EXPECT_EQ(saved, read_file());
}

TEST_F(ConfigTest, FileFormat) {
  write_file(
      "# comment\n"
      "\n"
      "   # indented comment\r\n"
      "  A    12  \r\n"
      "B\t-3\n"
      "A 13\n"
      "C 5");  // no final line break
  Config config;
  config.insert("A", DATA_INT);
  config.insert("B", DATA_INT);
  config.insert("C", DATA_INT);
  config.insert("#", DATA_INT);
  config.load(path_);
  const D_conf_struct* a = config.find("A");
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(13, a->d_int);  // the later line wins
  EXPECT_EQ(6, a->line);
  EXPECT_EQ("13", a->text);
  EXPECT_EQ(-3, config.find("B")->d_int);
  EXPECT_EQ(5, config.find("C")->d_int);
  EXPECT_EQ(7, config.find("C")->line);
  EXPECT_FALSE(config.find("#")->found);
  EXPECT_EQ(nullptr, config.find("D"));
}

TEST_F(ConfigTest, MalformedLineReportsFileAndLineAndKeepsState) {
  Config config;
  config.insert("A", DATA_INT);
  write_file("A 5\n");
  config.load(path_);
  D_conf_struct* entry = config.find("A");
  ASSERT_NE(nullptr, entry);

  write_file("# header\nA 6\n\n  B   \nC 1\n");
  try {
    config.load(path_);
    FAIL() << "expected config_error";
  } catch (const config_error& e) {
    EXPECT_EQ(path_ + ":4: missing value for 'B'", std::string(e.what()));
  }
  EXPECT_EQ(entry, config.find("A"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(5, entry->d_int);

  try {
    config.load_text("X 1\nY\n", "inline");
    FAIL() << "expected config_error";
  } catch (const config_error& e) {
    EXPECT_EQ("inline:2: missing value for 'Y'", std::string(e.what()));
  }

  // The entry of a registered name outlives later loads.
  write_file("A 6\n");
  config.load(path_);
  EXPECT_EQ(entry, config.find("A"));
  EXPECT_EQ(6, entry->d_int);
}

TEST_F(ConfigTest, BadValueForRegisteredTypeIsNotFoundAndLogged) {
  write_file(
      "I.WORD abc\n"
      "I.SUFFIX 1.5x\n"
      "I.BIG 2147483648\n"
      "I.HEX 0x10\n"
      "I.SIGNS +-3\n"
      "I.PLUS +12\n"
      "I.MIN -2147483648\n"
      "F.RANGE 1e50\n"
      "F.SUFFIX 1.5f\n"
      "F.FIXED -0.001\n");
  Config config;
  for (const char* name : {"I.WORD", "I.SUFFIX", "I.BIG", "I.HEX", "I.SIGNS", "I.PLUS", "I.MIN"}) {
    config.insert(name, DATA_INT);
  }
  config.load(path_);
  for (const char* name : {"F.RANGE", "F.SUFFIX", "F.FIXED"}) config.insert(name, DATA_FLOAT);

  for (const char* name :
       {"I.WORD", "I.SUFFIX", "I.BIG", "I.HEX", "I.SIGNS", "F.RANGE", "F.SUFFIX"}) {
    SCOPED_TRACE(name);
    const D_conf_struct* entry = config.find(name);
    ASSERT_NE(nullptr, entry);
    EXPECT_FALSE(entry->found);
    EXPECT_EQ(0, entry->d_int);
  }
  EXPECT_EQ(12, config.find("I.PLUS")->d_int);
  EXPECT_EQ(-2147483647 - 1, config.find("I.MIN")->d_int);
  EXPECT_EQ(-0.001f, config.find("F.FIXED")->d_float);

  ASSERT_EQ(7u, logs_.size());
  const auto logged = [this](const std::string& line) {
    return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
  };
  EXPECT_TRUE(logged("config: " + path_ + ":1: bad value 'abc' for I.WORD, expected an int"));
  EXPECT_TRUE(logged("config: " + path_ + ":8: bad value '1e50' for F.RANGE, expected a float"));

  // A bad text set directly is refused the same way, and a good one replaces it.
  logs_.clear();
  config.set_text("I.WORD", "12abc");
  EXPECT_FALSE(config.find("I.WORD")->found);
  EXPECT_EQ(1u, logs_.size());
  config.set_text("I.WORD", "12");
  EXPECT_TRUE(config.find("I.WORD")->found);
  EXPECT_EQ(12, config.find("I.WORD")->d_int);
}

TEST_F(ConfigTest, MissingOrUnreadableFile) {
  Config config;
  config.insert("A", DATA_INT);
  write_file("A 1\n");
  config.load(path_);
  ASSERT_TRUE(config.find("A")->found);

  // A missing file is an empty configuration: what was read before is gone.
  EXPECT_NO_THROW(config.load(dir_ + "/missing.conf"));
  EXPECT_FALSE(config.find("A")->found);
  EXPECT_TRUE(logs_.empty());

  try {
    config.load(dir_);  // a directory cannot be read as a file
    FAIL() << "expected config_error";
  } catch (const config_error& e) {
    EXPECT_EQ(0u, std::string(e.what()).find(dir_ + ": cannot read")) << e.what();
  }
}

TEST_F(ConfigTest, SaveRefusesWhatCannotBeReadBack) {
  Config config;
  config.set_text("A", "1");
  config.save(path_);
  const std::string good = read_file();
  EXPECT_EQ("A 1\n", good);

  // A line break in a value would forge a second entry.
  config.set_text("B", "x\nON 1");
  EXPECT_THROW(config.save(path_), config_error);
  EXPECT_EQ(good, read_file());
  config.set_text("B", "");

  config.set_text("#C", "1");
  EXPECT_THROW(config.save(path_), config_error);
  config.set_text("#C", "");

  config.set_text("D E", "1");
  EXPECT_THROW(config.save(path_), config_error);
  config.set_text("D E", "");

  // Blanks around a value are not kept; a value of blanks only is no value.
  config.set_text("F", "  spaced  ");
  config.set_text("G", "   ");
  config.save(path_);
  EXPECT_EQ("A 1\nF spaced\n", read_file());
  EXPECT_EQ(std::vector<std::string>{"location.conf"}, files());

  try {
    config.save(dir_ + "/no/such/dir/x.conf");
    FAIL() << "expected config_error";
  } catch (const config_error& e) {
    EXPECT_EQ(0u, std::string(e.what()).find(dir_ + "/no/such/dir/x.conf: cannot save"))
        << e.what();
  }
}

}  // namespace
