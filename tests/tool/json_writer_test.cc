#include "tool/replay/json_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tool/replay/replay.h"

namespace daqevstat::tool {
namespace {

using Json = nlohmann::ordered_json;

// The JSON of a replay of one event under `base`, parsed strictly.
Json replayed_properties(const std::string& base) {
  ReplayOptions options;
  options.base_name = base;
  Replay replay(options);
  CsvRecord record;
  record.tid = {7, {1000, 250000}};
  record.has_arrival = true;
  record.arrival_sec = 1000;
  record.arrival_usec = 250000;
  replay.feed(record);
  const std::string text = render_json(replay.stat());
  EXPECT_EQ('\n', text.back());
  return Json::parse(text).at("properties");
}

TEST(RenderJsonTest, NamesThatAreNotUtf8StillGiveValidJson) {
  // The command line lets any byte but blanks into a base name. A byte that
  // starts no valid sequence and a cut-off sequence each become U+FFFD;
  // valid UTF-8 is kept and the JSON escapes still apply.
  const Json props = replayed_properties(
      "\xff"
      "A\xc3\xa9\xe2\x82"
      "\"\\\x01");
  ASSERT_EQ(11u, props.size());
  const std::string base =
      "\xef\xbf\xbd"
      "A\xc3\xa9"
      "\xef\xbf\xbd"
      "\"\\\x01";
  for (const auto& [name, value] : props.items()) {
    EXPECT_EQ(0u, name.rfind(base + ".STAT.", 0)) << name;
  }
  EXPECT_EQ(7, props.at(base + ".STAT.EV.INFO").at("i1_data").get<int>());
}

}  // namespace
}  // namespace daqevstat::tool
