#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "base/firewall.h"
#include "base/net_record.h"

namespace {

int64_t g_now = 1700000000;
int64_t FakeClock() { return g_now; }

void V4Key(uint32_t addr, uint8_t key[16]) {
  memset(key, 0, 16);
  memcpy(key, &addr, 4);
}

class FirewallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1700000000;
    wall.clock = FakeClock;
    wall.max_tries = 10;
    wall.table_size = 64;
    wall.record_seconds = 600;
    wall.scan_gap = 72;
    ASSERT_TRUE(wall.StartWall());
  }
  WL_IPFireWall wall;
};

TEST_F(FirewallTest, BlocksAtTheLimitUntilTheEntryExpires) {
  uint8_t a[16], b[16];
  V4Key(0x0A000005, a);
  V4Key(0x0A000006, b);
  for (int i = 0; i < 9; ++i) wall.RecordFailure(a, true);
  EXPECT_TRUE(wall.CheckAddress(a, true));
  wall.RecordFailure(a, true);
  EXPECT_FALSE(wall.CheckAddress(a, true));
  EXPECT_TRUE(wall.CheckAddress(b, true));
  EXPECT_TRUE(wall.CheckAddress(a, false)) << "the IPv6 table is separate";
  char line[200];
  ASSERT_GT(wall.ListLine(0, false, line, sizeof(line)), 0);
  EXPECT_TRUE(std::regex_match(line, std::regex("200-0 ip=10\\.0\\.0\\.5 time=[0-9-]+ [0-9:]+ type=Blocked\r\n")))
      << line;
  EXPECT_EQ(wall.ListLine(1, false, line, sizeof(line)), 0);

  g_now += 600;
  EXPECT_FALSE(wall.CheckAddress(a, true)) << "still live at exactly record seconds";
  g_now += 1;
  EXPECT_TRUE(wall.CheckAddress(a, true));
  // A failure before the expiry pass continues the old count.
  wall.RecordFailure(a, true);
  EXPECT_FALSE(wall.CheckAddress(a, true));
  g_now += 601;
  wall.ExpireScan(true);
  wall.RecordFailure(a, true);
  EXPECT_TRUE(wall.CheckAddress(a, true)) << "the expiry pass freed the entry; counting starts again";
}

TEST_F(FirewallTest, LoginRemovesAndCipwClears) {
  uint8_t a[16];
  V4Key(0x0A000005, a);
  for (int i = 0; i < 10; ++i) wall.RecordFailure(a, true);
  EXPECT_TRUE(wall.RemoveAddress(a, true));
  EXPECT_FALSE(wall.RemoveAddress(a, true));
  EXPECT_TRUE(wall.CheckAddress(a, true));
  for (int i = 0; i < 10; ++i) wall.RecordFailure(a, true);
  wall.ClearAll();
  EXPECT_TRUE(wall.CheckAddress(a, true));
}

TEST_F(FirewallTest, FullTableRefusesNewAddressesAndPrefixMode) {
  uint8_t k[16];
  for (uint32_t i = 0; i < 64; ++i) {
    V4Key(0x0B000000 + i, k);
    wall.RecordFailure(k, true);
  }
  V4Key(0x0C000001, k);
  EXPECT_FALSE(wall.CheckAddress(k, true)) << "every slot holds a live entry";

  WL_IPFireWall p;
  p.clock = FakeClock;
  p.prefix_block = true;
  p.max_tries = 6;
  ASSERT_TRUE(p.StartWall());
  uint8_t x[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
  uint8_t y[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 9, 9, 9, 9, 9, 9, 9, 9};
  for (int i = 0; i < 3; ++i) p.RecordFailure(x, false);
  for (int i = 0; i < 3; ++i) p.RecordFailure(y, false);
  EXPECT_FALSE(p.CheckAddress(x, false)) << "both addresses count on one /64 entry";
  char line[200];
  ASSERT_GT(p.ListLine(0, true, line, sizeof(line)), 0);
  EXPECT_NE(std::string(line).find("ip=2001:db8:0:1:0:0:0:1 "), std::string::npos) << line;

  WL_IPFireWall limits;
  limits.max_tries = 5;
  limits.record_seconds = 10;
  limits.table_size = 5000;
  ASSERT_TRUE(limits.StartWall());
  EXPECT_EQ(limits.max_tries, 10u);
  EXPECT_EQ(limits.record_seconds, 720);
  EXPECT_EQ(limits.table_size, 1024u);
  WL_IPFireWall off;
  EXPECT_TRUE(off.CheckAddress(k, true)) << "an inactive firewall admits everyone";
}

TEST(NetRecord, ReplacesTheOldestAndExpiresTenDaysOld) {
  g_now = 1700000000;
  WL_NetRecord r;
  r.clock = FakeClock;
  ASSERT_TRUE(r.StartRecords(0));
  EXPECT_EQ(r.count(), 16);
  for (uint32_t i = 0; i < 16; ++i) {
    r.AddIpv4(0x0A000000 + i);
    g_now += 10;
  }
  r.AddIpv4(0x0A000003);  // a repeated address only counts
  EXPECT_EQ(r.Entry(3).times, 2u);
  r.AddIpv4(0x0B000000);  // the 17th replaces the oldest last hit: slot 0
  const WL_RecordEntry e0 = r.Entry(0);
  uint32_t v;
  memcpy(&v, e0.addr, 4);
  EXPECT_EQ(v, 0x0B000000u);
  EXPECT_EQ(e0.times, 1u);

  uint8_t six[16] = {};
  memcpy(six, &v, 4);
  g_now += 1;
  r.AddIpv6(six);  // the same bytes as IPv6 are another entry
  int v6 = 0;
  for (int i = 0; i < 16; ++i) v6 += r.Entry(i).is_ipv6 ? 1 : 0;
  EXPECT_EQ(v6, 1);

  char text[4000];
  const int n = r.SortedText(text, sizeof(text), true, 3);
  ASSERT_GT(n, 0);
  const std::string s(text, static_cast<size_t>(n));
  EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 3);
  EXPECT_EQ(s.rfind("200-Ftp: 0:b:0:0:0:0:0:0 ", 0), 0u) << s;  // newest first
  EXPECT_EQ(r.SortedText(text, 200, true, 16), 0) << "no line when less than 231 characters are left";

  char line[200];
  ASSERT_GT(r.RecordLine(3, line, sizeof(line)), 0);
  EXPECT_TRUE(std::regex_match(line, std::regex("200-3 type=0 ip=10\\.0\\.0\\.3 time=[0-9-]+ [0-9:]+ times=2 \r\n")))
      << line;
  g_now += 864000;
  r.AddIpv4(0x0C000000);
  int used = 0;
  for (int i = 0; i < 16; ++i) used += r.Entry(i).used ? 1 : 0;
  EXPECT_EQ(used, 1) << "every ten-day-old entry went on the add's pass";
  EXPECT_EQ(r.RecordLine(5, line, sizeof(line)), 0);
}

}  // namespace
