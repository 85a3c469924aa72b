#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/bits.h"
#include "base/digest.h"
#include "base/file_util.h"
#include "base/multi_string.h"
#include "base/random128.h"
#include "base/random64.h"
#include "base/text_scan.h"
#include "base/time_text.h"
#include "base/utf_str.h"
#include "harness.h"
#include "platform/fs.h"
#include "platform/socket.h"

namespace {

TEST(Base64, EncodeAndDecode) {
  struct {
    std::string plain;
    const char* text;
  } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}, {std::string("\xff\x00\x10", 3), "/wAQ"}};
  for (const auto& c : cases) {
    WL_Base64 b;
    b.Encode(reinterpret_cast<const uint8_t*>(c.plain.data()), c.plain.size());
    EXPECT_STREQ(b.Text(), c.text) << c.plain;
    EXPECT_EQ(b.TextLength(), strlen(c.text));
  }
  WL_Base64 d;
  d.DecodeText("Zm 9\r\nv");
  ASSERT_EQ(d.BinaryLength(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Binary()), 3), "foo");
  // A group ending in two pads counts three bytes: the data byte and two
  // zeros.
  d.DecodeText("Zg==");
  ASSERT_EQ(d.BinaryLength(), 3u);
  EXPECT_EQ(d.Binary()[0], 'f');
  EXPECT_EQ(d.Binary()[1], 0);
  d.DecodeText("Zm9vYmE");  // a short last group counts its characters
  EXPECT_EQ(d.BinaryLength(), 3u + 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Binary()), 5), "fooba");
}

TEST(Names, IsSafeName) {
  struct {
    const char* name;
    bool safe;
  } cases[] = {{"file.txt", true}, {"..a", true},   {"a.b.c", true}, {"", false},  {".", false},
               {"..", false},      {"a:b", false},  {"a|b", false},  {"a/b", false}, {"a\\b", false},
               {"a\"b", false},    {"a*", false},   {"a?", false},   {"a<b>", false}, {"a\nb", false},
               {"\x7f", false},    {"caf\xc3\xa9", true}};
  for (const auto& c : cases) EXPECT_EQ(IsSafeName(c.name), c.safe) << c.name;
}

TEST(MultiString, AppendAndIterate) {
  WL_MultiString m;
  EXPECT_STREQ(m.Next(), "");
  EXPECT_FALSE(m.Append(""));
  EXPECT_TRUE(m.Append("one"));
  EXPECT_TRUE(m.Append("two"));
  EXPECT_TRUE(m.Append("three"));
  EXPECT_EQ(m.count(), 3);
  EXPECT_STREQ(m.Next(), "one");
  EXPECT_STREQ(m.Next(), "two");
  EXPECT_STREQ(m.Next(), "three");
  EXPECT_STREQ(m.Next(), "");
  // Growing past the first block keeps every string, in order.
  WL_MultiString big;
  std::vector<std::string> names;
  for (int i = 0; i < 5000; ++i) {
    names.push_back("name-" + std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'x'));
    ASSERT_TRUE(big.Append(names.back().c_str()));
  }
  EXPECT_GT(big.capacity(), WL_MultiString::kFirstBlock);
  for (const std::string& n : names) ASSERT_EQ(big.Next(), n);
  EXPECT_STREQ(big.Next(), "");
}

TEST(UtfStr, LimitsAndValidity) {
  WL_UtfStr u;
  EXPECT_NE(u.ToWide(std::string(160, 'a').c_str()), nullptr);
  EXPECT_EQ(u.mode(), 1);
  EXPECT_NE(u.ToWide(std::string(161, 'a').c_str()), nullptr);
  EXPECT_EQ(u.mode(), 2);
  EXPECT_STREQ(u.ToWide(std::string(8191, 'b').c_str()), std::string(8191, 'b').c_str());
  EXPECT_EQ(u.ToWide(std::string(8192, 'b').c_str()), nullptr);
  EXPECT_EQ(u.ToWide(nullptr), nullptr);
  struct {
    const char* text;
    int64_t units;
  } cases[] = {{"abc", 3},           {"caf\xc3\xa9", 4},      {"\xe2\x82\xac", 1}, {"\xf0\x9f\x98\x80", 2},
               {"\xc3", -1},          {"\xc0\xaf", -1},        {"\xed\xa0\x80", -1}, {"\xf4\x90\x80\x80", -1},
               {"\x80", -1},          {"ok\xff", -1}};
  for (const auto& c : cases) EXPECT_EQ(Utf16Units(c.text, strlen(c.text)), c.units) << c.text;
  EXPECT_EQ(u.ToUtf8("bad\xff"), nullptr);
  EXPECT_STREQ(u.ToUtf8("good"), "good");
}

TEST(TimeText, UtcStampAndClockDate) {
  WL_UtcTimeToStr t;
  char buf[40];
  struct {
    int64_t seconds;
    const char* text;
  } cases[] = {{0, "19700101000000"}, {-5, "19700101000000"}, {1700000000, "20231114221320"},
               {INT64_MAX, "19000101010101"}};
  for (const auto& c : cases) {
    t.UtcStamp(c.seconds, buf, sizeof(buf));
    EXPECT_STREQ(buf, c.text) << c.seconds;
  }
  EXPECT_EQ(FormatClockDate(1700000000, buf, 36), 19);
  EXPECT_EQ(buf[8], ' ');
  FormatClockDate(INT64_MAX, buf, 36);
  EXPECT_STREQ(buf, "Out of time");
}

TEST(Random, GeneratorRulesHoldOverManyDraws) {
  WL_NoLockRandom64 r;
  r.Seed(0);
  r.Mix(1, 2, 3, 4);
  std::set<uint64_t> seen;
  for (int i = 0; i < 20000; ++i) {
    const uint64_t v = r.Draw();
    ASSERT_NE(LowHalf(v), 0u);
    ASSERT_NE(HighHalf(v), 0u);
    ASSERT_FALSE(ByteOf(v, 7) == 0 && ByteOf(v, 6) < 16);
    ASSERT_FALSE(ByteOf(v, 0) == 0 && ByteOf(v, 1) < 16);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 20000u);
  r.Seed(0x00000000FFFFFFFFull);
  r.Advance(1);  // the upper half would be 1 ... and stays non-zero
  EXPECT_NE(HighHalf(r.State()), 0u);

  WL_NRandom128 g;
  g.Reseed(1234, 200117);
  std::set<std::pair<uint64_t, uint64_t>> pairs;
  for (int i = 0; i < 20000; ++i) {
    uint64_t a, b;
    g.Draw(&a, &b);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(HighHalf(a), 0u);
    ASSERT_FALSE(ByteOf(a, 0) == 0 && ByteOf(a, 1) < 16);
    ASSERT_FALSE(ByteOf(b, 7) == 0 && ByteOf(b, 6) < 16);
    ASSERT_FALSE(ByteOf(a, 7) == 0 && ByteOf(a, 6) < 12);
    ASSERT_FALSE(ByteOf(b, 0) == 0 && ByteOf(b, 1) < 12);
    pairs.insert({a, b});
  }
  EXPECT_EQ(pairs.size(), 20000u);
}

TEST(Digest, KnownValues) {
  char out[65];
  Sha256Hex("abc", 3, out);
  EXPECT_STREQ(out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  char md5[33];
  EXPECT_EQ(Md5Hex("", 0, md5), 1);
  EXPECT_STREQ(md5, "d41d8cd98f00b204e9800998ecf8427e");
}

class FileHelpers : public ::testing::Test {
 protected:
  std::string P(const std::string& rel) const { return home_.dir() + "/" + rel; }
  void Write(const std::string& rel, const std::string& text) const { std::ofstream(P(rel)) << text; }
  zt::TempHome home_{false};
};

TEST_F(FileHelpers, DeleteTreeNeverFollowsLinks) {
  ASSERT_TRUE(MakeDirectory(P("outside")));
  Write("outside/keep.txt", "keep");
  ASSERT_TRUE(MakeDirectory(P("tree")));
  ASSERT_TRUE(MakeDirectory(P("tree/sub")));
  Write("tree/sub/a.txt", "a");
  ASSERT_EQ(symlink(P("outside").c_str(), P("tree/sub/link").c_str()), 0);
  ASSERT_EQ(symlink(P("outside/keep.txt").c_str(), P("tree/filelink").c_str()), 0);
  EXPECT_TRUE(DeleteTree(P("tree")));
  EXPECT_EQ(PathKind(P("tree")), kPathOther);
  EXPECT_EQ(PathKind(P("outside/keep.txt")), kPathRegular);
  EXPECT_FALSE(DeleteTree("/"));
  EXPECT_TRUE(MakeDirectory("/"));
  EXPECT_FALSE(MakeDirectory(P("outside")));  // exists already
}

TEST_F(FileHelpers, ListingFiltersHiddenAndSystemEntries) {
  ASSERT_TRUE(MakeDirectory(P("d")));
  ASSERT_TRUE(MakeDirectory(P("d/dir")));
  Write("d/file.txt", "12345");
  Write("d/.hidden", "h");
  ASSERT_EQ(symlink("file.txt", P("d/link").c_str()), 0);
  ASSERT_EQ(mkfifo(P("d/fifo").c_str(), 0600), 0);
  Write("d/bad\xff", "x");
  std::vector<std::string> dirs, files;
  std::vector<uint64_t> sizes;
  std::vector<int64_t> mtimes;
  ASSERT_TRUE(ListDirectory(P("d"), &dirs, &files, &sizes, &mtimes, true));
  EXPECT_EQ(dirs, std::vector<std::string>{"dir"});
  ASSERT_EQ(files, std::vector<std::string>{"file.txt"});
  EXPECT_EQ(sizes[0], 5u);
  dirs.clear(), files.clear(), sizes.clear(), mtimes.clear();
  ASSERT_TRUE(ListDirectory(P("d"), &dirs, &files, &sizes, &mtimes, false));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{".hidden", "fifo", "file.txt", "link"}));

  WL_MultiString md, mf;
  std::vector<int64_t> dir_times;
  sizes.clear(), mtimes.clear();
  ASSERT_TRUE(ListDirectoryMulti(P("d"), &md, &mf, &sizes, &mtimes, &dir_times, true));
  EXPECT_STREQ(md.Next(), "dir");
  EXPECT_STREQ(mf.Next(), "file.txt");
  EXPECT_EQ(dir_times.size(), 1u);
  EXPECT_FALSE(ListDirectory(P("missing"), &dirs, &files, &sizes, &mtimes, true));
}

TEST_F(FileHelpers, OpenTimesAndSamples) {
  ASSERT_TRUE(MakeDirectory(P("dir")));
  EXPECT_EQ(OpenFile(P("dir"), "rb"), nullptr);
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenFile(P("fifo"), "rb"), nullptr);
  EXPECT_EQ(OpenFile(P("fifo"), "wb"), nullptr);
  Write("f.txt", "data");
  EXPECT_TRUE(CanRead(P("f.txt")));
  EXPECT_TRUE(SetFileTimes(P("f.txt"), 5, 1500000000));
  uint64_t size;
  int64_t ctime, mtime;
  ASSERT_TRUE(GetFileTimes(P("f.txt"), &size, &ctime, &mtime));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(mtime, 1500000000);
  EXPECT_TRUE(SetFileTimes(P("missing"), 0, 0));
  EXPECT_FALSE(SetFileTimes(P("missing"), 0, 10));
  EXPECT_FALSE(GetFileTimes(P("dir"), &size, &ctime, &mtime));
  int kind;
  ASSERT_TRUE(GetPathInfo(P("dir"), &size, &kind, &mtime));
  EXPECT_EQ(kind, kKindDirectory);

  char buf[512];
  int64_t file_size = 0;
  EXPECT_EQ(ReadSample(P("f.txt"), buf, 100, &file_size), -1);
  EXPECT_EQ(ReadSample(P("missing"), buf, 1048576, &file_size), -2);
  EXPECT_EQ(ReadSample(P("f.txt"), buf, 1048576, &file_size), -3);
  std::string big(3000000, 'q');
  big[1048576] = 'Z';
  Write("big.bin", big);
  EXPECT_EQ(ReadSample(P("big.bin"), buf, 1048576, &file_size), 512);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(file_size, 3000000);
  EXPECT_EQ(ReadSample(P("big.bin"), buf, 2999990, &file_size), 10);
  EXPECT_EQ(ReadSample(P("big.bin"), buf, 3000000, &file_size), -4);
}

TEST(NetHelpers, ResolveAndConnect) {
  uint32_t v4 = 0;
  uint8_t v6[16] = {};
  EXPECT_EQ(ResolveHost("127.0.0.1", &v4, v6, 0), 4);
  EXPECT_EQ(v4, 0x7F000001u);
  EXPECT_EQ(ResolveHost("::1", &v4, v6, 21), 6);
  EXPECT_EQ(v6[15], 1);
  EXPECT_EQ(ResolveHost("", &v4, v6, 0), -1);
  EXPECT_EQ(ResolveHost(nullptr, &v4, v6, 0), -1);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  SetNonBlocking(fd);
  EXPECT_FALSE(ConnectIpv4(fd, 0xFFFFFFFFu, 80));
  close(fd);
  uint8_t addrs[16][16];
  char err[128] = "";
  const int n = ListLocalIpv6(addrs, err, nullptr);
  EXPECT_GE(n, 0);
  EXPECT_LE(n, 16);
}

}  // namespace

// The "%d" rule every configuration reader shares: white space and a sign
// before digits, trailing text ignored, saturation instead of overflow.
TEST(TextScan, DecimalLikePercentD) {
  struct Case {
    const char* text;
    bool scans;
    int64_t value;
  } cases[] = {
      {"42", true, 42},
      {"  \t-7", true, -7},
      {"+3x", true, 3},
      {"12 34", true, 12},
      {"99999999999999999999999", true, INT64_MAX},
      {"-99999999999999999999999", true, INT64_MIN},
      {"", false, 0},
      {"-", false, 0},
      {"+ 1", false, 0},
      {"x1", false, 0},
      {nullptr, false, 0},
  };
  for (const Case& c : cases) {
    int64_t v = 0;
    EXPECT_EQ(ScanDecimal(c.text, &v), c.scans) << (c.text ? c.text : "(null)");
    if (c.scans) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  EXPECT_EQ(SaturateInt32(int64_t{1} << 40), INT32_MAX);
  EXPECT_EQ(SaturateInt32(-(int64_t{1} << 40)), INT32_MIN);
  EXPECT_EQ(SaturateInt32(-5), -5);
}

TEST(TextScan, TrimWhite) {
  EXPECT_EQ(TrimWhite(" \t a b \r\n"), "a b");
  EXPECT_EQ(TrimWhite("   "), "");
  EXPECT_EQ(TrimmedText(nullptr), "");
  EXPECT_EQ(TrimmedText("\tx\t"), "x");
}
