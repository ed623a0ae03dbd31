// The small parts of the HTTP layer: listen addresses, the write token, and
// the conversion of replies to JSON.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "eq_data.h"
#include "net/listen_address.h"
#include "net/property_json.h"
#include "net/write_access.h"
#include "support/temp_folder.h"

namespace daqnet {
namespace {

TEST(ListenAddressTest, ParsesPortsHostsAndBracketedIpv6) {
  struct Case {
    const char* text;
    const char* host;
    int port;
  };
  for (const Case& k : {Case{"8080", "127.0.0.1", 8080}, Case{"0", "127.0.0.1", 0},
                        Case{"127.0.0.1:0", "127.0.0.1", 0}, Case{"0.0.0.0:9100", "0.0.0.0", 9100},
                        Case{"localhost:65535", "localhost", 65535}, Case{"[::1]:0", "::1", 0},
                        Case{"[::]:80", "::", 80}}) {
    std::string error;
    const auto address = parse_listen_address(k.text, &error);
    ASSERT_TRUE(address) << k.text << ": " << error;
    EXPECT_EQ(k.host, address->host) << k.text;
    EXPECT_EQ(k.port, address->port) << k.text;
  }
  for (const char* bad : {"", ":", "65536", "99999999", "-1", "1.2.3.4:", "host:port", "::1:80",
                          "[::1]", "[::1]80", "[nothex]:80", "a b:80", "[::1]:", " 80"}) {
    std::string error;
    EXPECT_FALSE(parse_listen_address(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_EQ("http://127.0.0.1:80/", url_of("127.0.0.1", 80));
  EXPECT_EQ("http://[::1]:8080/", url_of("::1", 8080));
}

TEST(WriteAccessTest, OnlyTheExactBearerTokenWrites) {
  EXPECT_TRUE(equal_in_constant_time("abc", "abc"));
  EXPECT_TRUE(equal_in_constant_time("", ""));
  for (const char* other : {"abd", "ab", "abcd", "", "xbc"}) {
    EXPECT_FALSE(equal_in_constant_time("abc", other)) << other;
    EXPECT_FALSE(equal_in_constant_time(other, "abc")) << other;
  }
  const WriteAccess access("tok");
  EXPECT_TRUE(access.allows("Bearer tok"));
  EXPECT_TRUE(access.allows("bearer \ttok "));
  for (const char* refused : {"", "tok", "Bearer", "Bearer ", "Bearertok", "Bearer tok2",
                              "Bearer to", "Basic tok", "Bearer  TOK"}) {
    EXPECT_FALSE(access.allows(refused)) << refused;
  }
  EXPECT_FALSE(WriteAccess().allows("Bearer "));
  EXPECT_FALSE(WriteAccess("").allows("Bearer "));
}

TEST(WriteAccessTest, TokenFileIsARegularSmallFileWithALongEnoughToken) {
  const daqevstat::testing::TempFolder folder("token");
  const std::string dir = folder.path();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/token";
  std::ofstream(path) << "  abc123-0123456789\r\nsecond line\n";
  EXPECT_EQ("abc123-0123456789", read_token_file(path));
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  struct Case {
    std::string content;  // written to `path` first unless empty
    std::string file;
    std::string message;  // part of the error
  };
  for (const Case& k : std::vector<Case>{
           {"\n", path, "empty"},
           {"two words-0123456789\n", path, "blank"},
           {"short-token\n", path, "too short"},
           {std::string(5000, 'a'), path, "larger than 4096"},
           {"", fifo, "not a regular file"},
           {"", "/dev/zero", "not a regular file"},
           {"", dir, "directory"},
           {"", dir + "/missing", "cannot read"},
       }) {
    if (!k.content.empty()) std::ofstream(path, std::ios::trunc) << k.content;
    try {
      read_token_file(k.file);
      ADD_FAILURE() << k.file << " " << k.message;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(k.message)) << e.what();
    }
  }
  EXPECT_EQ("", check_token("ok-token-0123456789"));
  EXPECT_NE("", check_token("bad\ntoken-0123456789"));
  EXPECT_NE("", check_token(""));
  EXPECT_NE(std::string::npos, check_token("fifteen-chars-x").find("too short"));
}

TEST(ReplyJsonTest, EveryDataTypeHasAForm) {
  EqData reply;
  reply.set(-5);
  EXPECT_EQ(-5, reply_json(reply));
  reply.set_ulong(18446744073709551615ull);
  EXPECT_EQ(18446744073709551615ull, reply_json(reply).get<std::uint64_t>());
  reply.set(2.5f);
  EXPECT_EQ("2.5", reply_json(reply).dump());
  reply.set(50.0f);
  EXPECT_EQ("50", reply_json(reply).dump());
  reply.set(0.1);
  EXPECT_EQ("0.1", reply_json(reply).dump());
  reply.set(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(reply_json(reply).is_null());
  reply.set("text \"quoted\"");
  EXPECT_EQ("text \"quoted\"", reply_json(reply));
  reply.set_iiii(1, 2, 3, 4);
  EXPECT_EQ("[1,2,3,4]", reply_json(reply).dump());
  reply.set_int_array(DATA_A_UINT, {1, -1});
  EXPECT_EQ("[1,4294967295]", reply_json(reply).dump());
  reply.set_float_array(DATA_A_DOUBLE, {0.5, std::numeric_limits<double>::infinity()});
  EXPECT_EQ("[0.5,null]", reply_json(reply).dump());
  reply.set_spectrum({0, 3, 0, 1.5}, 0.0f, 1.0f, 0);
  EXPECT_EQ(R"({"bins":{"1":3,"3":1.5}})", reply_json(reply).dump());
  reply.init();
  reply.set(7, 1.0f, 2.0f, 100, "a", 0);
  EXPECT_EQ(R"({"i1_data":7,"f1_data":1,"f2_data":2,"tm":100,"str_data":"a"})",
            reply_json(reply).dump());
  reply.set(8, 1.0f, 2.0f, 100, "b", 1);
  EXPECT_EQ(2u, reply_json(reply).size());
  EXPECT_EQ(8, reply_json(reply)[1]["i1_data"]);
  reply.init();
  EXPECT_TRUE(reply_json(reply).is_null());
  reply.set_type(12345);
  EXPECT_TRUE(reply_json(reply).is_null());
}

// A float is written as the double of its nine significant digits, a whole
// one below 1e9 as an integer: the same text as printf's "%.9g" read back
// by strtod (or strtoll) gives, for floats of every kind of digit string.
TEST(ReplyJsonTest, FloatsAsTheirNineDigitsReadBack) {
  const float cases[] = {0.0f,           -0.0f,        1.0f,         50.0f,           -7.0f,
                         0.1f,           241.563995f,  1.0e-7f,      1.17549435e-38f, 1.4e-45f,
                         3.40282347e38f, 16777217.0f,  123456792.0f, 999999936.0f,    1.0e9f,
                         -2.5e10f,       0.333333343f, 65504.0f,     1.5e-5f,         -123.456f};
  for (const float value : cases) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.9g", value);
    const Json expected = std::strpbrk(digits, ".e") == nullptr
                              ? Json(static_cast<std::int64_t>(std::strtoll(digits, nullptr, 10)))
                              : Json(std::strtod(digits, nullptr));
    EqData reply;
    reply.set(value);
    EXPECT_EQ(expected.dump(), reply_json(reply).dump()) << digits;
    reply.set(value, 1);  // a float array's elements take the same form
    EXPECT_EQ(expected.dump(), reply_json(reply)[1].dump()) << digits;
  }
}

}  // namespace
}  // namespace daqnet
