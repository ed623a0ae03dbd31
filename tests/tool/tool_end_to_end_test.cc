// Replays small streams through the daqevstat binary and checks its output
// against values worked out by hand from the counting rules.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "event.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

// Parsed keeping the written member order, which the tool promises.
using Json = nlohmann::ordered_json;

using RunResult = daqevstat::testing::ToolRun;
using daqevstat::testing::read_file;
using daqevstat::testing::shell_quoted;
using daqevstat::testing::TempFolder;

class ToolTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  RunResult run(const std::vector<std::string>& args) {
    std::string command = shell_quoted(DAQEVSTAT_TOOL_PATH);
    for (const auto& arg : args) command += " " + shell_quoted(arg);
    const std::string out = dir_ + "/stdout";
    const std::string err = dir_ + "/stderr";
    command += " >" + shell_quoted(out) + " 2>" + shell_quoted(err) + " </dev/null";
    RunResult result;
    const int status = std::system(command.c_str());
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
  }

  // Replays `csv` with --json and the extra arguments; returns the
  // "properties" object.
  Json replay_json(const std::string& csv, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"replay", "--json"});
    args.push_back(write("events.csv", csv));
    const RunResult result = run(args);
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ("", result.err);
    return Json::parse(result.out).at("properties");
  }

  TempFolder folder_{std::string("daqevstat_") +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::string dir_ = folder_.path();
};

// Count of each non-zero bin of a spectrum property, as "index:count" pairs.
std::string bins_of(const Json& spectrum) {
  std::string text;
  for (const auto& [index, count] : spectrum.at("bins").items()) {
    EXPECT_TRUE(count.is_number_integer()) << count;
    text += (text.empty() ? "" : " ") + index + ":" + count.dump();
  }
  return text;
}

double bin_total(const Json& spectrum) {
  double total = 0.0;
  for (const auto& count : spectrum.at("bins")) total += count.get<double>();
  return total;
}

TEST_F(ToolTest, ReplaysGapAndBackwardsEvent) {
  // Event times 100 ms apart; arrivals 5, 7, 3 and 10 ms after them.
  const std::string first_three =
      "100,1000,0,1000,5000\n"
      "104,1000,100000,1000,107000\n"
      "102,1000,200000,1000,203000\n";
  Json props = replay_json(first_three);
  // 104 loses 3, 102 (older than the reference 104) takes one back.
  EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.TOTAL").get<double>());
  EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(-2, props.at("EVSTAT.STAT.EV.DIFF").get<double>());
  EXPECT_EQ(2.0f / 3.0f * 100.0f, props.at("EVSTAT.STAT.EV.LOST.PERC").get<float>());

  props = replay_json(first_three + "105,1000,300000,1000,310000\n");
  ASSERT_EQ(11u, props.size());
  EXPECT_EQ(1, props.at("EVSTAT.STAT.ON").get<double>());
  EXPECT_EQ(4, props.at("EVSTAT.STAT.EV.TOTAL").get<double>());
  EXPECT_TRUE(props.at("EVSTAT.STAT.EV.TOTAL").is_number_integer());
  EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(15, props.at("EVSTAT.STAT.EV.LOST.PERIOD").get<double>());
  EXPECT_EQ(1, props.at("EVSTAT.STAT.EV.DIFF").get<double>());  // against the reference 104
  EXPECT_EQ(50, props.at("EVSTAT.STAT.EV.LOST.PERC").get<double>());
  EXPECT_EQ(50, props.at("EVSTAT.STAT.EV.LOST.PRD.PERC").get<double>());

  const Json& info = props.at("EVSTAT.STAT.EV.INFO");
  EXPECT_EQ(105, info.at("i1_data").get<double>());
  EXPECT_EQ(4, info.at("f1_data").get<double>());
  EXPECT_EQ(300, info.at("f2_data").get<double>());
  EXPECT_EQ(1000, info.at("tm").get<double>());
  EXPECT_EQ("VREL_EV_UNKNOWN(4294967295)", info.at("str_data").get<std::string>());

  EXPECT_EQ("3:1 5:1 7:1 10:1", bins_of(props.at("EVSTAT.STAT.EV.LATENCY.TD")));
  // 104 - 100 and 102 - 104 (reference kept) are 100 ms, 105 - 104 200 ms.
  EXPECT_EQ("100:2 200:1", bins_of(props.at("EVSTAT.STAT.EV.PERIOD.TD")));
  EXPECT_EQ("96:1 102:1 107:1", bins_of(props.at("EVSTAT.STAT.EV.PERIODL.TD")));
}

TEST_F(ToolTest, PeriodRolloverKeepsPeriodPercentage) {
  // Period 2 s of local time: the third event starts a new period and is
  // not counted in it, so its gap of 2 does not reach the period figures.
  const std::string csv =
      "10,500,0,1000,0\n"
      "12,500,100000,1001,0\n"
      "15,500,200000,1002,0\n";
  const Json props = replay_json(csv, {"--period", "2"});
  EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.LOST.PERIOD").get<double>());
  EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(100, props.at("EVSTAT.STAT.EV.LOST.PERC").get<double>());
  EXPECT_EQ(50, props.at("EVSTAT.STAT.EV.LOST.PRD.PERC").get<double>());  // from the second event
  // 500 s of latency lands in the last bin.
  EXPECT_EQ("8191:3", bins_of(props.at("EVSTAT.STAT.EV.LATENCY.TD")));
  EXPECT_EQ("1000:2", bins_of(props.at("EVSTAT.STAT.EV.PERIODL.TD")));

  const RunResult summary = run({"replay", "--period=2", write("s.csv", csv)});
  ASSERT_EQ(0, summary.exit_code) << summary.err;
  EXPECT_NE(std::string::npos, summary.out.find("lost-events period     2 s\n"));
  EXPECT_NE(std::string::npos, summary.out.find("events in period       0\n"));
  EXPECT_NE(std::string::npos, summary.out.find("lost in period         0\n"));
  EXPECT_NE(std::string::npos, summary.out.find("first event            10 at 500.000000\n"));
  EXPECT_NE(std::string::npos, summary.out.find("last event             15 at 500.200000\n"));
  EXPECT_NE(std::string::npos,
            summary.out.find("latency                3 samples, min 8191 ms, max 8191 ms"));
}

TEST_F(ToolTest, NegativeLostTotalLinePrecedesJson) {
  // Real clock: no arrival columns. The repeat of 101, event number 0 and
  // time 0 are not counted. 99 and 98 each take one lost event back (-2);
  // 103 after the reference 101 would bring it to -1, which is refused.
  const std::string csv =
      "100,1000,0\n"
      "101,1000,100000\n"
      "101,1000,100000\n"
      "0,1000,150000\n"
      "104,0,0\n"
      "99,1000,200000\n"
      "98,1000,300000\n"
      "103,1000,400000\n";
  const RunResult result = run({"replay", "--json", write("neg.csv", csv)});
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::string line = "NEGATIVE LOST EVENTS -1   cur_event:103  prev_event:101  val:2\n";
  ASSERT_EQ(0u, result.out.rfind(line, 0)) << result.out;
  const Json props = Json::parse(result.out.substr(line.size())).at("properties");
  EXPECT_EQ(5, props.at("EVSTAT.STAT.EV.TOTAL").get<double>());
  EXPECT_EQ(-2, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.DIFF").get<double>());
  EXPECT_EQ(-40, props.at("EVSTAT.STAT.EV.LOST.PERC").get<double>());
  EXPECT_EQ(5, bin_total(props.at("EVSTAT.STAT.EV.LATENCY.TD")));
  // Event-time distances to the reference 101 (kept for 99 and 98):
  // 100, 100, 200 and 300 ms.
  EXPECT_EQ("100:2 200:1 300:1", bins_of(props.at("EVSTAT.STAT.EV.PERIOD.TD")));
}

TEST_F(ToolTest, WrappedEventNumbersAndLateTest) {
  // 2^32 - 3 to 1 is a step of 4, but slot 0 of the ring still holds 0, so
  // event 1 counts as late and adds nothing; 1 to 4 loses 2 and 3.
  const Json props = replay_json(
      "4294967293,1000,0,1000,0\n"
      "1,1000,100000,1000,100000\n"
      "4,1000,200000,1000,200000\n");
  EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.TOTAL").get<double>());
  EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.DIFF").get<double>());
  EXPECT_EQ("0:3", bins_of(props.at("EVSTAT.STAT.EV.LATENCY.TD")));
}

TEST_F(ToolTest, BaseNameTypeAndIgnoredPeriod) {
  const Json props = replay_json("7,1000,250000,1000,250000\n",
                                 {"--base", "DAQ1", "--type", "1", "--period", "0"});
  ASSERT_EQ(11u, props.size());
  for (const auto& [name, value] : props.items()) {
    EXPECT_EQ(0u, name.rfind("DAQ1.STAT.", 0)) << name;
  }
  EXPECT_EQ(15, props.at("DAQ1.STAT.EV.LOST.PERIOD").get<double>());
  EXPECT_EQ("VREL_EV_NORMAL", props.at("DAQ1.STAT.EV.INFO").at("str_data").get<std::string>());
  EXPECT_EQ(250, props.at("DAQ1.STAT.EV.INFO").at("f2_data").get<double>());
  EXPECT_EQ(0, props.at("DAQ1.STAT.EV.DIFF").get<double>());
  EXPECT_EQ("", bins_of(props.at("DAQ1.STAT.EV.PERIOD.TD")));
}

TEST_F(ToolTest, ReplaysRawRecordFormats) {
  // Events 5, 6 and 9 in each layout: total 3, lost 2, difference 3.
  std::string tids;
  std::string headers;
  std::string blocks;
  for (std::uint32_t number : {5u, 6u, 9u}) {
    const vrel_time_id tid{number, {1000, number * 1000}};
    tids.append(reinterpret_cast<const char*>(&tid), sizeof tid);
    vrel_eventheader header{};
    header.event_number = number;
    header.event_time = tid.time;
    headers.append(reinterpret_cast<const char*>(&header), sizeof header);
    vrel_serv_block_head_2010 block{};
    block.mpulse = static_cast<std::int32_t>(number);
    block.time = tid.time;
    blocks.append(reinterpret_cast<const char*>(&block), sizeof block);
  }
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"tid", tids}, {"header", headers}, {"block", blocks}};
  for (const auto& [format, content] : inputs) {
    const RunResult result =
        run({"replay", "--json", "--format", format, write(format + ".bin", content)});
    ASSERT_EQ(0, result.exit_code) << format << ": " << result.err;
    const Json props = Json::parse(result.out).at("properties");
    EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.TOTAL").get<double>()) << format;
    EXPECT_EQ(2, props.at("EVSTAT.STAT.EV.LOST").get<double>()) << format;
    EXPECT_EQ(3, props.at("EVSTAT.STAT.EV.DIFF").get<double>()) << format;
    EXPECT_EQ(9, props.at("EVSTAT.STAT.EV.INFO").at("i1_data").get<double>()) << format;
  }
}

TEST_F(ToolTest, BadInputFailsWithoutOutput) {
  const std::string bad_csv = write("bad.csv", "# comment\n1,1000,0,1000,0\n2,1000,x\n");
  RunResult result = run({"replay", bad_csv});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(0u, result.err.rfind("daqevstat: " + bad_csv + ":3: timelow:", 0)) << result.err;

  const std::string truncated = write("short.tid", std::string(12 + 3, '\x01'));
  result = run({"replay", "--json", "--format", "tid", truncated});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_EQ("daqevstat: " + truncated + ": truncated record at byte offset 12 (3 of 12 bytes)\n",
            result.err);

  const std::string missing = dir_ + "/missing.csv";
  result = run({"replay", missing});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find(missing + ": cannot open")) << result.err;

  result = run({"replay", dir_});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find(dir_ + ":")) << result.err;
}

TEST_F(ToolTest, UsageAndHelp) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"replay"}, {"replay", "--bogus", "f.csv"}, {"replay", "--format", "xml", "f"}}) {
    const RunResult result = run(args);
    EXPECT_EQ(2, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_NE(std::string::npos, result.err.find("usage: daqevstat replay")) << result.err;
  }
  for (const std::string help : {"--help", "help"}) {
    const RunResult result = run({help});
    EXPECT_EQ(0, result.exit_code);
    EXPECT_NE(std::string::npos, result.out.find("usage: daqevstat"));
    EXPECT_NE(std::string::npos, result.out.find("daqevstat replay [--base NAME]"));
    EXPECT_EQ("", result.err);
  }
}

TEST_F(ToolTest, SampleStream) {
  // What scripts/make_sample_stream.py builds: 2967 records, one a repeat,
  // so 2966 counted; 35 numbers never sent, one taken back by the backwards
  // event (the late event's gap is taken back when it arrives).
  const std::string sample = std::string(DAQEVSTAT_SAMPLES_DIR) + "/sample_stream.csv";
  RunResult result = run({"replay", "--json", sample});
  ASSERT_EQ(0, result.exit_code) << result.err;
  const Json props = Json::parse(result.out).at("properties");
  EXPECT_EQ(2966, props.at("EVSTAT.STAT.EV.TOTAL").get<double>());
  EXPECT_EQ(34, props.at("EVSTAT.STAT.EV.LOST").get<double>());
  EXPECT_EQ(1, props.at("EVSTAT.STAT.EV.DIFF").get<double>());
  EXPECT_EQ(34.0f / 2966.0f * 100.0f, props.at("EVSTAT.STAT.EV.LOST.PERC").get<float>());
  EXPECT_EQ(2966, bin_total(props.at("EVSTAT.STAT.EV.LATENCY.TD")));
  EXPECT_EQ(2965, bin_total(props.at("EVSTAT.STAT.EV.PERIOD.TD")));
  EXPECT_EQ(2965, bin_total(props.at("EVSTAT.STAT.EV.PERIODL.TD")));
  EXPECT_EQ(3999, props.at("EVSTAT.STAT.EV.INFO").at("i1_data").get<double>());

  result = run({"replay", sample});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_NE(std::string::npos, result.out.find("events counted         2966\n"));
}

TEST_F(ToolTest, SampleStreamJsonMatchesRecordedOutput) {
  // The JSON is read by other tools: the sample's output, recorded in
  // tests/tool/data, must keep its members, their order, their values and
  // whether each number is an integer. Only the layout may change, so both
  // are compared in one layout.
  const std::string sample = std::string(DAQEVSTAT_SAMPLES_DIR) + "/sample_stream.csv";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "sample_stream.json"}, {{"--period", "5"}, "sample_stream_period5.json"}};
  for (const auto& [options, recorded] : cases) {
    std::vector<std::string> args = {"replay", "--json"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(sample);
    const RunResult result = run(args);
    ASSERT_EQ(0, result.exit_code) << result.err;
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ('\n', result.out.back());
    const Json want =
        Json::parse(read_file(std::string(DAQEVSTAT_TOOL_TEST_DATA_DIR) + "/" + recorded));
    EXPECT_EQ(want.dump(2), Json::parse(result.out).dump(2)) << recorded;
  }
}

}  // namespace
