// The shell's commands on a running simulated server, and one scripted run
// of the binary that saves its settings and reads them back after a restart.

#include "tool/shell/shell.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "support/tool_process.h"
#include "tool/output/property_text.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {
namespace {

using daqevstat::testing::lines_of;

const std::string kPeriod = "EVSTAT.STAT.EV.LOST.PERIOD";

ServerOptions slow_server() {
  ServerOptions options;
  options.rate_hz = 200.0;
  return options;
}

class ShellTest : public ::testing::Test {
 protected:
  ShellTest() : server_(slow_server()), shell_(server_, out_) { server_.start(); }

  // The output of one command line; `more` receives execute's result.
  std::string run(const std::string& line, bool* more = nullptr) {
    out_.str("");
    const bool result = shell_.execute(line);
    if (more != nullptr) *more = result;
    return out_.str();
  }

  SimulatedServer server_;
  std::ostringstream out_;
  Shell shell_;
};

TEST_F(ShellTest, SwitchingOffRemovesTheOtherPropertiesAndOnBringsThemBack) {
  ASSERT_EQ(11u, lines_of(run("list")).size());
  EXPECT_EQ("EVSTAT.STAT.ON: sent int 0; reply 0; value now 0 (was 1); 10 properties removed\n",
            run("set EVSTAT.STAT.ON 0"));
  EXPECT_EQ("EVSTAT.STAT.ON = 0\n", run("list"));
  EXPECT_EQ("error: EVSTAT.STAT.EV.TOTAL: unknown property (error 4)\n",
            run("get EVSTAT.STAT.EV.TOTAL"));
  EXPECT_TRUE(shell_.interfered());
  EXPECT_EQ("EVSTAT.STAT.ON: sent int 1; reply 1; value now 1 (was 0); 10 properties added\n",
            run("set EVSTAT.STAT.ON 1"));
  EXPECT_EQ(11u, lines_of(run("list")).size());
}

TEST_F(ShellTest, PeriodStoresPositiveValuesOnlyAndTruncatesReals) {
  const std::string prefix = kPeriod + ": sent ";
  EXPECT_EQ(prefix + "int 30; reply 30; value now 30 (was 15)\n", run("set " + kPeriod + " 30"));
  EXPECT_EQ(prefix + "int 0; reply 30; value unchanged (30)\n", run("set " + kPeriod + " 0"));
  EXPECT_EQ(prefix + "int -5; reply 30; value unchanged (30)\n", run("set " + kPeriod + " -5"));
  EXPECT_EQ(prefix + "double 2.9; reply 2; value now 2 (was 30)\n", run("set " + kPeriod + " 2.9"));
  // A text holds no number for the property: it reads as 0, not stored.
  EXPECT_EQ(prefix + "text \"30\"; reply 2; value unchanged (2)\n",
            run("set " + kPeriod + " \"30\""));
  EXPECT_FALSE(shell_.interfered());
}

TEST_F(ShellTest, CounterWriteIsAnsweredWithTheCurrentValueAndChangesNothing) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (remote_read(server_.location(), "EVSTAT.STAT.EV.TOTAL").get_long() < 2 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server_.stop();  // a still picture: no event moves the counter between the reads
  const std::string total = reply_text(remote_read(server_.location(), "EVSTAT.STAT.EV.TOTAL"));
  ASSERT_NE("0", total);
  EXPECT_EQ(
      "EVSTAT.STAT.EV.TOTAL: sent int 5; reply " + total + "; value unchanged (" + total + ")\n",
      run("set EVSTAT.STAT.EV.TOTAL 5"));
  EXPECT_EQ("EVSTAT.STAT.EV.LOST: sent double 7.5; reply 0; value unchanged (0)\n",
            run("set EVSTAT.STAT.EV.LOST 7.5"));
  EXPECT_EQ("error: EVSTAT.STAT.EV.LATENCY.TD: read only (error 3)\n",
            run("set EVSTAT.STAT.EV.LATENCY.TD 1"));
}

TEST_F(ShellTest, EveryPropertyIsListedAndReadable) {
  const std::vector<std::string> names = server_.location().property_names();
  const std::vector<std::string> listed = lines_of(run("list"));
  ASSERT_EQ(names.size(), listed.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(0u, listed[i].rfind(names[i] + " = ", 0)) << listed[i];
    const std::string got = run("get " + names[i]);
    EXPECT_EQ(0u, got.rfind(names[i] + " = ", 0)) << got;
    EXPECT_EQ(1u, lines_of(got).size()) << got;
    EXPECT_EQ(std::string::npos, got.find("error")) << got;
  }
}

TEST_F(ShellTest, MistakesGetOneErrorLineAndTheShellGoesOn) {
  bool more = false;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"frobnicate", "error: unknown command 'frobnicate' (try help)\n"},
      {"get", "error: usage: get NAME\n"},
      {"get A B", "error: usage: get NAME\n"},
      {"set EVSTAT.STAT.ON", "error: usage: set NAME VALUE\n"},
      {"clear some", "error: usage: clear [all]\n"},
      {"get NO.SUCH", "error: NO.SUCH: unknown property (error 4)\n"},
      {"set NO.SUCH 1", "error: NO.SUCH: unknown property (error 4)\n"},
      {"save", "error: no --config file given\n"},
      {"quit now", "error: usage: quit\n"},
      {"", ""},
      {"   # a comment", ""},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(expected, run(line, &more)) << line;
    EXPECT_TRUE(more) << line;
  }
  run("quit", &more);
  EXPECT_FALSE(more);
  run(" exit\r", &more);
  EXPECT_FALSE(more);
}

TEST_F(ShellTest, ClearAndPauseMarkTheRunForTheReport) {
  EXPECT_EQ("cleared 1 object: counters and distributions\n", run("clear"));
  EXPECT_TRUE(shell_.interfered());
  EXPECT_EQ("paused: no events until resume\n", run("pause"));
  EXPECT_TRUE(server_.paused());
  EXPECT_EQ("already paused\n", run("pause"));
  EXPECT_EQ("resumed\n", run("resume"));
  EXPECT_FALSE(server_.paused());
  EXPECT_NE(std::string::npos, run("report").find("EVSTAT.STAT.EV.TOTAL"));
}

TEST(ShellSaveTest, SaveNamesTheFileOrTellsWhyItFailedOnOneLine) {
  auto folder = std::make_unique<daqevstat::testing::TempFolder>("daqevstat_shell_save");
  const std::string dir = folder->path();
  ASSERT_FALSE(dir.empty());
  ServerOptions options = slow_server();
  options.config_file = dir + "/s.conf";
  SimulatedServer server(options);
  std::ostringstream out;
  Shell shell(server, out);
  EXPECT_TRUE(shell.execute("save"));
  EXPECT_EQ("saved to " + options.config_file + "\n", out.str());
  folder.reset();
  out.str("");
  EXPECT_TRUE(shell.execute("save"));
  EXPECT_EQ(0u, out.str().rfind("error: save: ", 0)) << out.str();
  EXPECT_EQ(1u, lines_of(out.str()).size()) << out.str();
}

TEST(ShellValueTest, TheFormOfTheTextChoosesTheType) {
  struct Case {
    const char* text;
    int type;
    double number;  // for numbers
  };
  const Case cases[] = {
      {"30", DATA_INT, 30},
      {"-5", DATA_INT, -5},
      {"+7", DATA_INT, 7},
      {"-2147483648", DATA_INT, -2147483648.0},
      {"2147483648", DATA_LONG, 2147483648.0},
      {"99999999999999999999", DATA_DOUBLE, 1e20},
      {"2.9", DATA_DOUBLE, 2.9},
      {".5", DATA_DOUBLE, 0.5},
      {"1e3", DATA_DOUBLE, 1000},
      {"-INF", DATA_DOUBLE, -HUGE_VAL},
      {"2.5f", DATA_FLOAT, 2.5},
      {"30F", DATA_FLOAT, 30},
      {"1e", DATA_STRING, 0},
      {"1.2.3", DATA_STRING, 0},
      {"--5", DATA_STRING, 0},
      {".", DATA_STRING, 0},
      {"0x10", DATA_STRING, 0},
      {"\"30\"", DATA_STRING, 0},
  };
  for (const Case& c : cases) {
    const EqData value = value_from_text(c.text);
    EXPECT_EQ(c.type, value.type()) << c.text;
    if (c.type != DATA_STRING) {
      EXPECT_EQ(c.number, value.get_double()) << c.text;
    }
  }
  EXPECT_TRUE(std::isnan(value_from_text("nan").get_double()));
  EXPECT_EQ("30", value_from_text("\"30\"").get_string());
  EXPECT_EQ("a b", value_from_text("a b").get_string());
}

// The binary with a script on standard input and a settings file; then a
// second run reads back what the first one saved at its end.
TEST(ShellBinaryTest, ScriptedRunSavesTheSettingsForTheNextStart) {
  const daqevstat::testing::TempFolder folder("daqevstat_shell");
  const std::string dir = folder.path();
  ASSERT_FALSE(dir.empty());
  const auto run_script = [&dir](const std::string& script, std::string* out) {
    std::ofstream(dir + "/script") << script;
    const std::string command = std::string("'") + DAQEVSTAT_TOOL_PATH +
                                "' shell --rate 200 --objects 2 --config '" + dir + "/s.conf' <'" +
                                dir + "/script' >'" + dir + "/out' 2>'" + dir + "/err'";
    const int status = std::system(command.c_str());
    std::ifstream in(dir + "/out");
    std::stringstream text;
    text << in.rdbuf();
    *out = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };

  std::string out;
  ASSERT_EQ(0, run_script("pause\n"
                          "set EVSTAT.STAT.ON 0\n"
                          "set EVSTAT.STAT.ON 1\n"
                          "set EVSTAT.STAT.EV.LOST.PERIOD 30\n"
                          "set EVSTAT.STAT.EV.LOST.PERIOD 0\n"
                          "set EVSTAT.STAT.EV.TOTAL 5\n"
                          "set EVSTAT2.STAT.ON 0\n"
                          "bogus\n"
                          "list\n"
                          "quit\n"
                          "after-quit\n",
                          &out))
      << out;
  const std::string expected[] = {
      "EVSTAT.STAT.ON: sent int 0; reply 0; value now 0 (was 1); 10 properties removed\n",
      "EVSTAT.STAT.ON: sent int 1; reply 1; value now 1 (was 0); 10 properties added\n",
      "EVSTAT.STAT.EV.LOST.PERIOD: sent int 0; reply 30; value unchanged (30)\n",
      "error: unknown command 'bogus' (try help)\n",
      "EVSTAT.STAT.EV.LOST.PERIOD = 30\n",
      "EVSTAT2.STAT.ON = 0\n",
  };
  for (const std::string& line : expected) EXPECT_NE(std::string::npos, out.find(line)) << line;
  // The source is paused, but an event it was delivering as the pause came
  // may still be counted early on; so the counter is not expected to be 0.
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex(R"(EVSTAT\.STAT\.EV\.TOTAL: sent int 5; reply (\d+); value unchanged \(\1\)\n)")))
      << out;
  EXPECT_EQ(std::string::npos, out.find("after-quit")) << "a command after quit ran";

  // No quit: the end of the input ends the shell.
  ASSERT_EQ(0, run_script("get EVSTAT.STAT.EV.LOST.PERIOD\n"
                          "get EVSTAT2.STAT.ON\n"
                          "get EVSTAT2.STAT.EV.TOTAL\n",
                          &out));
  EXPECT_EQ(
      "EVSTAT.STAT.EV.LOST.PERIOD = 30\n"
      "EVSTAT2.STAT.ON = 0\n"
      "error: EVSTAT2.STAT.EV.TOTAL: unknown property (error 4)\n",
      out);

  // A period written and then switched off with its set is still saved.
  ASSERT_EQ(0, run_script("set EVSTAT.STAT.EV.LOST.PERIOD 45\nset EVSTAT.STAT.ON 0\n", &out));
  ASSERT_EQ(0, run_script("get EVSTAT.STAT.ON\n"
                          "set EVSTAT.STAT.ON 1\n"
                          "get EVSTAT.STAT.EV.LOST.PERIOD\n",
                          &out));
  EXPECT_EQ(0u, out.find("EVSTAT.STAT.ON = 0\n")) << out;
  EXPECT_NE(std::string::npos, out.find("EVSTAT.STAT.EV.LOST.PERIOD = 45\n")) << out;
}

}  // namespace
}  // namespace daqevstat::tool
