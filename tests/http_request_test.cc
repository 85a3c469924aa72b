#include <gtest/gtest.h>

#include <string>

#include "stream/http_request.h"

namespace {

struct ParseCase {
  const char* name;
  std::string head;
  int result;
  uint16_t code;
  // Expected fields on success.
  uint64_t dir64 = 0, unicode = 0, hash = 0;
  const char* ext = "";
  bool range = false;
  int64_t start = 0, block = 0;
  const char* url_code = "";
};

std::string Get(const std::string& target, const std::string& more = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + more + "\r\n";
}

const std::string kUrl = "/1a2b/fx_3c_4d.mp4";

TEST(ParseRequestTest, CodesAndFields) {
  const ParseCase cases[] = {
      {"plain", Get(kUrl), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4"},
      {"case-insensitive GET, leading blanks, no extension", "  get /7/fx_a_b HTTP/1.1\r\n\r\n", 0, 0, 7, 0xa, 0xb},
      {"url code", Get("/1a2b_abcdefghij/fx_3c_4d.mp4"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", false, 0, 0,
       "abcdefghij"},
      {"percent ends the target", Get("/1a2b/fx_3c_4d%2e.mp4"), 0, 0, 0x1a2b, 0x3c, 0x4d, ""},
      {"range from 100", Get(kUrl, "Range: bytes=100-\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 100, 0},
      {"range 100-199", Get(kUrl, "range:bytes=100-199\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 100, 100},
      {"range -500 is 0 to 500", Get(kUrl, "Range: bytes=-500\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 0, 501},
      {"range end 0 is open", Get(kUrl, "Range: bytes=5-0\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 5, 0},
      {"range without bytes=", Get(kUrl, "Range: items=1-2\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 0, 0},
      {"range end not a number", Get(kUrl, "Range: bytes=7-x\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true, 7, 0},
      {"only the first range line", Get(kUrl, "Range: bytes=1-2\r\nRange: bytes=1,2\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d,
       "mp4", true, 1, 2},
      {"huge range end", Get(kUrl, "Range: bytes=0-9223372036854775806\r\n"), 0, 0, 0x1a2b, 0x3c, 0x4d, "mp4", true,
       0, INT64_MAX},

      {"12 bytes", "GET / HTTP\r\n", -1, 2051},
      {"no blank line", "GET /1/fx_1_1 HTTP/1.1\r\n", -2, 2052},
      {"short before blank line", "GET /1/f\r\n\r\n    ", -3, 2053},
      {"short request line", "\r\nHost: a.example.org\r\n\r\n", -6, 2054},
      {"POST", "POST " + kUrl + " HTTP/1.1\r\n\r\n", -7, 2055},
      {"FTP command", "USER anonymous\r\nPASS x\r\n\r\n", -7, 2055},
      {"no slash", Get("1a2b/fx_3c_4d"), -8, 2056},
      {"extension of 8", Get("/1/fx_1_1.abcdefgh"), -10, 2057},
      {"no second part", Get("/1a2b"), -11, 2058},
      {"empty second part", Get("/1a2b/"), -12, 2059},
      {"url code of 3", Get("/1a2b_abc/fx_3c_4d.mp4"), -15, 2060},
      {"dir64 not hex", Get("/zz/fx_3c_4d.mp4"), -16, 2061},
      {"dir64 beyond 64 bits", Get("/11112222333344445/fx_3c_4d.mp4"), -16, 2061},
      {"no fx_", Get("/1a2b/fy_3c_4d.mp4"), -17, 2062},
      {"one number", Get("/1a2b/fx_3c.mp4"), -18, 2063},
      {"hash not hex", Get("/1a2b/fx_3c_q.mp4"), -18, 2063},
      {"two ranges", Get(kUrl, "Range: bytes=0-1,5-6\r\n"), -20, 2070},
      {"no dash", Get(kUrl, "Range: bytes=5\r\n"), -21, 2071},
      {"start not a number", Get(kUrl, "Range: bytes=+5-9\r\n"), -23, 2072},
      {"start beyond int64", Get(kUrl, "Range: bytes=9223372036854775808-\r\n"), -23, 2072},
      {"end beyond int64", Get(kUrl, "Range: bytes=0-99999999999999999999\r\n"), -23, 2072},
      {"end before start", Get(kUrl, "Range: bytes=9-5\r\n"), -23, 2073},
      {"block beyond int64", Get(kUrl, "Range: bytes=0-9223372036854775807\r\n"), -24, 2074},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    WL_HttpRequest q;
    uint16_t code = 1;
    EXPECT_EQ(ParseRequest(c.head.data(), c.head.size(), &q, &code), c.result);
    EXPECT_EQ(code, c.code);
    if (c.result != 0) continue;
    EXPECT_EQ(q.dir64, c.dir64);
    EXPECT_EQ(q.unicode, c.unicode);
    EXPECT_EQ(q.hash, c.hash);
    EXPECT_STREQ(q.ext.c_str(), c.ext);
    EXPECT_EQ(q.range, c.range);
    EXPECT_EQ(q.range_start, c.start);
    EXPECT_EQ(q.block_length, c.block);
    EXPECT_STREQ(q.url_code.c_str(), c.url_code);
  }
}

TEST(ParseRequestTest, ExtensionPresenceIsKeptApartFromItsText) {
  WL_HttpRequest q;
  uint16_t code = 0;
  const std::string dot = Get("/1/fx_2_3.");
  ASSERT_EQ(ParseRequest(dot.data(), dot.size(), &q, &code), 0);
  EXPECT_TRUE(q.has_ext);
  EXPECT_TRUE(q.ext.empty());
  const std::string none = Get("/1/fx_2_3");
  ASSERT_EQ(ParseRequest(none.data(), none.size(), &q, &code), 0);
  EXPECT_FALSE(q.has_ext);
}

}  // namespace
