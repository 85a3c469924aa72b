#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/format.h"
#include "base/local_path.h"
#include "base/net_text.h"
#include "base/random64.h"
#include "base/time_text.h"
#include "platform/sync.h"

namespace {

TEST(Format, TextThatDoesNotFitIsNeverTruncated) {
  char buf[8];
  EXPECT_EQ(FormatText(buf, sizeof(buf), "%s", "1234567"), 7);
  EXPECT_STREQ(buf, "1234567");
  EXPECT_EQ(FormatText(buf, sizeof(buf), "%s", "12345678"), -1);
  EXPECT_STREQ(buf, "");

  BoundedStr<6> s;
  EXPECT_TRUE(s.Format("%d", 12345));
  EXPECT_FALSE(s.AppendFormat("%d", 1));
  EXPECT_EQ(s.view(), "12345");
  EXPECT_FALSE(s.Format("%d", 123456));
  EXPECT_TRUE(s.empty());
  EXPECT_TRUE(s.Assign("ab"));
  EXPECT_FALSE(s.Append("cdef"));
  EXPECT_EQ(s.view(), "ab");
}

TEST(NetText, Ipv6TextAndClasses) {
  uint8_t a[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  char t[48];
  Ipv6ToText(a, t, sizeof(t));
  EXPECT_STREQ(t, "fe80:0:0:0:0:0:0:1");
  EXPECT_EQ(ClassifyIpv6(a), -1);
  a[1] = 0xc0;
  EXPECT_EQ(ClassifyIpv6(a), -2);
  a[0] = 0xff, a[1] = 0x02;
  EXPECT_EQ(ClassifyIpv6(a), 1);
  uint8_t zero[16] = {};
  EXPECT_EQ(ClassifyIpv6(zero), -10);
  zero[15] = 1;
  EXPECT_EQ(ClassifyIpv6(zero), 0);

  struct {
    uint32_t addr;
    bool local;
  } v4[] = {{0, true},          {0x0A010203, true},  {0x7F000001, true}, {0xAC100001, true}, {0xAC1FFFFF, true},
            {0xAC200001, false}, {0xC0A80101, true}, {0xC0A90101, false}, {0x08080808, false}};
  for (const auto& c : v4) EXPECT_EQ(IsLocalIpv4(c.addr), c.local) << std::hex << c.addr;
  Ipv4ToText(0x0A010203, t, sizeof(t));
  EXPECT_STREQ(t, "10.1.2.3");
}

TEST(TimeText, UnsetTimeIsTwoDashes) {
  char t[64];
  EXPECT_EQ(FormatLocalTime(0, t, sizeof(t)), 2);
  EXPECT_STREQ(t, "--");
  EXPECT_EQ(FormatLocalTime(-5, t, sizeof(t)), 2);
  EXPECT_EQ(FormatLocalTime(5, nullptr, 4), -1);
  EXPECT_EQ(FormatLocalTime(5, t, 0), 0);
  EXPECT_GT(FormatLocalTime(1700000000, t, sizeof(t)), 10);
  EXPECT_EQ(std::string(t).find(' ') != std::string::npos, true);
}

TEST(Random64, DrawsDoNotRepeatAndSeedsDiffer) {
  WL_NoLockRandom64 a;
  WL_NoLockRandom64 b;
  a.Seed(0x0123456789abcdefull);
  b.Seed(0x0123456789abcdeeull);
  std::set<uint64_t> seen;
  for (int i = 0; i < 10000; ++i) seen.insert(a.Draw());
  EXPECT_EQ(seen.size(), 10000u);
  EXPECT_NE(a.Draw(), b.Draw());
  // A zero state is never kept.
  WL_NoLockRandom64 z;
  z.Seed(0);
  EXPECT_NE(z.State() & 0xFFFFFFFFu, 0u);
  EXPECT_NE(z.State() >> 32, 0u);
}

TEST(LocalPath, LinuxRules) {
  struct {
    const char* path;
    bool safe;
  } cases[] = {
      {"/srv/share", true},  {"/srv/a b/c", true}, {"/", false},        {"srv/a", false},
      {"/srv/", false},      {"/srv/.", false},    {"/srv/../etc", false}, {"/srv/..", false},
      {"/srv//a", false},    {"/srv/a:b", false},  {"/srv/a\\b", false}, {"/srv/a\nb", false},
      {"/srv/a\x7f", false}, {"/srv/a|b", false},  {"/srv/.hidden", true}, {"C:/srv", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeLocalPath(c.path), c.safe) << c.path;
  std::string s = "?X?/a///b";
  ReplaceAll(&s, "?X?", "/root/");
  ReplaceAll(&s, "//", "/");
  EXPECT_EQ(s, "/root/a/b");
}

TEST(Semaphore, CapsAtItsMaximum) {
  WL_Semaphore sem(3);
  EXPECT_FALSE(sem.Wait(0));
  EXPECT_TRUE(sem.Release(2));
  EXPECT_FALSE(sem.Release(2));
  EXPECT_TRUE(sem.Release(1));
  EXPECT_EQ(sem.Count(), 3);
  EXPECT_TRUE(sem.Wait(10));
  EXPECT_EQ(sem.Count(), 2);
}

}  // namespace
