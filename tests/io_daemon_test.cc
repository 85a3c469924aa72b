// The IO daemon's queue and copy jobs, on a server object that is not
// started (the queue only asks whether the daemon runs).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/server.h"
#include "daemons/io_daemon.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

size_t Entries(const std::string& dir) {
  size_t n = 0;
  for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
  return n;
}

class IoDaemon : public ::testing::Test {
 protected:
  void TearDown() override { svr_.io_ctl.running.store(false); }
  std::string P(const char* name) const { return home_.dir() + "/" + name; }
  WL_IoJob Copy(const std::string& from, const std::string& to) {
    WL_IoJob j;
    j.kind = 0;
    j.source = from;
    j.target = to;
    return j;
  }

  zt::TempHome home_{false};
  WL_ZelFtpSvr svr_;
  std::atomic<bool> stop_{false};
};

TEST_F(IoDaemon, QueueHolds256JobsAndRefusesThe257th) {
  EXPECT_FALSE(EnqueueIoJob(&svr_, Copy("/a", "/b")));  // the daemon does not run
  svr_.io_ctl.running.store(true);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(EnqueueIoJob(&svr_, Copy(P("none"), P("t")))) << i;
  EXPECT_FALSE(EnqueueIoJob(&svr_, Copy("/a", "/b")));
  EXPECT_EQ(IoJobsWaiting(&svr_), 256u);
  // A job taken off the queue makes room for one more.
  EXPECT_FALSE(RunOneIoJob(&svr_, &stop_));  // its source is missing
  EXPECT_EQ(IoJobsWaiting(&svr_), 255u);
  EXPECT_TRUE(EnqueueIoJob(&svr_, Copy("/a", "/b")));
  EXPECT_EQ(ClearIoQueue(&svr_), 256u);
  EXPECT_FALSE(RunOneIoJob(&svr_, &stop_));
}

TEST_F(IoDaemon, JobOutcomes) {
  const int64_t t = 1700000000;
  zt::PutFile(P("File"), "upper case source", t);
  zt::PutFile(P("same"), "XXXX", t);
  zt::PutFile(P("same-copy"), "YYYY", t);  // same size and time: counts as copied
  ASSERT_EQ(link(P("same").c_str(), P("hardlink").c_str()), 0);
  fs::create_symlink("/etc/hostname", P("link"));
  struct Case {
    const char* name;
    int32_t kind;
    std::string source;
    std::string target;
    bool done;
  } cases[] = {
      {"names differing in case are two files", 0, P("File"), P("file"), true},
      {"target already matches", 0, P("same"), P("same-copy"), true},
      {"one file under two names", 0, P("same"), P("hardlink"), true},
      {"the same path", 0, P("same"), P("same"), true},
      {"a link as source", 0, P("link"), P("from-link"), false},
      {"missing source", 0, P("none"), P("t"), false},
      {"empty target", 0, P("same"), "", false},
      {"kind 1 is taken without action", 1, P("File"), P("k1"), false},
      {"kind 5 with both paths", 5, P("x"), P("y"), true},
  };
  svr_.io_ctl.running.store(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WL_IoJob j = Copy(c.source, c.target);
    j.kind = c.kind;
    ASSERT_TRUE(EnqueueIoJob(&svr_, j));
    EXPECT_EQ(RunOneIoJob(&svr_, &stop_), c.done);
  }
  EXPECT_EQ(zt::ReadWholeFile(P("file")), "upper case source");
  EXPECT_EQ(zt::FileMTime(P("file")), t);
  EXPECT_EQ(zt::ReadWholeFile(P("File")), "upper case source");
  EXPECT_EQ(zt::ReadWholeFile(P("same-copy")), "YYYY");  // not read, not written
  EXPECT_EQ(zt::ReadWholeFile(P("hardlink")), "XXXX");
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("from-link"))));
  EXPECT_FALSE(fs::exists(P("k1")));
  EXPECT_FALSE(fs::exists(P("y")));
}

TEST_F(IoDaemon, StoppedCopyLeavesTheOldTargetAndNoPartialFile) {
  std::string big(3 * kCopyBlock, 'b');
  zt::PutFile(P("big"), big);
  zt::PutFile(P("target"), "previous");
  const size_t before = Entries(home_.dir());
  int blocks = 0;
  const std::function<void()> hook = [&] {
    ++blocks;
    stop_.store(true);
  };
  EXPECT_FALSE(CopyFileJob(&svr_, P("big"), P("target"), &stop_, &hook));
  EXPECT_EQ(blocks, 1);
  EXPECT_EQ(zt::ReadWholeFile(P("target")), "previous");
  EXPECT_EQ(Entries(home_.dir()), before);
  stop_.store(false);
  EXPECT_TRUE(CopyFileJob(&svr_, P("big"), P("target"), &stop_));
  EXPECT_EQ(zt::ReadWholeFile(P("target")), big);
}

}  // namespace
