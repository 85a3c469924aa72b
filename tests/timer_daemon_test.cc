// The timer daemon's schedule: the duties by wake-up count, and the auto
// backup of a running server driven through a clock that lets wake-ups
// pass on demand and moves time by 5 seconds per wake-up.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/server.h"
#include "daemons/io_daemon.h"
#include "daemons/timer_daemon.h"
#include "harness.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace {

namespace fs = std::filesystem;

// Each WaitWake blocks until the test lets a wake-up pass (time then moves
// on by 5 seconds) or the stop sequence releases the semaphore.
class StepClock : public WL_TimerClock {
 public:
  explicit StepClock(int64_t start) : now_(start) {}

  bool WaitWake(WL_Semaphore* wakeup, int64_t) override {
    std::unique_lock<std::mutex> g(mu_);
    ++entries_;
    cv_.notify_all();
    for (;;) {
      if (pending_ > 0) {
        --pending_;
        ++served_;
        now_ += 5;
        return false;
      }
      g.unlock();
      const bool released = wakeup->Wait(1);
      g.lock();
      if (released) return true;
    }
  }
  int64_t Now() override {
    std::lock_guard<std::mutex> g(mu_);
    return now_;
  }
  void Set(int64_t now) {
    std::lock_guard<std::mutex> g(mu_);
    now_ = now;
  }
  // Lets n wake-ups pass and returns once the daemon has finished them
  // (it waits for the next one).
  bool Pass(int n) {
    std::unique_lock<std::mutex> g(mu_);
    pending_ += n;
    const int64_t want = served_ + n + 1;
    return cv_.wait_for(g, std::chrono::seconds(60), [&] { return pending_ == 0 && entries_ >= want; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int64_t now_;
  int pending_ = 0;
  int64_t served_ = 0;
  int64_t entries_ = 0;
};

// The first time at or after t whose local time is hour:30.
int64_t NextLocal(int64_t t, int hour) {
  for (int64_t s = t;; s += 60) {
    struct tm tm;
    if (ToLocalTime(s, &tm) && tm.tm_hour == hour && tm.tm_min == 30) return s;
  }
}

int LocalHour(int64_t t) {
  struct tm tm;
  return ToLocalTime(t, &tm) ? tm.tm_hour : -1;
}

TEST(TimerDaemon, DutiesRunByWakeUpCount) {
  WL_ZelFtpSvr svr;  // not started: every duty finds nothing to do
  WL_TimerState state;
  for (int wake = 1; wake <= 60; ++wake) {
    const int ran = TimerWake(&svr, &state, 1800000000 + 5 * wake);
    EXPECT_EQ((ran & kDutyMap) != 0, wake % 6 == 0) << wake;
    EXPECT_EQ((ran & kDutyMail) != 0, wake % 12 == 0) << wake;
    EXPECT_EQ((ran & kDutyBackup) != 0, wake % 20 == 0) << wake;
  }
}

TEST(TimerDaemon, WakeSeamAcceptsOnlyShorterWaits) {
  struct Case {
    const char* value;
    int64_t ms;
  } cases[] = {{"50", 50}, {"1", 1}, {"5000", 5000}, {"0", 5000}, {"9000", 5000}, {"-5", 5000}, {"5x", 5000}};
  for (const Case& c : cases) {
    setenv("ZELFO_TIMER_WAKE_MS", c.value, 1);
    EXPECT_EQ(TimerWakeMs(), c.ms) << c.value;
  }
  unsetenv("ZELFO_TIMER_WAKE_MS");
  EXPECT_EQ(TimerWakeMs(), 5000);
}

class RunningServer : public ::testing::Test {
 protected:
  void StartWith(const std::string& more) {
    port_ = zt::FreePort();
    home_.WriteSettings(zt::BasicSettings(port_, "", "", more));
    svr_.SetInstallDir(home_.dir());
    svr_.timer_clock = &clock_;
    ASSERT_TRUE(svr_.Start());
    started_ = true;
  }
  void TearDown() override {
    if (started_) {
      EXPECT_TRUE(svr_.Stop());
    }
  }
  // Waits (without a time limit of its own) until a started run has ended.
  void WaitRunEnd() {
    SpinBackoff wait;
    while (svr_.backup_ctl.running.load()) wait.Pause();
  }
  bool RunStarted() {
    const bool s = svr_.backup_ctl.started.exchange(false);
    WaitRunEnd();
    return s;
  }

  zt::TempHome home_;
  WL_ZelFtpSvr svr_;
  int port_ = 0;
  bool started_ = false;
  StepClock clock_{NextLocal(1800000000, 5)};
};

TEST_F(RunningServer, BackupScheduleFollowsTheClampedGapAndHour) {
  const std::string src = home_.dir() + "/src";
  const std::string dst = home_.dir() + "/dst";
  fs::create_directories(src);
  fs::create_directories(dst);
  std::ofstream(src + "/a.txt") << "a";
  // A gap below 24 hours counts as 24; hour 26 is 2 o'clock.
  StartWith("[Zelfo_backup]\r\nEnable_backup=1\r\nBackup_gaphours=10\r\nBackup_exectime=26\r\nBackup_source_1=" +
            src + "\r\nBackup_dest_1=" + dst + "\r\n");
  ASSERT_EQ(svr_.set.Backup_gaphours, 24);
  ASSERT_EQ(svr_.set.Backup_exectime, 2);
  const int64_t t0 = clock_.Now();

  // The first check, at the 20th wake-up (100 s), starts a run.
  ASSERT_TRUE(clock_.Pass(19));
  EXPECT_FALSE(RunStarted());
  ASSERT_TRUE(clock_.Pass(1));
  EXPECT_TRUE(RunStarted());
  EXPECT_TRUE(fs::exists(dst + "/a.txt"));
  const int64_t last = t0 + 100 - 60;
  EXPECT_EQ(svr_.backup.last_start.load(), last);
  std::ofstream(src + "/b.txt") << "b";

  struct Step {
    const char* name;
    int64_t check_at;
    bool runs;
  } steps[] = {
      // 2 o'clock, but within 24 hours (a 10-hour gap would run here).
      {"2 o'clock inside the gap", NextLocal(last, 2), false},
      {"past the gap at another hour", NextLocal(last + 24 * 3600, 11), false},
      {"past the gap at 2 o'clock", NextLocal(last + 24 * 3600, 2), true},
  };
  ASSERT_LT(steps[0].check_at - last, 24 * 3600);
  ASSERT_LT(steps[1].check_at - last, 48 * 3600);
  ASSERT_LT(steps[2].check_at - last, 48 * 3600);
  ASSERT_EQ(LocalHour(steps[1].check_at), 11);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    clock_.Set(s.check_at - 100);
    ASSERT_TRUE(clock_.Pass(20));
    EXPECT_EQ(RunStarted(), s.runs);
    EXPECT_EQ(fs::exists(dst + "/b.txt"), s.runs);
  }
  // BKUP's request starts a run at the next check whatever the hour.
  std::ofstream(src + "/c.txt") << "c";
  svr_.backup.request.store(1);
  ASSERT_TRUE(clock_.Pass(20));
  EXPECT_TRUE(RunStarted());
  EXPECT_TRUE(fs::exists(dst + "/c.txt"));
  EXPECT_EQ(svr_.backup.request.load(), 0);
}

TEST_F(RunningServer, NoBackupConfiguredStartsNoRun) {
  StartWith("[Zelfo_backup]\r\nEnable_backup=1\r\n");
  ASSERT_TRUE(clock_.Pass(40));
  EXPECT_FALSE(svr_.backup_ctl.started.load());
}

TEST_F(RunningServer, IoDaemonRunsQueuedCopies) {
  StartWith("");
  const std::string from = home_.dir() + "/from.bin";
  const std::string to = home_.dir() + "/to.bin";
  std::ofstream(from) << std::string(2 * kCopyBlock + 5, 'q');
  WL_IoJob job;
  job.source = from;
  job.target = to;
  ASSERT_TRUE(EnqueueIoJob(&svr_, job));
  SpinBackoff wait;
  while (svr_.io.jobs_done.load() < 1) wait.Pause();
  EXPECT_EQ(fs::file_size(to), 2 * kCopyBlock + 5);
  EXPECT_EQ(IoJobsWaiting(&svr_), 0u);
}

}  // namespace
