#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/logs.h"
#include "harness.h"
#include "platform/clock.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Polls until the file holds at least n bytes (the writer thread is
// asynchronous). Returns its size.
size_t WaitForSize(const std::string& path, size_t n) {
  for (int i = 0; i < 300; ++i) {
    size_t size = ReadAll(path).size();
    if (size >= n) return size;
    SleepMs(10);
  }
  return ReadAll(path).size();
}

class DaemonLogTest : public ::testing::Test {
 protected:
  zt::TempHome home_;
  std::string path_ = home_.dir() + "/log.txt";
};

TEST_F(DaemonLogTest, StartRules) {
  WL_DaemonLog log;
  EXPECT_FALSE(log.StartLog());
  EXPECT_EQ(log.last_error(), WL_DaemonLog::kEmptyPath);
  log.SetPath(home_.dir() + "/missing/dir/log.txt");
  EXPECT_FALSE(log.StartLog());
  EXPECT_EQ(log.last_error(), WL_DaemonLog::kCannotOpen);
  log.SetPath(path_);
  ASSERT_TRUE(log.StartLog());
  EXPECT_FALSE(log.StartLog());
  EXPECT_EQ(log.last_error(), WL_DaemonLog::kAlreadyStarted);
  log.StopLog();
}

TEST_F(DaemonLogTest, SizeLimitEmptiesALargeFileAtStart) {
  struct {
    uint64_t existing;
    uint64_t max;
    bool emptied;
  } cases[] = {
      {6000000, 8388608, true},    // at least max - 3 MiB
      {4000000, 8388608, false},   // appended
      {6000000, 1000000, false},   // below 8 MiB: no limit, appended
  };
  for (const auto& c : cases) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << std::string(c.existing, 'o');
    WL_DaemonLog log;
    log.SetPath(path_);
    log.SetMaximumSize(c.max);
    ASSERT_TRUE(log.StartLog());
    ASSERT_TRUE(log.Write("new line\r\n", 10));
    log.StopLog();
    const std::string text = ReadAll(path_);
    EXPECT_EQ(text.size(), c.emptied ? 10u : c.existing + 10) << c.existing << "/" << c.max;
    EXPECT_EQ(text.substr(text.size() - 10), "new line\r\n");
  }
}

TEST_F(DaemonLogTest, WritesReachTheFileInBatches) {
  WL_DaemonLog log;
  log.SetPath(path_);
  ASSERT_TRUE(log.StartLog());
  EXPECT_FALSE(log.Write(std::string(WL_DaemonLog::kCapacity, 'x').data(), WL_DaemonLog::kCapacity));
  EXPECT_FALSE(log.Write("", 0));

  // 10 KiB stay in memory at a check; a flush request writes them.
  const std::string line(100, 'a');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(log.Write(line.data(), line.size()));
  log.PostCheck();
  SleepMs(100);
  EXPECT_EQ(ReadAll(path_).size(), 0u);
  log.RequestFlush();
  EXPECT_EQ(WaitForSize(path_, 10000), 10000u);

  // 20 KiB reach the file at the next check.
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(log.Write(line.data(), line.size()));
  log.PostCheck();
  EXPECT_EQ(WaitForSize(path_, 30000), 30000u);
  log.StopLog();
  EXPECT_EQ(log.total(), 30000u);
  EXPECT_FALSE(log.Write("late\r\n", 6));
}

TEST_F(DaemonLogTest, WritesFromManyThreadsAreKeptWhole) {
  WL_DaemonLog log;
  log.SetPath(path_);
  ASSERT_TRUE(log.StartLog());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      char line[64];
      for (int i = 0; i < 20000; ++i) {
        int n = snprintf(line, sizeof(line), "thread %d line %06d\r\n", t, i);
        while (!log.Write(line, static_cast<size_t>(n))) SleepMs(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  log.StopLog();
  std::istringstream in(ReadAll(path_));
  std::string l;
  int lines = 0;
  const std::regex shape("thread [0-3] line [0-9]{6}\r");
  while (std::getline(in, l)) {
    ASSERT_TRUE(std::regex_match(l, shape)) << l.substr(0, 80);
    ++lines;
  }
  EXPECT_EQ(lines, 80000);
}

TEST(MinMemLog, PrefixLimitsAndHandOver) {
  zt::TempHome home;
  WL_DaemonLog target;
  target.SetPath(home.dir() + "/m.txt");
  ASSERT_TRUE(target.StartLog());
  WL_MinMemLog log;
  EXPECT_FALSE(log.Activate());  // no target
  log.SetTarget(&target);
  ASSERT_TRUE(log.Activate());
  EXPECT_TRUE(log.AddLine("hello", 0, true));
  EXPECT_FALSE(log.AddLine(std::string(19660, 'x').c_str(), 19660, false));
  EXPECT_EQ(log.dropped(), 1u);
  EXPECT_TRUE(log.AddLine(std::string(19659, 'y').c_str(), 19659, false));
  EXPECT_TRUE(log.AddLine("", 0, false));
  // Staged lines stay until the staging buffer nears full or is flushed.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(log.AddLine(std::string(19000, 'z').c_str(), 19000, false));
  EXPECT_LT(log.fill(), WL_MinMemLog::kCapacity - 4096);
  log.FlushToLog();
  EXPECT_EQ(log.fill(), 0);
  target.StopLog();
  const std::string text = ReadAll(home.dir() + "/m.txt");
  EXPECT_TRUE(std::regex_search(text, std::regex("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  hello\r\n")))
      << text.substr(0, 40);
  EXPECT_EQ(text.size(), (21u + 5 + 2) + (21u + 19659) + 5 * (21u + 19000)) << "every staged byte reached the file";
}

}  // namespace
