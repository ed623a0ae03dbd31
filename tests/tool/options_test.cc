#include "tool/options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tool/replay/json_writer.h"

namespace daqevstat::tool {
namespace {

TEST(CommandTest, ParsesReplayOptions) {
  Command command = parse_command({"replay", "events.csv"});
  ASSERT_EQ(Command::Action::replay, command.action);
  EXPECT_EQ("EVSTAT", command.options.base_name);
  EXPECT_FALSE(command.options.event_type.has_value());
  EXPECT_FALSE(command.options.period_sec.has_value());
  EXPECT_EQ(RecordFormat::csv, command.options.format);
  EXPECT_FALSE(command.options.json);
  EXPECT_EQ("events.csv", command.options.file);

  command = parse_command({"replay", "--base", "DAQ1", "--type=1", "--json", "--period", "-5",
                           "--format", "block", "--", "--odd-name"});
  ASSERT_EQ(Command::Action::replay, command.action) << command.error;
  EXPECT_EQ("DAQ1", command.options.base_name);
  EXPECT_EQ(1, command.options.event_type.value());
  EXPECT_EQ(-5, command.options.period_sec.value());
  EXPECT_EQ(RecordFormat::block, command.options.format);
  EXPECT_TRUE(command.options.json);
  EXPECT_EQ("--odd-name", command.options.file);

  // Options may follow the file.
  command = parse_command({"replay", "f.bin", "--format", "header"});
  ASSERT_EQ(Command::Action::replay, command.action) << command.error;
  EXPECT_EQ(RecordFormat::header, command.options.format);

  EXPECT_EQ(Command::Action::help, parse_command({"--help"}).action);
  EXPECT_EQ(Command::Action::help, parse_command({"help"}).action);
  EXPECT_EQ(Command::Action::help, parse_command({"replay", "--help"}).action);
  EXPECT_NE(std::string::npos, parse_command({"replay", "--help"}).text.find("--period"));
  EXPECT_NE(std::string::npos, parse_command({"help", "shell"}).text.find("--config"));
  EXPECT_EQ(Command::Action::version, parse_command({"--version"}).action);
}

TEST(CommandTest, SimulateIsTheDefaultAndTakesServerOptions) {
  Command command = parse_command({});
  ASSERT_EQ(Command::Action::simulate, command.action) << command.error;
  EXPECT_EQ(1000.0, command.simulate.server.rate_hz);
  EXPECT_EQ(10.0, command.simulate.duration_sec);
  EXPECT_EQ(1, command.simulate.server.objects);
  EXPECT_EQ(FeedKind::header, command.simulate.server.feed);

  // The default stream is the realistic mix; --ideal clears every fault not
  // given, for simulate and shell alike.
  const auto faults_of = [](const FaultOptions& f) {
    return std::vector<double>{f.loss, f.reorder, f.duplicate, f.latency_ms, f.jitter_ms};
  };
  EXPECT_EQ(faults_of(kRealisticFaults), faults_of(command.simulate.server.faults));
  EXPECT_EQ(faults_of(kRealisticFaults), faults_of(parse_command({"shell"}).shell.server.faults));
  EXPECT_GT(kRealisticFaults.loss, 0.0);
  EXPECT_EQ(faults_of(FaultOptions{}),
            faults_of(parse_command({"--ideal"}).simulate.server.faults));
  EXPECT_EQ((std::vector<double>{0.0, 0.0, 0.2, 0.0, 0.0}),
            faults_of(parse_command({"--dup", "0.2", "--ideal"}).simulate.server.faults));
  EXPECT_EQ(faults_of(FaultOptions{}),
            faults_of(parse_command({"shell", "--ideal"}).shell.server.faults));

  command = parse_command({"--rate", "250", "--loss=0.1", "--duration", "0"});
  ASSERT_EQ(Command::Action::simulate, command.action) << command.error;
  EXPECT_EQ(250.0, command.simulate.server.rate_hz);
  EXPECT_EQ(0.1, command.simulate.server.faults.loss);
  EXPECT_EQ(0.0, command.simulate.duration_sec);

  command = parse_command({"simulate", "--reorder",   "0.5", "--dup",    "1",      "--latency-ms",
                           "4",        "--jitter-ms", "2.5", "--seed",   "7",      "--feed",
                           "tid",      "--objects",   "3",   "--config", "s.conf", "--svg",
                           "f.svg",    "--csv",       "out"});
  ASSERT_EQ(Command::Action::simulate, command.action) << command.error;
  const ServerOptions& server = command.simulate.server;
  EXPECT_EQ(0.5, server.faults.reorder);
  EXPECT_EQ(1.0, server.faults.duplicate);
  EXPECT_EQ(4.0, server.faults.latency_ms);
  EXPECT_EQ(2.5, server.faults.jitter_ms);
  EXPECT_EQ(7u, server.faults.seed);
  EXPECT_EQ(FeedKind::tid, server.feed);
  EXPECT_EQ(3, server.objects);
  EXPECT_EQ("s.conf", server.config_file);
  EXPECT_EQ("f.svg", command.simulate.svg_file);
  EXPECT_EQ("out", command.simulate.csv_dir);

  command = parse_command({"shell", "--feed", "block", "--config", "x.conf"});
  ASSERT_EQ(Command::Action::shell, command.action) << command.error;
  EXPECT_EQ(FeedKind::block, command.shell.server.feed);
  EXPECT_EQ("x.conf", command.shell.server.config_file);
}

TEST(CommandTest, RejectsBadServerOptionsWithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"--rate", "-1"},
      {"--rate", "0"},
      {"simulate", "--loss", "2"},
      {"--loss", "-0.1"},
      {"--dup", "x"},
      {"--bogus"},
      {"simulate", "--rate"},
      {"--feed", "xml"},
      {"--objects", "0"},
      {"shell", "--duration", "5"},
      {"simulate", "extra"},
      {"--latency-ms", "-3"},
  };
  for (const auto& args : bad) {
    const Command command = parse_command(args);
    EXPECT_EQ(Command::Action::usage_error, command.action) << args.back();
    EXPECT_FALSE(command.error.empty());
    EXPECT_EQ(std::string::npos, command.error.find('\n')) << command.error;
    EXPECT_NE(std::string::npos, command.text.find("usage: daqevstat")) << command.text;
  }
}

TEST(CommandTest, RejectsBadUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {"play", "f.csv"},
      {"replay"},
      {"replay", "--json"},
      {"replay", "a.csv", "b.csv"},
      {"replay", "--verbose", "f.csv"},
      {"replay", "-j", "f.csv"},
      {"replay", "f.csv", "--format"},
      {"replay", "--format", "xml", "f.csv"},
      {"replay", "--type", "one", "f.csv"},
      {"replay", "--type", "4294967296", "f.csv"},
      {"replay", "--period", "1.5", "f.csv"},
      {"replay", "--period", "", "f.csv"},
      {"replay", "--base", "TWO WORDS", "f.csv"},
      {"replay", "--base", std::string(64, 'B'), "f.csv"},
  };
  for (const auto& args : bad) {
    const Command command = parse_command(args);
    EXPECT_EQ(Command::Action::usage_error, command.action)
        << (args.empty() ? "(no arguments)" : args.back());
    EXPECT_FALSE(command.error.empty());
  }
  EXPECT_EQ(Command::Action::replay,
            parse_command({"replay", "--base", std::string(63, 'B'), "f.csv"}).action);
}

TEST(JsonTextTest, EscapesStringsAndWritesFiniteNumbersOnly) {
  EXPECT_EQ("\"plain\"", json_string("plain"));
  EXPECT_EQ("\"a\\\"b\\\\c\\n\\t\\u0001\\u001f\"", json_string("a\"b\\c\n\t\x01\x1f"));
  EXPECT_EQ("\"\xc3\xa9\"", json_string("\xc3\xa9"));
  EXPECT_EQ("\"\\u0000\"", json_string(std::string_view("\0", 1)));

  EXPECT_EQ("50", json_number(50.0f));
  EXPECT_EQ("-2", json_number(-2.0f));
  const float third = 2.0f / 3.0f * 100.0f;
  EXPECT_EQ(third, std::stof(json_number(third)));
  EXPECT_EQ(0.1, std::stod(json_number(0.1)));
  EXPECT_EQ("null", json_number(std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ("null", json_number(std::numeric_limits<float>::infinity()));
  EXPECT_EQ("null", json_number(-std::numeric_limits<double>::infinity()));
}

}  // namespace
}  // namespace daqevstat::tool
