// The server object driven in the test process, for rules whose settings
// cannot be reached through the file's clamps and for its counters.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/server.h"
#include "harness.h"
#include "platform/clock.h"

namespace {

using zt::RawClient;

class InProcessServer : public ::testing::Test {
 protected:
  void Start(const std::string& ftp_extra = "", const std::string& more = "") {
    port_ = zt::FreePort();
    home_.WriteSettings(zt::BasicSettings(port_, ftp_extra, "", more));
    svr_.SetInstallDir(home_.dir());
    ASSERT_TRUE(svr_.Start());
    started_ = true;
  }
  void TearDown() override {
    if (started_) {
      EXPECT_TRUE(svr_.Stop());
    }
  }
  // Opens a session and reads its greeting; false when the server closed it.
  bool Open(RawClient* c) {
    return c->Connect("127.0.0.1", port_) && c->ReadLine(2.0).rfind("220 ", 0) == 0;
  }

  zt::TempHome home_;
  WL_ZelFtpSvr svr_;
  int port_ = 0;
  bool started_ = false;
};

TEST_F(InProcessServer, LoginTimeoutEndsTheSessionAtTheNextLine) {
  Start();
  svr_.set.Login_timeout = 1;  // below the file's clamp, to keep the test short
  RawClient c;
  ASSERT_TRUE(Open(&c));
  c.SendLine("NOOP");
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  SleepMs(1300);
  c.SendLine("NOOP");
  EXPECT_TRUE(c.ClosedWithoutReply());
}

TEST_F(InProcessServer, FullArrayAndMissingWorkerAreCounted) {
  // 32 pool records, 40 slots: the 33rd session finds no idle worker.
  Start("Max_users=40\r\nMax_ipconnects=0\r\n", "[Zelfo_threadpool]\r\nPool_maxthread=16\r\n");
  ASSERT_EQ(svr_.pool.table_size, 32u);
  std::vector<RawClient> held;
  for (int i = 0; i < 600 && held.size() < 32; ++i) {
    RawClient c;
    if (Open(&c)) {
      held.push_back(std::move(c));
    } else {
      SleepMs(5);
    }
  }
  ASSERT_EQ(held.size(), 32u);
  for (int i = 0; i < 200 && svr_.pool.CountIdle() > 0; ++i) SleepMs(5);
  const uint64_t before = svr_.no_worker_rejects.load();
  RawClient extra;
  ASSERT_TRUE(extra.Connect("127.0.0.1", port_));
  EXPECT_TRUE(extra.ClosedWithoutReply());
  EXPECT_EQ(svr_.no_worker_rejects.load(), before + 1);
  EXPECT_EQ(svr_.full_rejects_v4.load(), 0u);
  // The refused connection gives its slot back (just after its close).
  int in_use = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    in_use = 0;
    for (uint32_t i = 0; i < 40; ++i) in_use += svr_.Session(i, WL_ZelFtpSvr::kFamilyV4)->in_use.load() ? 1 : 0;
    if (in_use == 32) break;
    SleepMs(5);
  }
  EXPECT_EQ(in_use, 32);
}

TEST_F(InProcessServer, FullArrayRefusesAndCounts) {
  Start("Max_users=2\r\n");
  std::vector<RawClient> held;
  for (int i = 0; i < 100 && held.size() < 2; ++i) {
    RawClient c;
    if (Open(&c)) held.push_back(std::move(c));
  }
  ASSERT_EQ(held.size(), 2u);
  for (int i = 0; i < 200; ++i) {
    int used = svr_.Session(0, 0)->in_use.load() + svr_.Session(1, 0)->in_use.load();
    if (used == 2) break;
    SleepMs(5);
  }
  const uint64_t connects = svr_.total_connects.load();
  RawClient extra;
  ASSERT_TRUE(extra.Connect("127.0.0.1", port_));
  EXPECT_TRUE(extra.ClosedWithoutReply());
  EXPECT_EQ(svr_.full_rejects_v4.load(), 1u);
  EXPECT_EQ(svr_.total_connects.load(), connects + 1);
}

TEST_F(InProcessServer, NetworkTypeDecidesWhoIsGreeted) {
  // Loopback peers are local: type 2 (non-local only) refuses them, type 1
  // admits them.
  Start("Net_typev4=2\r\nNet_typev6=1\r\n");
  RawClient v4;
  ASSERT_TRUE(v4.Connect("127.0.0.1", port_));
  EXPECT_TRUE(v4.ClosedWithoutReply());
  RawClient v6;
  ASSERT_TRUE(v6.Connect("::1", port_));
  EXPECT_EQ(v6.ReadLine(), "220 Welcome to zelfo server 4.30 |0\r\n");
}

TEST_F(InProcessServer, SessionIdsCarryTheSlotAndDiffer) {
  Start();
  RawClient a;
  RawClient b;
  ASSERT_TRUE(Open(&a));
  ASSERT_TRUE(Open(&b));
  a.SendLine("MKEY");
  b.SendLine("MKEY");
  const std::string ra = a.ReadLine();
  const std::string rb = b.ReadLine();
  unsigned id_a = 0, id_b = 0, slot_a = 9, slot_b = 9;
  ASSERT_EQ(sscanf(ra.c_str(), "220 %x %*x %x", &id_a, &slot_a), 2) << ra;
  ASSERT_EQ(sscanf(rb.c_str(), "220 %x %*x %x", &id_b, &slot_b), 2) << rb;
  EXPECT_NE(id_a, id_b);
  EXPECT_EQ((id_a >> 8) & 0xFF, slot_a % 128 + 75);
  EXPECT_EQ((id_b >> 8) & 0xFF, slot_b % 128 + 75);
}

TEST_F(InProcessServer, ImplicitClientThatNeverHandshakesIsDropped) {
  const int implicit_port = zt::FreePort();
  Start("Implicit_mode=1\r\nService_implicitv4=" + std::to_string(implicit_port) + "\r\n");
  svr_.tls_handshake_seconds = 2;  // instead of 64, to keep the test short
  RawClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", implicit_port));
  EXPECT_TRUE(c.ClosedWithoutReply(10.0)) << "no greeting before the handshake";
}

int64_t g_clock = 0;
int64_t TestClock() { return g_clock; }

TEST_F(InProcessServer, FirewallBlockEndsAfterRecordSeconds) {
  home_.WriteFile("config/myaccount.ini", "[User_user1]\nActive_Mode=1\nUser_Name=u\nPass_Word=p\n");
  Start("", "[Zelfo_Ipwall]\r\nMax_trytimes=6\r\nRecord_seconds=600\r\n");
  g_clock = 1700000000;
  svr_.firewall.clock = TestClock;
  for (int i = 0; i < 6; ++i) {
    RawClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", port_, 5.0, "127.0.0.9"));
    ASSERT_EQ(c.ReadLine().rfind("220 ", 0), 0u);
    c.SendLine("USER u");
    c.ReadLine();
    c.SendLine("PASS wrong");
    EXPECT_EQ(c.ReadLine(), "550 Login failed\r\n");
  }
  EXPECT_EQ(svr_.login_fail_count.load(), 6u);
  RawClient blocked;
  ASSERT_TRUE(blocked.Connect("127.0.0.1", port_, 5.0, "127.0.0.9"));
  EXPECT_TRUE(blocked.ClosedWithoutReply());
  g_clock += 601;  // past Record_seconds since the last failure
  RawClient again;
  ASSERT_TRUE(again.Connect("127.0.0.1", port_, 5.0, "127.0.0.9"));
  EXPECT_EQ(again.ReadLine().rfind("220 ", 0), 0u);
  // The failed-login list holds the address with its six hits.
  const WL_RecordEntry e = svr_.records[WL_ZelFtpSvr::kRecLoginFail].Entry(0);
  uint32_t v;
  memcpy(&v, e.addr, 4);
  EXPECT_EQ(v, 0x7F000009u);
  EXPECT_EQ(e.times, 6u);
}

TEST_F(InProcessServer, RecordListsCountConnectionsAndLogins) {
  home_.WriteFile("config/myaccount.ini", "[User_user1]\nActive_Mode=1\nUser_Name=u\nPass_Word=p\n");
  Start();
  struct Visit {
    const char* host;
    const char* source;
    bool login;
  } visits[] = {{"127.0.0.1", "127.0.0.5", true}, {"127.0.0.1", "127.0.0.5", false},
                {"127.0.0.1", "127.0.0.6", true}, {"::1", "", true},
                {"127.0.0.1", "127.0.0.5", false}};
  for (const Visit& v : visits) {
    RawClient c;
    ASSERT_TRUE(c.Connect(v.host, port_, 5.0, v.source));
    ASSERT_EQ(c.ReadLine().rfind("220 ", 0), 0u);
    if (v.login) {
      c.SendLine("USER u");
      c.ReadLine();
      c.SendLine("PASS p");
      EXPECT_EQ(c.ReadLine(), "230 Login OK |0 0\r\n");
    }
    c.SendLine("QUIT");
    c.ReadLine();
  }
  auto hits = [&](WL_ZelFtpSvr::RecordList list, uint32_t addr) -> uint64_t {
    for (int i = 0; i < svr_.records[list].count(); ++i) {
      const WL_RecordEntry e = svr_.records[list].Entry(i);
      uint32_t v;
      memcpy(&v, e.addr, 4);
      if (e.used && !e.is_ipv6 && v == addr) return e.times;
    }
    return 0;
  };
  EXPECT_EQ(hits(WL_ZelFtpSvr::kRecConnV4, 0x7F000005), 3u);
  EXPECT_EQ(hits(WL_ZelFtpSvr::kRecConnV4, 0x7F000006), 1u);
  EXPECT_EQ(hits(WL_ZelFtpSvr::kRecLoginV4, 0x7F000005), 1u);
  EXPECT_EQ(hits(WL_ZelFtpSvr::kRecLoginV4, 0x7F000006), 1u);
  const WL_RecordEntry six = svr_.records[WL_ZelFtpSvr::kRecLoginV6].Entry(0);
  EXPECT_TRUE(six.used && six.is_ipv6 && six.addr[15] == 1 && six.times == 1);
  EXPECT_EQ(svr_.login_count.load(), 3u);
}

}  // namespace
