// The auto backup's walk over a directory pair (WL_BackupRun) and its
// schedule rule, on real temporary trees.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemons/auto_backup.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Every entry below dir, links not followed: relative path -> kind and
// content (a link's target, a file's bytes).
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(fs::symlink_status(dir))) return out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), dir).string();
    const fs::file_status st = it->symlink_status();
    if (fs::is_symlink(st)) {
      out[rel] = "L:" + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(st)) {
      out[rel] = "D";
    } else {
      out[rel] = "F:" + zt::ReadWholeFile(it->path().string()) + ":" + std::to_string(zt::FileMTime(it->path().string()));
    }
  }
  return out;
}

class BackupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = home_.dir();
    src_ = root_ + "/src";
    dst_ = root_ + "/dst";
    fs::create_directories(src_);
    fs::create_directories(dst_);
  }

  bool Sync(const WL_BackupRun::Options& o, const std::string& source, const std::string& dest,
            std::function<void()> after_block = nullptr) {
    WL_BackupRun run(o, {&bytes_, &files_, &errors_, &read_errors_, &write_errors_}, &stop_, block_.data(),
                     block_.size());
    run.log = [this](const char* line) { log_ += line; };
    run.after_block = std::move(after_block);
    return run.SyncDir(source, dest);
  }
  bool Sync(const WL_BackupRun::Options& o) { return Sync(o, src_, dst_); }

  static WL_BackupRun::Options Opt(bool check_time, bool skip_hidden, bool sync_mode) {
    WL_BackupRun::Options o;
    o.check_time = check_time;
    o.skip_hidden = skip_hidden;
    o.sync_mode = sync_mode;
    return o;
  }

  zt::TempHome home_{false};
  std::string root_, src_, dst_;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint32_t> files_{0};
  std::atomic<uint32_t> errors_{0};
  std::atomic<int64_t> read_errors_{0};
  std::atomic<int64_t> write_errors_{0};
  std::atomic<bool> stop_{false};
  std::vector<char> block_ = std::vector<char>(kBackupBlock);
  std::string log_;
};

TEST_F(BackupRun, CopiesDecidedBySizeAndTime) {
  const int64_t t = 1700000000;
  struct Case {
    const char* name;
    bool check_time;
    bool dest_exists;
    const char* dest_text;
    int64_t dest_mtime;
    bool copied;
  } cases[] = {
      {"missing", true, false, "", 0, true},
      {"same size, older time, times checked", true, true, "OLDxx", t - 100, true},
      {"same size, older time, times ignored", false, true, "OLDxx", t - 100, false},
      {"other size, times ignored", false, true, "OLD", t, true},
      // Equal size and time count as up to date: the source is not read.
      {"same size and time, other bytes", true, true, "OLDxx", t, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dst_);
    fs::create_directories(dst_);
    zt::PutFile(src_ + "/f.txt", "NEWyy", t);
    if (c.dest_exists) zt::PutFile(dst_ + "/f.txt", c.dest_text, c.dest_mtime);
    const uint32_t errors = errors_.load();
    EXPECT_TRUE(Sync(Opt(c.check_time, true, false)));
    EXPECT_EQ(zt::ReadWholeFile(dst_ + "/f.txt"), c.copied ? "NEWyy" : c.dest_text);
    if (c.copied) {
      EXPECT_EQ(zt::FileMTime(dst_ + "/f.txt"), t);
    }
    EXPECT_EQ(errors_.load(), errors);
  }
}

TEST_F(BackupRun, SyncModeDeletesWhatTheSourceLacks) {
  for (bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "sync" : "no sync");
    zt::PutFile(src_ + "/keep.txt", "k");
    zt::PutFile(dst_ + "/gone.txt", "g");
    zt::PutFile(dst_ + "/olddir/deep/x.txt", "x");
    EXPECT_TRUE(Sync(Opt(true, true, sync)));
    EXPECT_EQ(zt::ReadWholeFile(dst_ + "/keep.txt"), "k");
    EXPECT_EQ(Exists(dst_ + "/gone.txt"), !sync);
    EXPECT_EQ(Exists(dst_ + "/olddir"), !sync);
  }
}

TEST_F(BackupRun, HiddenFilter) {
  for (bool skip : {true, false}) {
    SCOPED_TRACE(skip ? "filter on" : "filter off");
    fs::remove_all(dst_);
    fs::create_directories(dst_);
    zt::PutFile(src_ + "/.hidden", "h");
    zt::PutFile(src_ + "/.hdir/in.txt", "i");
    zt::PutFile(src_ + "/shown.txt", "s");
    zt::PutFile(dst_ + "/.dest-own", "d");  // the destination's own hidden file
    EXPECT_TRUE(Sync(Opt(true, skip, true)));
    EXPECT_EQ(Exists(dst_ + "/.hidden"), !skip);
    EXPECT_EQ(Exists(dst_ + "/.hdir/in.txt"), !skip);
    EXPECT_EQ(zt::ReadWholeFile(dst_ + "/shown.txt"), "s");
    // With the filter the destination's hidden entries are left alone.
    EXPECT_EQ(Exists(dst_ + "/.dest-own"), skip);
  }
}

TEST_F(BackupRun, NonAsciiNamesAreMirrored) {
  zt::PutFile(src_ + "/Überblick/ファイル 1.txt", "ü");
  zt::PutFile(src_ + "/Überblick/Ästhetik/ñ.bin", std::string("\0\1\2", 3));
  EXPECT_TRUE(Sync(Opt(true, true, false)));
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/Überblick/ファイル 1.txt"), "ü");
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/Überblick/Ästhetik/ñ.bin"), std::string("\0\1\2", 3));
  EXPECT_EQ(errors_.load(), 0u);
}

// A backslash is an ordinary character of a name: a folder named
// "x\..\.." is mirrored as itself and never leads above the roots.
TEST_F(BackupRun, BackslashNamesStayNames) {
  const std::string odd = "x\\..\\..";
  zt::PutFile(src_ + "/x/in.txt", "in");
  zt::PutFile(src_ + "/" + odd + "/escaped.txt", "e");
  zt::PutFile(root_ + "/outside.txt", "o");
  EXPECT_TRUE(Sync(Opt(true, true, true)));
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/" + odd + "/escaped.txt"), "e");
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/x/in.txt"), "in");
  EXPECT_FALSE(Exists(root_ + "/escaped.txt"));
  EXPECT_EQ(zt::ReadWholeFile(root_ + "/outside.txt"), "o");
  EXPECT_TRUE(Exists(src_ + "/x/in.txt"));
}

TEST_F(BackupRun, StopDuringLargeCopyEndsWithinOneBlockAndKeepsTheOldCopy) {
  std::string big(6 * kBackupBlock + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  zt::PutFile(src_ + "/big.bin", big, 1700000000);
  zt::PutFile(dst_ + "/big.bin", "last good copy", 1600000000);
  int blocks = 0;
  Sync(Opt(true, true, false), src_, dst_, [&] {
    ++blocks;
    stop_.store(true);
  });
  EXPECT_EQ(blocks, 1);
  EXPECT_EQ(bytes_.load(), kBackupBlock);
  // The old copy is intact and no partial file is left beside it.
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/big.bin"), "last good copy");
  EXPECT_EQ(Snapshot(dst_).size(), 1u);
  EXPECT_EQ(errors_.load(), 1u);
  // The next run completes the copy.
  stop_.store(false);
  EXPECT_TRUE(Sync(Opt(true, true, false)));
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/big.bin"), big);
}

TEST_F(BackupRun, EmptySourceRootDeletesNothing) {
  zt::PutFile(dst_ + "/a.txt", "a");
  zt::PutFile(dst_ + "/sub/b.txt", "b");
  const auto before = Snapshot(dst_);
  EXPECT_TRUE(Sync(Opt(true, true, true)));
  EXPECT_EQ(Snapshot(dst_), before);
  EXPECT_NE(log_.find("Auto backup: warning, source " + src_ + " is empty"), std::string::npos) << log_;
  // One entry in the source is a real mirror: the rest goes.
  zt::PutFile(src_ + "/a.txt", "a2");
  EXPECT_TRUE(Sync(Opt(true, true, true)));
  EXPECT_EQ(zt::ReadWholeFile(dst_ + "/a.txt"), "a2");
  EXPECT_FALSE(Exists(dst_ + "/sub"));
}

TEST_F(BackupRun, HostileLinksNeverLeadOutside) {
  const std::string outside = root_ + "/outside";
  for (bool sync : {true, false}) {
    for (bool skip : {true, false}) {
      SCOPED_TRACE(std::string(sync ? "sync" : "no sync") + (skip ? ", filter on" : ", filter off"));
      fs::remove_all(src_);
      fs::remove_all(dst_);
      fs::remove_all(outside);
      zt::PutFile(outside + "/secret.txt", "SECRET");
      zt::PutFile(outside + "/tree/keep.txt", "keep");
      zt::PutFile(src_ + "/plain.txt", "plain");
      zt::PutFile(src_ + "/z/in_z.txt", "z");
      zt::PutFile(src_ + "/w", "new w");
      fs::create_directory_symlink(outside, src_ + "/dirlink");
      fs::create_symlink(outside + "/secret.txt", src_ + "/filelink");
      fs::create_directories(dst_);
      fs::create_directory_symlink(outside, dst_ + "/x");              // the source has no x
      fs::create_symlink(outside + "/secret.txt", dst_ + "/y");        // nor y
      fs::create_directory_symlink(outside + "/tree", dst_ + "/z");    // the source's z is a directory
      fs::create_symlink(outside + "/secret.txt", dst_ + "/w");        // the source's w is a file
      const auto outside_before = Snapshot(outside);

      Sync(Opt(true, skip, sync));

      EXPECT_EQ(Snapshot(outside), outside_before);
      // No target of a source link is copied in.
      EXPECT_FALSE(Exists(dst_ + "/dirlink"));
      EXPECT_FALSE(Exists(dst_ + "/filelink"));
      for (const auto& [rel, what] : Snapshot(dst_)) EXPECT_EQ(what.find("SECRET"), std::string::npos) << rel;
      EXPECT_EQ(zt::ReadWholeFile(dst_ + "/plain.txt"), "plain");
      // A link where the source has a file is replaced, not written through.
      EXPECT_FALSE(IsLink(dst_ + "/w"));
      EXPECT_EQ(zt::ReadWholeFile(dst_ + "/w"), "new w");
      // Links the source lacks are removed themselves in sync mode when the
      // filter shows them; otherwise they stay as they were.
      const bool removed = sync && !skip;
      EXPECT_EQ(IsLink(dst_ + "/x"), !removed);
      EXPECT_EQ(IsLink(dst_ + "/y"), !removed);
      if (removed) {
        EXPECT_EQ(zt::ReadWholeFile(dst_ + "/z/in_z.txt"), "z");
      } else {
        EXPECT_TRUE(IsLink(dst_ + "/z"));
      }
    }
  }
}

TEST_F(BackupRun, NestedPairsAreRefused) {
  zt::PutFile(src_ + "/a.txt", "a");
  zt::PutFile(src_ + "/inner/b.txt", "b");
  zt::PutFile(dst_ + "/c.txt", "c");
  fs::create_directory_symlink(src_ + "/inner", root_ + "/alias");
  struct Case {
    const char* name;
    std::string source;
    std::string dest;
  } cases[] = {
      {"destination inside the source", src_, src_ + "/inner"},
      {"source inside the destination", src_ + "/inner", src_},
      {"one directory", src_, src_ + "/"},
      {"inside through a link", src_, root_ + "/alias"},
  };
  const auto before = Snapshot(root_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    EXPECT_FALSE(Sync(Opt(true, false, true), c.source, c.dest));
    EXPECT_NE(log_.find("one lies inside the other"), std::string::npos);
    EXPECT_EQ(Snapshot(root_), before);
  }
  // A neighbour whose name only begins like the source is no nesting.
  fs::create_directories(src_ + "-copy");
  EXPECT_TRUE(Sync(Opt(true, true, false), src_, src_ + "-copy"));
  EXPECT_EQ(zt::ReadWholeFile(src_ + "-copy/inner/b.txt"), "b");
}

TEST_F(BackupRun, DepthIsBounded) {
  std::string deep = src_;
  for (int i = 0; i < kBackupMaxDepth + 2; ++i) deep += "/d";
  zt::PutFile(deep + "/leaf.txt", "leaf");
  EXPECT_TRUE(Sync(Opt(true, true, false)));
  std::string at_limit = dst_;
  for (int i = 0; i < kBackupMaxDepth; ++i) at_limit += "/d";
  EXPECT_TRUE(fs::is_directory(at_limit));
  EXPECT_FALSE(Exists(at_limit + "/d"));
  EXPECT_NE(log_.find("deeper than 64 levels"), std::string::npos);
}

TEST(BackupSchedule, DueRule) {
  const int64_t last = 1800000000;
  const int64_t h = 3600;
  struct Case {
    const char* name;
    int64_t now;
    int64_t last;
    int gap;
    int local_hour;
    bool requested;
    bool due;
  } cases[] = {
      {"first check after a start", last, 0, 168, 13, false, true},
      {"requested", last + h, last, 168, 13, true, true},
      {"167 hours later at the hour", last + 167 * h, last, 168, 2, false, false},
      {"168 hours later at the hour", last + 168 * h, last, 168, 2, false, true},
      {"168 hours later at another hour", last + 168 * h, last, 168, 3, false, false},
      {"192 hours later at any hour", last + 192 * h, last, 168, 3, false, true},
      {"24-hour gap, 23 hours later", last + 23 * h, last, 24, 2, false, false},
      {"24-hour gap, 24 hours later", last + 24 * h, last, 24, 2, false, true},
      {"clock went back, at the hour", last - h, last, 168, 2, false, true},
      {"clock went back, another hour", last - h, last, 168, 4, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BackupDue(c.now, c.last, c.gap, 2, c.local_hour, c.requested), c.due) << c.name;
  }
}

}  // namespace
