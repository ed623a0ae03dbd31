// Runs `daqevstat simulate` as a user does and checks its report against
// the faults it injected.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

using daqevstat::testing::read_file;
using daqevstat::testing::TempFolder;
using daqevstat::testing::ToolRun;

class SimulateTest : public ::testing::Test {
 protected:
  // Runs the tool with `args` (already shell-safe) in the shell command
  // `wrapper`, where "%" stands for the tool's command line; every run is
  // bounded by `timeout`.
  ToolRun run(const std::string& args, const std::string& wrapper = "%") {
    std::string tool = std::string("timeout 60 '") + DAQEVSTAT_TOOL_PATH + "' " + args + " >'" +
                       dir_ + "/out' 2>'" + dir_ + "/err' </dev/null";
    std::string command = wrapper;
    command.replace(command.find('%'), 1, tool);
    const std::string script = dir_ + "/run.sh";
    std::ofstream(script) << command << "\n";
    ToolRun result;
    const int status = std::system(("bash '" + script + "'").c_str());
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(dir_ + "/out");
    result.err = read_file(dir_ + "/err");
    return result;
  }

  // counted, expected, lost and dropped of the report line of `base`.
  static std::vector<long long> counts(const std::string& report, const std::string& base) {
    const std::regex line(
        "  " + base + R"(: counted (-?\d+) \(expected (\d+)\), lost (-?\d+) \(dropped (\d+)\))");
    std::smatch match;
    if (!std::regex_search(report, match, line)) return {};
    return {std::stoll(match[1]), std::stoll(match[2]), std::stoll(match[3]), std::stoll(match[4])};
  }

  TempFolder folder_{"daqevstat_simulate"};
  std::string dir_ = folder_.path();
};

TEST_F(SimulateTest, LossAloneIsCountedExactlyAndEveryPropertyIsReported) {
  for (const char* feed : {"header", "block", "tid"}) {
    const ToolRun result = run(
        std::string("simulate --ideal --rate 3000 --duration 1 --loss 0.05 --seed 11 --objects 2 "
                    "--feed ") +
        feed);
    ASSERT_EQ(0, result.exit_code) << result.err;
    for (const std::string base : {"EVSTAT", "EVSTAT2"}) {
      const std::vector<long long> c = counts(result.out, base);
      ASSERT_EQ(4u, c.size()) << result.out;
      EXPECT_EQ(c[1], c[0]) << feed;  // every delivered event counted
      EXPECT_EQ(c[3], c[2]) << feed;  // lost = dropped, exactly
      EXPECT_GT(c[3], 50) << feed;
      for (const char* suffix :
           {".STAT.ON", ".STAT.EV.INFO", ".STAT.EV.TOTAL", ".STAT.EV.LOST", ".STAT.EV.LOST.PERIOD",
            ".STAT.EV.LATENCY.TD", ".STAT.EV.PERIOD.TD", ".STAT.EV.PERIODL.TD", ".STAT.EV.DIFF",
            ".STAT.EV.LOST.PERC", ".STAT.EV.LOST.PRD.PERC"}) {
        EXPECT_NE(std::string::npos, result.out.find(base + suffix)) << base + suffix;
      }
    }
    EXPECT_NE(std::string::npos, result.out.find("agrees")) << result.out;
    // The share of a core that the thread making the updates used.
    std::smatch usage;
    ASSERT_TRUE(std::regex_search(
        result.out, usage,
        std::regex(
            R"(\n  event thread: (\d+\.\d\d) s CPU in (\d+\.\d\d) s, (\d+\.\d) % of one core\n$)")))
        << result.out;
    EXPECT_GE(std::stod(usage[2]), 0.9) << usage[0];  // a run of one second
    EXPECT_LE(std::stod(usage[1]), std::stod(usage[2]) + 0.01) << usage[0];
  }
}

TEST_F(SimulateTest, DuplicatesAreNeverCountedAndReorderedGapsAreTakenBack) {
  ToolRun result = run("--ideal --rate 3000 --duration 1 --dup 0.2 --seed 5");
  ASSERT_EQ(0, result.exit_code) << result.err;
  std::vector<long long> c = counts(result.out, "EVSTAT");
  ASSERT_EQ(4u, c.size()) << result.out;
  EXPECT_EQ(c[1], c[0]);
  EXPECT_EQ(0, c[2]);
  EXPECT_NE(std::string::npos, result.out.find("duplicated ")) << result.out;

  result =
      run("--ideal --rate 3000 --duration 1 --reorder 0.02 --seed 9 --latency-ms 3 --jitter-ms 1");
  ASSERT_EQ(0, result.exit_code) << result.err;
  c = counts(result.out, "EVSTAT");
  ASSERT_EQ(4u, c.size()) << result.out;
  EXPECT_EQ(c[1], c[0]);
  EXPECT_EQ(0, c[3]);
  // Whatever the lost count, the report explains it in one line.
  EXPECT_TRUE(result.out.find("agrees") != std::string::npos ||
              result.out.find("late-event test") != std::string::npos)
      << result.out;
}

TEST_F(SimulateTest, InterruptEndsWithTheReportAndExitZero) {
  for (const char* signal : {"INT", "TERM"}) {
    const ToolRun result =
        run("--duration 0 --rate 500",
            std::string("% & pid=$!; sleep 1; kill -") + signal + " $pid; wait $pid");
    EXPECT_EQ(0, result.exit_code) << signal << ": " << result.err;
    EXPECT_NE(std::string::npos, result.out.find("interrupted")) << result.out;
    const std::vector<long long> c = counts(result.out, "EVSTAT");
    ASSERT_EQ(4u, c.size()) << result.out;
    EXPECT_GT(c[0], 100);
  }
}

TEST_F(SimulateTest, PicturesOfSimulateAndReplay) {
  ToolRun result = run("--rate 2000 --duration 0.5 --latency-ms 3 --svg '" + dir_ +
                       "/sim.svg' --csv '" + dir_ + "/sim'");
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::string svg = read_file(dir_ + "/sim.svg");
  EXPECT_EQ(0u, svg.find("<?xml")) << svg.substr(0, 80);
  EXPECT_NE(std::string::npos, svg.find("EVSTAT.STAT.EV.LATENCY.TD"));
  EXPECT_NE(std::string::npos, svg.find("</svg>"));
  EXPECT_EQ(0u, read_file(dir_ + "/sim/EVSTAT.STAT.EV.LATENCY.TD.csv").find("bin,start_ms,"));

  const std::string sample = std::string(DAQEVSTAT_SAMPLES_DIR) + "/sample_stream.csv";
  result = run("replay --json --csv '" + dir_ + "/replay' '" + sample + "'");
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::string csv = read_file(dir_ + "/replay/EVSTAT.STAT.EV.PERIOD.TD.csv");
  EXPECT_NE(std::string::npos, csv.find("\n100,100,101,")) << csv;

  // A picture that cannot be written fails the run before anything is printed.
  result = run("replay --svg '" + dir_ + "/missing/dir/f.svg' '" + sample + "'");
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find("missing/dir/f.svg")) << result.err;
}

TEST_F(SimulateTest, BadArgumentsGiveOneLineAndUsage) {
  for (const char* args : {"--rate -1", "--loss 2", "--frobnicate", "simulate --seed"}) {
    const ToolRun result = run(args);
    EXPECT_EQ(2, result.exit_code) << args;
    EXPECT_EQ("", result.out) << args;
    const std::string first_line = result.err.substr(0, result.err.find('\n'));
    EXPECT_EQ(0u, first_line.find("daqevstat: ")) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("usage: daqevstat")) << result.err;
  }
}

}  // namespace
