#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/digest.h"
#include "ftp/hash_commands.h"
#include "ftp/joint_protocol.h"

namespace {

TEST(JointChecksum, Vectors) {
  struct {
    std::string data;
    uint64_t a, b;
  } cases[] = {
      {"", 0x6a2e07c1886012a5ull, 1},
      {"abcdefgh", 0x35e0bae6157e10b4ull, 0x1a9c6874311fb23cull},
      {"xyz", 0x8256f5235dde6c82ull, 0xd032160a810b63d4ull},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JointChecksumA(c.data.data(), c.data.size()), c.a) << c.data;
    EXPECT_EQ(JointChecksumB(c.data.data(), c.data.size()), c.b) << c.data;
    EXPECT_EQ(JointChecksum(1, c.data.data(), c.data.size()), c.a);
    EXPECT_EQ(JointChecksum(2, c.data.data(), c.data.size()), c.b);
  }
}

TEST(JointChecksum, EveryByteCounts) {
  // A tail shorter than a word and a flipped bit anywhere change both sums.
  std::vector<unsigned char> data(1001, 0x5a);
  const uint64_t a = JointChecksumA(data.data(), data.size());
  const uint64_t b = JointChecksumB(data.data(), data.size());
  for (size_t at : {size_t{0}, size_t{7}, size_t{8}, size_t{999}, size_t{1000}}) {
    data[at] ^= 1;
    EXPECT_NE(JointChecksumA(data.data(), data.size()), a) << at;
    EXPECT_NE(JointChecksumB(data.data(), data.size()), b) << at;
    data[at] ^= 1;
  }
}

TEST(JointSig, SignsKeyTextAndServerValue) {
  const std::string text = "FILE 1a 0*name";
  const std::string input = "abc123" + text + "ff00";
  char full[65];
  Sha256Hex(input.data(), input.size(), full);
  char sig[kJointSigLength + 1];
  JointSig(0xabc123, 0xff00, text, sig);
  EXPECT_EQ(strlen(sig), kJointSigLength);
  EXPECT_EQ(sig[0], '2');
  EXPECT_EQ(std::string(sig + 1), std::string(full + 1, kJointSigLength - 1));

  std::string first(sig), last(sig);
  first[0] = '3';
  last[59] = sig[59] == '0' ? '1' : '0';
  struct {
    std::string sig;
    bool ok;
  } cases[] = {
      {sig, true}, {std::string(sig) + "anything after", true}, {std::string(sig, 59), false},
      {first, false}, {last, false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(JointSigMatches(0xabc123, 0xff00, text, c.sig), c.ok) << c.sig;
  EXPECT_FALSE(JointSigMatches(0xabc124, 0xff00, text, sig));
  EXPECT_FALSE(JointSigMatches(0xabc123, 0xff01, text, sig));

  char line[256];
  const int n = FormatJointLine(0xabc123, 0xff00, text, line, sizeof(line));
  EXPECT_EQ(std::string(line, n), text + "|" + sig + "\r\n");
  EXPECT_EQ(FormatJointLine(0xabc123, 0xff00, text, line, 40), -1);
}

TEST(JointLine, SplitAndName) {
  JointLine jl;
  ASSERT_TRUE(SplitJointLine("  FILE 1 2*a b|  sig\r\n", &jl));
  EXPECT_EQ(jl.text, "FILE 1 2*a b");
  EXPECT_EQ(jl.sig, "sig");
  EXPECT_FALSE(SplitJointLine("FILE 1 2*a\r\n", &jl));
  std::string_view name;
  ASSERT_TRUE(JointLineName("OPEN 1 2 0 0*x*y", &name));
  EXPECT_EQ(name, "x*y");
  EXPECT_FALSE(JointLineName("FILE 1 2", &name));
}

TEST(JointLine, Names) {
  struct {
    std::string name;
    bool ok;
  } cases[] = {
      {"a.bin", true},         {"Grüße ファイル", true}, {".hidden", true},        {std::string(255, 'n'), true},
      {"", false},             {".", false},             {"..", false},            {"a/b", false},
      {"a\\b", false},         {"x\x01y", false},        {"x\x7fy", false},        {"\xff\xfe", false},
      {"\xc0\xaf", false},     {"\xed\xa0\x80", false},  {"a:b", false},           {std::string(256, 'n'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeJointName(c.name), c.ok) << c.name;
}

TEST(JointLine, ClampedFileTimes) {
  struct {
    uint64_t in;
    int64_t out;
  } cases[] = {
      {0, 0},
      {1, 1},
      {0x60000000, 0x60000000},
      {static_cast<uint64_t>(kLatestFileTime), kLatestFileTime},
      {static_cast<uint64_t>(kLatestFileTime) + 1, kLatestFileTime},
      {1ull << 62, kLatestFileTime},
      {0xffffffffffffffffull, 0},  // -1
      {1ull << 63, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ClampFileTime(c.in), c.out) << c.in;
}

TEST(TailBlock, HashOfPrefixBlockSuffix) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{512}}) {
    std::string block(n, 'q');
    const std::string all = "#Zf " + block + "7Z";
    char want[65];
    Sha256Hex(all.data(), all.size(), want);
    char got[65];
    ASSERT_TRUE(TailBlockHash(block.data(), block.size(), got));
    EXPECT_STREQ(got, want);
  }
}

TEST(Benchmarks, T256WorkloadRounds) {
  // Two rounds by hand: the buffer after each round's write, digested.
  std::vector<unsigned char> buf(kBenchBufferSize);
  std::vector<unsigned char> mine(kBenchBufferSize, 0x54);
  const uint32_t seed = 430;
  for (int i = 0; i < 4; ++i) {
    mine[i] = static_cast<unsigned char>(seed >> (8 * i));
    mine[4 + i] = static_cast<unsigned char>(~seed >> (8 * i));
  }
  WL_Sha256 sha;
  for (int k = 1; k <= 2; ++k) {
    const uint32_t check = static_cast<uint32_t>(k) * 255 + 128;
    for (int i = 0; i < 4; ++i) {
      mine[409600 + 12 * (k - 1) + i] = static_cast<unsigned char>(seed >> (8 * i));
      mine[409604 + 12 * (k - 1) + i] = static_cast<unsigned char>(check >> (8 * i));
    }
    sha.Update(mine.data(), mine.size());
  }
  char want[65];
  ASSERT_TRUE(sha.FinishHex(want));
  char got[65];
  ASSERT_TRUE(T256Workload(seed, 2, buf.data(), [] { return true; }, got));
  EXPECT_STREQ(got, want);
  int asked = 0;
  EXPECT_FALSE(T256Workload(seed, 40, buf.data(), [&asked] { return ++asked < 2; }, got));
  EXPECT_EQ(asked, 2);  // asked at rounds 1 and 17; the second answer stopped it
}

TEST(Benchmarks, TeccWorkloadRounds) {
  std::vector<unsigned char> buf(kBenchBufferSize);
  struct {
    uint8_t fill;
    uint32_t version;
    uint32_t shift;
  } cases[] = {{2, 0, 0}, {7, 0, 1999}, {2, 1, 5}};
  for (const auto& c : cases) {
    std::vector<unsigned char> mine(kBenchBufferSize, c.fill);
    uint64_t want = 0;
    for (int i = 0; i < 3; ++i) {
      mine[i + c.shift + 1] = 0x4b;
      want ^= c.version == 0 ? JointChecksumA(mine.data(), mine.size()) : JointChecksumB(mine.data(), mine.size());
    }
    EXPECT_EQ(TeccWorkload(c.fill, c.version, c.shift, 3, buf.data(), [] { return true; }), want);
  }
  int rounds = 0;
  EXPECT_EQ(TeccWorkload(2, 0, 0, 5, buf.data(), [&rounds] { return rounds++ < 0; }), 0u);
}

}  // namespace
