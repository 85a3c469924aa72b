// The status texts of the diagnostics commands on a server driven in the
// test process: the snapshot name, the lock check, the snapshot's failures
// and the econn list lines.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "core/server.h"
#include "ftp/diagnostics.h"
#include "harness.h"
#include "platform/clock.h"
#include "platform/proc_stats.h"

namespace {

TEST(SnapshotName, ReplacesEverySeparatorOfTheTime) {
  struct tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 4;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  const int64_t when = static_cast<int64_t>(mktime(&t));
  EXPECT_EQ(SnapshotFileName(3, 0x1a2b3c, when), "_Snap_3_1a2b3c_2026-1-5_9_4_7.txt");
  EXPECT_EQ(SnapshotFileName(0, 0, 0), "_Snap_0_0_--.txt");
}

TEST(ProcessFigures, ComeFromTheKernel) {
  WL_ProcessMemory m;
  ASSERT_TRUE(ReadProcessMemory(&m));
  EXPECT_GT(m.resident_bytes, 0);
  EXPECT_GE(m.peak_resident_bytes, m.resident_bytes);
  EXPECT_GE(ProcessCpuMillis(), 0);
  EXPECT_GE(ProcessClockMillis(), 0);
  EXPECT_GT(AvailableMemoryBytes(), 0);
  // stdin, stdout and stderr at least.
  EXPECT_GE(CountOpenDescriptors(), 3);
}

class DiagnosticsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = zt::FreePort();
    home_.WriteSettings(zt::BasicSettings(port_));
    svr_.SetInstallDir(home_.dir());
    ASSERT_TRUE(svr_.Start());
    started_ = true;
  }
  void TearDown() override {
    if (started_) {
      EXPECT_TRUE(svr_.Stop());
    }
  }

  zt::TempHome home_;
  WL_ZelFtpSvr svr_;
  int port_ = 0;
  bool started_ = false;
};

TEST_F(DiagnosticsServer, LockCheckNamesTheLockAnotherThreadHolds) {
  // With every lock free the check goes on to the threads, which all run.
  // (A worker or the pool's manager may hold a lock for a moment: look
  // again then.)
  int32_t free_result = LockCheck(&svr_);
  for (int i = 0; i < 1000 && free_result != kLockOk && free_result < kThreadListener; ++i) {
    SleepMs(1);
    free_result = LockCheck(&svr_);
  }
  EXPECT_EQ(free_result, kLockOk);
  struct Case {
    WL_Lock* lock;
    int32_t code;
  } cases[] = {{&svr_.account_lock, kLockAccount}, {&svr_.totals_lock, kLockTotals}};
  for (const Case& c : cases) {
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
      c.lock->Enter();
      held.store(true);
      while (!release.load()) SleepMs(1);
      c.lock->Leave();
    });
    while (!held.load()) SleepMs(1);
    EXPECT_EQ(LockCheck(&svr_), c.code);
    release.store(true);
    holder.join();
  }
  // A service thread that stops is named.
  svr_.web.StopWebService();
  EXPECT_EQ(LockCheck(&svr_), kThreadWebMain);
}

TEST_F(DiagnosticsServer, SnapshotThatCannotBeOpenedFails) {
  EXPECT_FALSE(WriteSnapshot(&svr_, home_.dir() + "/missing-dir/snap.txt"));
  EXPECT_FALSE(WriteSnapshot(&svr_, home_.dir()));  // a directory is no file
  EXPECT_TRUE(WriteSnapshot(&svr_, home_.dir() + "/snap.txt"));
}

TEST_F(DiagnosticsServer, EconnListLinesShowOnlyEntriesInUse) {
  char line[1001];
  const uint8_t peer[16] = {1, 0, 0, 127};  // 127.0.0.1 in host order
  EXPECT_EQ(svr_.econn.WaitLine(5, false, line), 0);
  ASSERT_TRUE(svr_.econn.AddWaitSession(true, peer, "0123456789abcdef0123456789abcdef", 5, true, 1, 7, nullptr));
  const int n = svr_.econn.WaitLine(5, false, line);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(line, 18), "200-5 ip=127.0.0.1");
  EXPECT_NE(std::string(line).find(" status=1 time="), std::string::npos);
  EXPECT_EQ(std::string(line + n - 8), " ssl=1\r\n");
  EXPECT_EQ(svr_.econn.WaitLine(5, true, line), 0);   // the other family
  EXPECT_EQ(svr_.econn.WaitLine(64, false, line), 0);  // outside the table
  EXPECT_EQ(svr_.econn.PendingLine(127, false, line), 0);
  EXPECT_EQ(svr_.econn.PendingLine(0, false, line), 0);  // nothing pending
  EXPECT_TRUE(svr_.econn.RemoveWaitSession(true, 5));
  EXPECT_EQ(svr_.econn.WaitLine(5, false, line), 0);
}

}  // namespace
