#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/thread_pool.h"
#include "platform/clock.h"

namespace {

struct LimitCase {
  uint32_t low, high, size;
  uint32_t want_low, want_high, want_size;
};

TEST(ThreadPool, InitPoolLimits) {
  const LimitCase cases[] = {
      {5, 16, 128, 5, 16, 128},   // unchanged
      {5, 16, 20, 5, 16, 32},     // small tables become 32
      {5, 16, 0, 5, 16, 132},     // 0 becomes 132
      {5, 16, 300, 5, 16, 256},   //
      {12, 12, 128, 12, 20, 128}, // high at most low + 3 gains 8
      {1, 16, 128, 3, 16, 128},   // low at least 3
      {16, 40, 32, 8, 16, 32},    // low at or above half, high at or above size
      {12, 13, 128, 12, 21, 128}, //
  };
  for (const LimitCase& c : cases) {
    WL_ZelfoThreadPool pool;
    pool.low = c.low;
    pool.high = c.high;
    pool.table_size = c.size;
    ASSERT_TRUE(pool.InitPool());
    EXPECT_FALSE(pool.InitPool());  // the table exists
    EXPECT_EQ(pool.low, c.want_low) << c.low << "/" << c.high << "/" << c.size;
    EXPECT_EQ(pool.high, c.want_high) << c.low << "/" << c.high << "/" << c.size;
    EXPECT_EQ(pool.table_size, c.want_size) << c.low << "/" << c.high << "/" << c.size;
  }
}

// A task that holds its worker until released.
std::atomic<int> g_running{0};
std::atomic<bool> g_release{false};
int HoldingTask(uint32_t, uint8_t, const std::atomic<bool>*, void*) {
  g_running.fetch_add(1);
  while (!g_release.load()) SleepMs(1);
  g_running.fetch_sub(1);
  return 0;
}
int NoTask(uint32_t, uint8_t, const std::atomic<bool>*, void*) { return 0; }

void WaitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) SleepMs(1);
}

TEST(ThreadPool, ManagerFillsThePoolAndAssignNeverQueues) {
  g_release.store(false);
  WL_ZelfoThreadPool pool;
  pool.ftp_entry = HoldingTask;
  pool.http_entry = NoTask;
  pool.low = 5;
  pool.high = 16;
  pool.table_size = 32;
  ASSERT_TRUE(pool.Start());
  // The first task message starts (5 + 16 - 0) / 2 + 1 = 11 workers.
  WaitFor([&] { return pool.CountIdle() >= 11; });
  EXPECT_EQ(pool.CountIdle(), 11u);

  int assigned = 0;
  for (int attempt = 0; attempt < 2000 && assigned < 32; ++attempt) {
    if (pool.AssignTask(static_cast<uint32_t>(assigned), WL_ZelfoThreadPool::kTaskFtp, 0, nullptr)) {
      ++assigned;
    } else {
      SleepMs(2);  // the manager is still starting workers
    }
  }
  ASSERT_EQ(assigned, 32);
  WaitFor([&] { return g_running.load() == 32; });
  EXPECT_EQ(g_running.load(), 32);
  // Every record is busy: the call fails at once instead of waiting.
  EXPECT_FALSE(pool.AssignTask(99, WL_ZelfoThreadPool::kTaskFtp, 0, nullptr));
  EXPECT_EQ(g_running.load(), 32);

  // StopPool returns only after every running task has returned.
  std::thread stopper([&] { EXPECT_TRUE(pool.StopPool()); });
  SleepMs(50);
  EXPECT_EQ(g_running.load(), 32);
  g_release.store(true);
  stopper.join();
  EXPECT_EQ(g_running.load(), 0);
  EXPECT_FALSE(pool.HasTable());
  EXPECT_FALSE(pool.AssignTask(0, WL_ZelfoThreadPool::kTaskFtp, 0, nullptr));
}

TEST(ThreadPool, StaleTaskMessageIsRejected) {
  WL_ZelfoThreadPool pool;
  pool.ftp_entry = NoTask;
  pool.http_entry = NoTask;
  pool.low = 5;
  pool.high = 16;
  pool.table_size = 32;
  ASSERT_TRUE(pool.Start());
  WaitFor([&] { return pool.CountIdle() >= 5; });
  ASSERT_TRUE(pool.AssignTask(1, WL_ZelfoThreadPool::kTaskFtp, 0, nullptr));
  // Find the worker that ran it and repeat its message.
  WL_WorkerRecord* ran = nullptr;
  WaitFor([&] {
    for (uint32_t i = 0; i < pool.table_size; ++i) {
      WL_WorkerRecord* r = pool.MutableRecord(i);
      if (r->running.load() && r->slot_index == 1 && r->state.load() == kWorkerWaiting) ran = r;
    }
    return ran != nullptr;
  });
  ASSERT_NE(ran, nullptr);
  const uint64_t old_stamp = ran->stamp.load() + 1;  // the worker lowered it by one
  ran->mailbox.Post(kMsgTask, old_stamp, old_stamp);
  WaitFor([&] { return pool.ErrorCount() == 1; });
  EXPECT_EQ(pool.ErrorCount(), 1);
  char line[200];
  EXPECT_GT(pool.PoolStatusText(line, sizeof(line), true), 0);
  EXPECT_NE(std::string(line).find("error:1 daemon:1"), std::string::npos) << line;
  EXPECT_TRUE(pool.StopPool());
  EXPECT_EQ(pool.PoolStatusText(line, sizeof(line), false), 24);
  EXPECT_STREQ(line, "thread pool: not active ");
}

}  // namespace
