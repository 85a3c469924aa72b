#include <gtest/gtest.h>

#include <random>
#include <string>

#include "accounts/account.h"
#include "accounts/resource.h"
#include "accounts/scramble.h"
#include "base/fixed_texts.h"
#include "harness.h"

namespace {

TEST(Scrambler, RoundTripOverRandomPasswords) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 2000; ++i) {
    const size_t len = 1 + rng() % 128;
    std::string pw;
    for (size_t k = 0; k < len; ++k) pw.push_back(static_cast<char>(1 + rng() % 255));  // any byte but zero
    const std::string text = ScramblePassword(pw);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.size() % 2, 0u);
    ASSERT_EQ(UnscramblePassword(text), pw) << i;
  }
  EXPECT_EQ(ScramblePassword(""), "");
  EXPECT_EQ(ScramblePassword(std::string(129, 'x')), "");
  // Other keys do not decode it.
  std::string t = ScramblePassword("secret-password");
  std::vector<uint8_t> b(t.size() / 2 + 1);
  const size_t n = HexToBytes(t.data(), t.size(), b.data());
  const std::string other = "another key text";
  UnscrambleText(b.data(), n, reinterpret_cast<const uint8_t*>(other.data()), other.size(),
                 reinterpret_cast<const uint8_t*>(kScrambleKey2.data()), kScrambleKey2.size(), nullptr);
  EXPECT_NE(std::string(reinterpret_cast<char*>(b.data())), "secret-password");
}

TEST(Scrambler, HexToBytesAcceptsHexDigitsOnly) {
  uint8_t out[16];
  EXPECT_EQ(HexToBytes("0102030405", 10, out), 5u);
  EXPECT_EQ(out[0], 0x04);  // an 8-digit group is a number stored low byte first
  EXPECT_EQ(out[3], 0x01);
  EXPECT_EQ(out[4], 0x05);
  EXPECT_EQ(out[5], 0x00);
  EXPECT_EQ(HexToBytes("12G45678", 8, out), 0u);
  EXPECT_EQ(HexToBytes("1234567", 7, out), 0u);
  EXPECT_EQ(HexToBytes("0x123456", 8, out), 0u);
  EXPECT_EQ(BytesToHex(out, 0), "");
  const uint8_t bytes[5] = {4, 3, 2, 1, 5};
  EXPECT_EQ(BytesToHex(bytes, 5), "0102030405");
}

TEST(Accounts, FileRules) {
  zt::TempHome home;
  const std::string backup = home.dir() + "/backup";
  ASSERT_EQ(zt::RunCommand("mkdir -p " + backup, nullptr), 0);
  home.WriteFile("config/myaccount.ini",
                 "[User_admin]\nActive_Mode=1\nUser_Name= root \nPass_Word=pw0\nAccess_Level=9\n"
                 "Backup_dir=" + backup + "/\n"
                 "[User_guest]\nActive_Mode=0\nUser_Name=guest\nPass_Word=pw1\n"
                 "[User_temp]\nActive_Mode=1\nUser_Name=nopass\n"
                 "[User_friend]\nActive_Mode=1\nUser_Name=" + std::string(129, 'n') + "\nPass_Word=pw3\n"
                 "[User_child]\nActive_Mode=1\nUser_Name=kid.BACKup\nPass_Word=pw4\nAccess_speedlimit=200000000\n"
                 "Backup_dir=/srv/../etc\n"
                 "[User_parent]\nActive_Mode=abc\nUser_Name=parent\nPass_Word=pw5\n"
                 "[User_monitor]\nActive_Mode=1\nUser_Name=mon\nSPass_Word=1234567\nPass_Word=clear6\n"
                 "Backup_dir=relative/dir\n"
                 "[User_proxy]\nActive_Mode=1\nUser_Name=proxy\nSPass_Word=" + ScramblePassword("scrambled7") +
                 "\nPass_Word=ignored\n"
                 "[User_user3]\nActive_Mode=2\nUser_Name=three\nPass_Word=pw10\nAccess_OutLevel=4\n");
  WL_FtpAccount a;
  ASSERT_TRUE(a.LoadAccounts(home.config() + "/myaccount.ini"));
  struct {
    int slot;
    bool in_use;
    const char* name;
    const char* password;
  } cases[] = {{0, true, "root", "pw0"},      {1, false, "", ""},           {2, false, "nopass", ""},
               {3, false, "", "pw3"},          {4, true, "kid", "pw4"},      {5, false, "", ""},
               {6, true, "mon", "clear6"},     {7, true, "proxy", "scrambled7"}, {10, true, "three", "pw10"}};
  for (const auto& c : cases) {
    const WL_AccountRecord& r = a.GetAccount(c.slot);
    EXPECT_EQ(r.in_use != 0, c.in_use) << c.slot;
    if (c.in_use) {
      EXPECT_EQ(r.user_name, c.name) << c.slot;
      EXPECT_EQ(r.password, c.password) << c.slot;
    }
  }
  EXPECT_EQ(a.GetAccount(0).backup_dir, backup);
  EXPECT_EQ(a.GetAccount(0).local_level, 9);
  EXPECT_EQ(a.GetAccount(4).speed_limit, 0);
  EXPECT_EQ(a.GetAccount(4).backup_dir, "");
  EXPECT_EQ(a.GetAccount(6).backup_dir, "");
  EXPECT_EQ(a.GetAccount(10).outside_level, 4);
  EXPECT_EQ(a.GetAccount(10).role_name, "User_3");
  EXPECT_EQ(a.GetAccount(40).role_name, "Unknown");
  EXPECT_EQ(a.GetAccount(-1).slot, 32);
  EXPECT_EQ(a.CountAccountSlots(), 11);
  EXPECT_EQ(WL_FtpAccount::SectionName(8), "User_user1");

  WL_FtpAccount none;
  EXPECT_TRUE(none.LoadAccounts(home.config() + "/missing.ini"));
  EXPECT_EQ(none.CountAccountSlots(), 0);
  EXPECT_FALSE(none.LoadAccounts(""));
}

TEST(Accounts, NameHashAndAccessLevels) {
  EXPECT_EQ(NameHash("ab", 2), 0x6263u);
  EXPECT_EQ(NameHash("abcd", 4), 0x9b9c9da2u);
  EXPECT_EQ(NameHash("", 0), 0u);
  WL_AccountRecord r;
  r.local_level = 3;
  r.outside_level = -1;
  EXPECT_EQ(AccessLevelFor(r, true), 3);
  EXPECT_EQ(AccessLevelFor(r, false), 3);
  r.outside_level = 1;
  EXPECT_EQ(AccessLevelFor(r, true), 3);
  EXPECT_EQ(AccessLevelFor(r, false), 1);
}

TEST(Resources, FileRules) {
  zt::TempHome home;
  const std::string d = home.dir();
  ASSERT_EQ(zt::RunCommand("mkdir -p " + d + "/a " + d + "/b", nullptr), 0);
  std::string lines =
      "# comment\n; comment\n*star\n\n"
      "0*pub*" + d + "/a\\\n"                // trailing backslash
      "-5*low*" + d + "/b\n"                 // negative level
      "3:4:5* spaced name *  " + d + "/b  \n"  // level with colons, blanks trimmed
      "1*pub*" + d + "/b\n"                  // duplicate name
      "1*bad:name*" + d + "/a\n"
      "1*up*" + d + "/a/../b\n"
      "1*rel*relative/path\n"
      "1*gone*" + d + "/missing\n"
      "x*nolevel*" + d + "/a\n"
      "2*root*/\n";
  home.WriteFile("config/myshare.txt", lines);
  WL_FtpResource r;
  ASSERT_TRUE(r.LoadResources(home.config() + "/myshare.txt"));
  const auto& e = r.entries();
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].name, "pub");
  EXPECT_EQ(e[0].path, d + "/a");
  EXPECT_EQ(e[0].level, 0);
  EXPECT_EQ(e[1].level, -1);
  EXPECT_EQ(e[2].name, "spaced name");
  EXPECT_EQ(e[2].level, 3);
  EXPECT_EQ(e[3].name.rfind("pub__3_", 0), 0u) << e[3].name;
  EXPECT_EQ(e[4].path, "/");
  std::string path;
  EXPECT_TRUE(r.ResolveResource("pub", 0, &path));
  EXPECT_EQ(path, d + "/a");
  EXPECT_FALSE(r.ResolveResource("PUB", 9, &path));
  EXPECT_FALSE(r.ResolveResource("spaced name", 2, &path));
  EXPECT_TRUE(path.empty());
  EXPECT_FALSE(r.ResolveResource("", 9, &path));
  EXPECT_FALSE(r.LoadResources(home.config() + "/missing.txt"));
  EXPECT_EQ(r.entries().size(), 5u);  // a missing file leaves the table

  std::string many;
  for (int i = 0; i < 300; ++i) many += "1*n" + std::to_string(i) + "*" + d + "/a\n";
  home.WriteFile("config/many.txt", many);
  ASSERT_TRUE(r.LoadResources(home.config() + "/many.txt"));
  EXPECT_EQ(r.entries().size(), 256u);
}

}  // namespace
