// Operator commands driven in the test process: refusal counting, the power
// hook SHUT calls, and the account list's size limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/server.h"
#include "harness.h"
#include "platform/clock.h"

namespace {

using zt::RawClient;

constexpr const char kAccounts[] =
    "[User_admin]\nActive_Mode=1\nAccess_Level=9\nUser_Name=root\nPass_Word=rootpw\n"
    "[User_proxy]\nActive_Mode=1\nAccess_Level=1\nUser_Name=px\nPass_Word=pxpw\n"
    "[User_user1]\nActive_Mode=1\nAccess_Level=2\nUser_Name=alice\nPass_Word=alicepw\n";

struct HookCalls {
  int count = 0;
  bool reboot = false;
  void* service = nullptr;
};
HookCalls g_hook;

int RecordingHook(bool reboot, void* service) {
  ++g_hook.count;
  g_hook.reboot = reboot;
  g_hook.service = service;
  return 1;
}

class OperatorCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hook = HookCalls();
    port_ = zt::FreePort();
    home_.WriteSettings(zt::BasicSettings(port_));
    home_.WriteFile("config/myaccount.ini", kAccounts);
    svr_.SetInstallDir(home_.dir());
    ASSERT_TRUE(svr_.Start());
  }
  void TearDown() override { EXPECT_TRUE(svr_.Stop()); }

  // Opens a session and logs in (user empty: stays logged out). Returns the
  // session's slot, found as the one slot in use.
  WL_FtpSession* Open(RawClient* c, const std::string& user, const std::string& pass) {
    for (int i = 0; i < 400 && InUse() != 0; ++i) SleepMs(5);
    if (!c->Connect("127.0.0.1", port_) || c->ReadLine().rfind("220 ", 0) != 0) return nullptr;
    if (!user.empty()) {
      c->SendLine("USER " + user);
      c->ReadLine();
      c->SendLine("PASS " + pass);
      if (c->ReadLine().rfind("230 ", 0) != 0) return nullptr;
    }
    for (uint32_t i = 0; i < 32; ++i) {
      WL_FtpSession* s = svr_.Session(i, WL_ZelFtpSvr::kFamilyV4);
      if (s->in_use.load()) return s;
    }
    return nullptr;
  }
  int InUse() {
    int n = 0;
    for (uint32_t i = 0; i < 32; ++i) n += svr_.Session(i, WL_ZelFtpSvr::kFamilyV4)->in_use.load() ? 1 : 0;
    return n;
  }

  zt::TempHome home_;
  WL_ZelFtpSvr svr_;
  int port_ = 0;
};

TEST_F(OperatorCommands, RefusalsAreCountedAndKeepTheSession) {
  const std::vector<std::string> admin_only = {"VFUL", "VFCL", "VFLS", "VHLS", "VBLS", "WLLS", "WNLS",
                                               "FDLS", "FULS", "CIPW", "SHUT", "TEMP 0", "DBBS"};
  struct Who {
    const char* user;
    const char* pass;
    const char* reply;
    std::vector<std::string> verbs;
  } whos[] = {
      {"", "", "550 login first\r\n", admin_only},
      {"alice", "alicepw", "550 unknown command\r\n", admin_only},
      {"px", "pxpw", "550 unknown command\r\n", {"VFUL", "CIPW", "SHUT 1", "ABBS hi", "GBBS", "DBBS"}},
  };
  whos[0].verbs.insert(whos[0].verbs.end(), {"ABBS hi", "GBBS"});
  for (const Who& w : whos) {
    RawClient c;
    WL_FtpSession* s = Open(&c, w.user, w.pass);
    ASSERT_NE(s, nullptr) << w.user;
    uint64_t failed = s->failed_commands;
    for (const std::string& verb : w.verbs) {
      c.SendLine(verb);
      EXPECT_EQ(c.ReadLine(), w.reply) << w.user << " " << verb;
      // The counter grows after the refusal went out; NOOP's reply comes
      // once that handler has returned.
      c.SendLine("NOOP");
      c.ReadLine();
      EXPECT_EQ(s->failed_commands, ++failed) << w.user << " " << verb;
    }
    // The status verbs answer anyone and count nothing.
    for (const char* verb : {"HINF", "FSLS", "HSLS x"}) {
      c.SendLine(verb);
      EXPECT_EQ(c.ReadLine(), "550  please use dump command\r\n");
      c.SendLine("NOOP");
      c.ReadLine();
      EXPECT_EQ(s->failed_commands, failed);
    }
    c.SendLine("QUIT");
    c.ReadLine();
  }
  EXPECT_EQ(g_hook.count, 0);
  EXPECT_EQ(svr_.temp_account.load(), 1);
}

TEST_F(OperatorCommands, ShutAsksTheHookForRebootOrPowerOff) {
  int service = 0;
  svr_.service_object = &service;
  svr_.power_request = RecordingHook;
  RawClient c;
  WL_FtpSession* s = Open(&c, "root", "rootpw");
  ASSERT_NE(s, nullptr);
  struct Case {
    const char* line;
    bool reboot;
    int32_t mode;
  } cases[] = {{"SHUT now", true, 1}, {"SHUT", false, 2}, {"SHUT 0", true, 1}};
  int calls = 0;
  for (const Case& k : cases) {
    c.SendLine(k.line);
    EXPECT_EQ(c.ReadLine(), "200 system command ok\r\n") << k.line;
    // The reply goes out before the hook runs; NOOP's reply comes after.
    c.SendLine("NOOP");
    c.ReadLine();
    EXPECT_EQ(g_hook.count, ++calls) << k.line;
    EXPECT_EQ(g_hook.reboot, k.reboot) << k.line;
    EXPECT_EQ(g_hook.service, &service);
    EXPECT_EQ(svr_.requested_power_mode.load(), k.mode) << k.line;
  }
  // Signed commands required and no signature: nothing is asked.
  svr_.set.Command_protect = 2;
  c.SendLine("SHUT now");
  EXPECT_EQ(c.ReadLine(), "550 command protect fail\r\n");
  EXPECT_EQ(g_hook.count, calls);
  svr_.set.Command_protect = 0;
  // A server without a host that can power off says so.
  svr_.power_request = nullptr;
  c.SendLine("SHUT");
  EXPECT_EQ(c.ReadLine(), "500 no system call found\r\n");
  EXPECT_EQ(g_hook.count, calls);
  c.SendLine("NOOP");
  c.ReadLine();
  EXPECT_EQ(s->failed_commands, 0u);
}

TEST_F(OperatorCommands, AccountListStopsOnceHalfItsRoomIsUsed) {
  RawClient c;
  ASSERT_NE(Open(&c, "root", "rootpw"), nullptr);
  // Every slot in use and logged in once, with long names.
  {
    std::lock_guard<WL_Lock> hold(svr_.account_lock);
    for (int i = 1; i < WL_FtpAccount::kSlots; ++i) {
      WL_AccountRecord& a = svr_.accounts.MutableAccount(i);
      a.in_use = 1;
      a.user_name = "user" + std::string(60, static_cast<char>('a' + i % 26));
      a.last_login_time = NowSeconds();
      a.last_login_ipv6 = 0;
      const uint32_t addr = 0x7F000001;
      memcpy(a.last_login_addr, &addr, 4);
    }
  }
  c.SendLine("VFUL");
  std::vector<std::string> lines;
  for (;;) {
    const std::string line = c.ReadLine();
    ASSERT_FALSE(line.empty());
    lines.push_back(line);
    if (line.rfind("200 ", 0) == 0) break;
  }
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "200 ftp account list\r\n");
  EXPECT_EQ(lines[0].rfind("200-Account_Admin[root] time:", 0), 0u);
  EXPECT_NE(lines[0].find(" ip:127.0.0.1 backup:No level:9\r\n"), std::string::npos);
  size_t body = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) body += lines[i].size();
  // The list ends with the first line that brings it to 925 characters.
  EXPECT_GE(body, 925u);
  EXPECT_LT(body - lines[lines.size() - 2].size(), 925u);
  EXPECT_LT(lines.size() - 1, 32u);
}

}  // namespace
