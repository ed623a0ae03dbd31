// `daqevstat get`, `set`, `watch` and `shell --connect` against a real
// `daqevstat simulate --listen` child on loopback. Every run of the tool is
// bounded by timeout(1), and the server child by a wait that kills it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "stat_property_names.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

using daqevstat::testing::lines_of;
using daqevstat::testing::read_file;
using daqevstat::testing::shell_quoted;
using daqevstat::testing::TempFolder;
using daqevstat::testing::ToolProcess;
using daqevstat::testing::ToolRun;

constexpr const char* kToken = "client-end-to-end-token";
const std::string kPeriod = "EVSTAT.STAT.EV.LOST.PERIOD";

// A simulated server serving over HTTP until stopped.
std::unique_ptr<ToolProcess> start_server(const std::string& dir) {
  std::ofstream(dir + "/server.token") << kToken << "\n";
  const std::vector<std::string> args = {
      "simulate",           "--duration", "0",        "--rate",      "200",
      "--latency-ms",       "3",          "--listen", "127.0.0.1:0", "--write-token-file",
      dir + "/server.token"};
  return std::make_unique<ToolProcess>(dir, args, false, "server.");
}

class ClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder("daqevstat_client");
    dir_ = new std::string(folder_->path());
    server_ = start_server(*dir_).release();
    url_ = new std::string(server_->url());
  }
  static void TearDownTestSuite() {
    server_->stop();
    delete server_;
    delete folder_;
    delete url_;
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(0u, url_->rfind("http://127.0.0.1:", 0)) << *url_; }

  // One run of the tool with nothing of the caller's environment for the
  // client; `environment` holds "NAME=VALUE" words, `input` goes to its
  // standard input.
  static ToolRun run(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment = {},
                     const std::string& input = "") {
    std::ofstream(*dir_ + "/in") << input;
    std::string command = "timeout -s KILL 30 env -u DAQEVSTAT_SERVER -u DAQEVSTAT_TOKEN";
    for (const std::string& word : environment) command += " " + shell_quoted(word);
    command += " " + shell_quoted(DAQEVSTAT_TOOL_PATH);
    for (const std::string& arg : args) command += " " + shell_quoted(arg);
    command += " <" + shell_quoted(*dir_ + "/in") + " >" + shell_quoted(*dir_ + "/out") + " 2>" +
               shell_quoted(*dir_ + "/err");
    const int status = std::system(command.c_str());
    ToolRun result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(*dir_ + "/out");
    result.err = read_file(*dir_ + "/err");
    return result;
  }

  static std::string token_file() { return *dir_ + "/server.token"; }

  static std::string* dir_;
  static TempFolder* folder_;
  static ToolProcess* server_;
  static std::string* url_;
};

std::string* ClientTest::dir_ = nullptr;
TempFolder* ClientTest::folder_ = nullptr;
ToolProcess* ClientTest::server_ = nullptr;
std::string* ClientTest::url_ = nullptr;

TEST_F(ClientTest, GetReadsEveryPropertyAndNamesAnUnknownOne) {
  std::vector<std::string> args = {"get", "--server", *url_};
  for (const auto& property : daqevstat::stat_property::kAll) {
    args.push_back("EVSTAT" + std::string(property.suffix));
  }
  ToolRun result = run(args);
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(daqevstat::stat_property::kCount, lines.size()) << result.out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(0u, lines[i].rfind(args[i + 3] + " = ", 0)) << lines[i];
  }
  EXPECT_EQ("EVSTAT.STAT.ON = 1", lines[0]);
  EXPECT_NE(std::string::npos, result.out.find("EVSTAT.STAT.EV.LATENCY.TD = spectrum, "));

  // The unknown name is reported by name; the known ones are still read.
  result = run({"get", "EVSTAT.STAT.ON", "EVSTAT.NO.SUCH", kPeriod}, {"DAQEVSTAT_SERVER=" + *url_});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_NE(std::string::npos, result.err.find("EVSTAT.NO.SUCH")) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("404")) << result.err;
  EXPECT_EQ(2u, lines_of(result.out).size()) << result.out;

  // --json: the server's answers, one a line.
  result = run({"get", "--json", "--server", *url_, "EVSTAT.STAT.ON", kPeriod});
  ASSERT_EQ(0, result.exit_code) << result.err;
  for (const std::string& line : lines_of(result.out)) {
    const nlohmann::json answer = nlohmann::json::parse(line);
    EXPECT_TRUE(answer.at("value").is_number_integer()) << line;
  }
}

TEST_F(ClientTest, SetNeedsTheTokenAndPrintsTheServersAnswer) {
  const std::vector<std::string> server = {"DAQEVSTAT_SERVER=" + *url_};
  const ToolRun before = run({"get", kPeriod}, server);
  ASSERT_EQ(0, before.exit_code) << before.err;

  ToolRun result = run({"set", kPeriod, "41"}, server);
  EXPECT_EQ(1, result.exit_code);
  EXPECT_NE(std::string::npos, result.err.find("403")) << result.err;
  EXPECT_EQ(1u, lines_of(result.err).size()) << result.err;
  EXPECT_EQ(before.out, run({"get", kPeriod}, server).out);  // unchanged

  result = run({"set", "--token-file", token_file(), kPeriod, "41"}, server);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(kPeriod + " = 41\n", result.out);
  result = run({"set", kPeriod, "42"},
               {"DAQEVSTAT_SERVER=" + *url_, std::string("DAQEVSTAT_TOKEN=") + kToken});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(kPeriod + " = 42\n", run({"get", kPeriod}, server).out);

  // A wrong token is refused as none is; a value without JSON form is a
  // usage error before anything is sent.
  result = run({"set", kPeriod, "43"}, {"DAQEVSTAT_SERVER=" + *url_, "DAQEVSTAT_TOKEN=wrong"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(2, run({"set", kPeriod, "nan"}, server).exit_code);
  EXPECT_EQ(kPeriod + " = 42\n", run({"get", kPeriod}, server).out);
}

TEST_F(ClientTest, WatchOnAPipePrintsPlainLinesAndStopsAfterCount) {
  const ToolRun result =
      run({"watch", "--server", *url_, "--interval", "0.2", "--count", "3", "EVSTAT"});
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(3u, lines.size()) << result.out;
  for (const std::string& line : lines) {
    EXPECT_EQ(0u, line.rfind("EVSTAT: events ", 0)) << line;
    EXPECT_NE(std::string::npos, line.find(" lost in period ")) << line;
  }
  EXPECT_EQ(std::string::npos, result.out.find('\r'));

  const ToolRun unknown = run({"watch", "--server", *url_, "--count", "1", "NOPE"});
  EXPECT_EQ(1, unknown.exit_code);
  EXPECT_NE(std::string::npos, unknown.err.find("no statistics object NOPE")) << unknown.err;
}

TEST_F(ClientTest, ShellConnectRunsAScriptFromAPipe) {
  const ToolRun result =
      run({"shell", "--connect", *url_}, {std::string("DAQEVSTAT_TOKEN=") + kToken},
          "# a comment\nget EVSTAT.STAT.ON\nset " + kPeriod +
              " 33\npause\nget NOPE\nlist\nquit\n"
              "get EVSTAT.STAT.ON\n");
  ASSERT_EQ(0, result.exit_code) << result.err;
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_GE(lines.size(), 4u) << result.out;
  EXPECT_EQ("EVSTAT.STAT.ON = 1", lines[0]);
  EXPECT_EQ(0u, lines[1].rfind(kPeriod + ": sent int 33; reply 33; value ", 0)) << lines[1];
  EXPECT_EQ("error: pause needs a local server (daqevstat shell without --connect)", lines[2]);
  EXPECT_EQ(0u, lines[3].rfind("error: NOPE: ", 0)) << lines[3];
  // list shows every property; nothing runs after quit.
  EXPECT_NE(std::string::npos, result.out.find(kPeriod + " = 33\n"));
  EXPECT_EQ(lines.size(), 4u + daqevstat::stat_property::kCount) << result.out;
}

// Each refusal or ignored write, on a server of its own (the last cases
// switch statistics off and exhaust the wrong-token allowance): exit 1 and
// a line that says what happened and what to do.
TEST_F(ClientTest, RefusalsSayWhatHappened) {
  const std::string other = *dir_ + "/refusals";
  ASSERT_EQ(0, ::mkdir(other.c_str(), 0700));
  const std::unique_ptr<ToolProcess> refusing = start_server(other);
  const std::string url = refusing->url();
  ASSERT_FALSE(url.empty());
  const std::string server = "DAQEVSTAT_SERVER=" + url;
  const std::string token = std::string("DAQEVSTAT_TOKEN=") + kToken;
  const std::string wrong = "DAQEVSTAT_TOKEN=a-wrong-token-of-good-length";
  const std::string total = "EVSTAT.STAT.EV.TOTAL";
  struct Case {
    std::vector<std::string> args;
    std::string environment;  // besides the server
    int status;
    std::string out;  // standard output; a trailing '*' stands for any value
    std::string err;  // the whole of standard error
  };
  const std::string off = "statistics are off (EVSTAT.STAT.ON = 0)";
  const Case cases[] = {
      {{"set", kPeriod, "0"}, token, 1, kPeriod + " = 15 unchanged\n", ""},
      {{"set", kPeriod, "-5"}, token, 1, kPeriod + " = 15 unchanged\n", ""},
      {{"set", total, "5"}, token, 1, total + " = * unchanged\n", ""},
      {{"set", kPeriod, "15"}, token, 0, kPeriod + " = 15\n", ""},
      {{"set", kPeriod, "20"},
       "",
       1,
       "",
       "daqevstat set: " + kPeriod +
           ": refused: no write token given: pass --token-file FILE or set DAQEVSTAT_TOKEN "
           "(HTTP 403)\n"},
      {{"set", kPeriod, "20"},
       wrong,
       1,
       "",
       "daqevstat set: " + kPeriod +
           ": refused: the server did not accept the write token from DAQEVSTAT_TOKEN "
           "(HTTP 403)\n"},
      {{"set", "EVSTAT.STAT.ON", "0"}, token, 0, "EVSTAT.STAT.ON = 0\n", ""},
      {{"get", total},
       "",
       1,
       "",
       "daqevstat get: " + total + ": unknown property (HTTP 404); " + off + "\n"},
      {{"set", kPeriod, "20"},
       token,
       1,
       "",
       "daqevstat set: " + kPeriod + ": refused: unknown property (HTTP 404); " + off + "\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> environment = {server};
    if (!c.environment.empty()) environment.push_back(c.environment);
    const ToolRun result = run(c.args, environment);
    const std::string what = c.args[0] + " " + c.args[1] + " " + c.args.back();
    EXPECT_EQ(c.status, result.exit_code) << what << ": " << result.err;
    const std::size_t any = c.out.find('*');
    if (any == std::string::npos) {
      EXPECT_EQ(c.out, result.out) << what;
    } else {
      const std::string tail = c.out.substr(any + 1);
      EXPECT_EQ(0u, result.out.rfind(c.out.substr(0, any), 0)) << what << ": " << result.out;
      EXPECT_TRUE(result.out.size() >= tail.size() &&
                  result.out.compare(result.out.size() - tail.size(), tail.size(), tail) == 0)
          << what << ": " << result.out;
    }
    EXPECT_EQ(c.err, result.err) << what;
  }
  // Both shells describe a missing property alike.
  const ToolRun shell = run({"shell", "--connect", url}, {}, "get " + total + "\n");
  EXPECT_EQ("error: " + total + ": unknown property (HTTP 404); " + off + "\n", shell.out);

  // Wrong tokens until the server makes this address wait: the wait is given.
  ToolRun throttled;
  for (int attempt = 0; attempt < 10; ++attempt) {
    throttled = run({"set", kPeriod, "20"}, {server, wrong});
    if (throttled.err.find("429") != std::string::npos) break;
  }
  EXPECT_EQ(1, throttled.exit_code);
  EXPECT_EQ(0u, throttled.err.rfind("daqevstat set: " + kPeriod +
                                        ": refused: too many writes with a wrong token; try "
                                        "again in ",
                                    0))
      << throttled.err;
  EXPECT_NE(std::string::npos, throttled.err.find(" s (HTTP 429)\n")) << throttled.err;
}

TEST_F(ClientTest, UnreachableServersAndBadUrlsEndWithOneLine) {
  const std::string other = *dir_ + "/gone";
  ASSERT_EQ(0, ::mkdir(other.c_str(), 0700));
  const std::unique_ptr<ToolProcess> gone = start_server(other);
  const std::string url = gone->url();
  ASSERT_FALSE(url.empty());
  gone->stop();

  ToolRun result = run({"get", "--server", url, "EVSTAT.STAT.ON"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("daqevstat get: cannot reach " + url + ": Connection refused\n", result.err);
  result = run({"watch", "--server", url, "--interval", "0.1", "--count", "2", "EVSTAT"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(2u, lines_of(result.out).size());
  EXPECT_EQ(0u, result.out.rfind("server gone: cannot reach " + url, 0)) << result.out;
  EXPECT_EQ(1, run({"shell", "--connect", url}).exit_code);

  result = run({"get", "--server", "https://127.0.0.1:1/", "EVSTAT.STAT.ON"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("daqevstat get: cannot reach https://127.0.0.1:1/: Connection refused\n", result.err);
  result = run({"get", "EVSTAT.STAT.ON"});
  EXPECT_EQ(2, result.exit_code);
  EXPECT_NE(std::string::npos, result.err.find("DAQEVSTAT_SERVER")) << result.err;
}

}  // namespace
