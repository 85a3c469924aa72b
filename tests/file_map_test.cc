// The file map: URL numbers, MIME types, owners, long-map limits, marking,
// housekeeping on a moved clock, status lines and subtitles.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "harness.h"
#include "stream/file_map.h"

namespace {

int64_t g_now = 1700000000;

// A file name with a number.
std::string Numbered(const char* prefix, int i) {
  char name[32];
  snprintf(name, sizeof(name), "%s%d", prefix, i);
  return name;
}
int64_t FakeClock() { return g_now; }

// The serving callback: session g_serving serves every item while >= 0.
int g_serving = -1;
int FakeServing(int, int, uint32_t, bool, void*) { return g_serving; }

const uint8_t kClientA[16] = {1, 0, 0, 127};
const uint8_t kClientB[16] = {2, 0, 0, 127};
const uint8_t kClient6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kOther6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

class FileMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1700000000;
    g_serving = -1;
    map_.clock = FakeClock;
    map_.table_size = 280;
    ASSERT_TRUE(map_.StartMap());
    map_.SetServingCallback(FakeServing, nullptr);
  }

  std::string File(const std::string& name, size_t size = 10) {
    const std::string path = home_.dir() + "/" + name;
    std::ofstream(path) << std::string(size, 'x');
    return path;
  }

  struct Added {
    int slot;
    uint64_t dir64, unicode, hash;
    std::string ext;
  };
  Added Add(const std::string& path, bool long_map = false, const uint8_t* addr = kClientA, bool v4 = true) {
    Added a{};
    a.slot = map_.AddItem(path, v4, false, long_map, addr, &a.dir64, &a.unicode, &a.hash, &a.ext);
    return a;
  }
  int Open(const Added& a, const char* ext, const uint8_t* addr = kClientA, bool v4 = true, WL_OpenedItem* out = nullptr) {
    WL_OpenedItem item;
    return map_.OpenItem(a.dir64, a.unicode, a.hash, ext, 3, v4, addr, out ? out : &item);
  }

  zt::TempHome home_{false};
  WL_MapFiles map_;
};

TEST_F(FileMapTest, UrlShapeAndAddFailures) {
  const Added a = Add(File("clip.MP4"));
  ASSERT_GE(a.slot, 0);
  EXPECT_EQ(a.ext, "MP4");
  EXPECT_EQ(static_cast<int>((a.dir64 & 0xFFFF) % 2000), a.slot);
  EXPECT_EQ(a.dir64 >> 56, 0u);  // the first add
  EXPECT_NE(a.hash & 0xFFFFFFFFu, 0u);
  EXPECT_NE(a.hash >> 32, 0u);
  const std::string url = MappedUrl(a.dir64, a.unicode, a.hash, a.ext);
  EXPECT_TRUE(std::regex_match(url, std::regex("[1-9a-f][0-9a-f]*/fx_[0-9a-f]+_[1-9a-f][0-9a-f]*\\.MP4"))) << url;
  // The second add carries the add counter in the top byte.
  const Added b = Add(File("b.bin"));
  EXPECT_EQ(b.dir64 >> 56, 1u);
  EXPECT_EQ((b.dir64 & 0xFFFF), static_cast<uint64_t>(2 * 2000 + b.slot));

  // Extensions that cannot be used leave the URL without one.
  for (const char* name : {"seven.abcdefg", "dash.a-b", "noext", "dot.", "dir.d/plain"}) {
    EXPECT_EQ(MapExtension(home_.dir() + "/" + name), "") << name;
  }
  EXPECT_EQ(MapExtension("/x/a_1.Z9"), "Z9");

  uint64_t d, u, h;
  std::string e;
  EXPECT_EQ(map_.AddItem("", true, false, false, kClientA, &d, &u, &h, &e), kMapBadPath);
  EXPECT_EQ(map_.AddItem(std::string(1280, 'a'), true, false, false, kClientA, &d, &u, &h, &e), kMapBadPath);
  EXPECT_EQ(map_.AddItem(home_.dir() + "/missing", true, false, false, kClientA, &d, &u, &h, &e), kMapNotFound);
  EXPECT_EQ(map_.AddItem(home_.dir(), true, false, false, kClientA, &d, &u, &h, &e), kMapNotFound);  // a directory
  EXPECT_EQ(map_.AddItem(File("empty.txt", 0), true, false, false, kClientA, &d, &u, &h, &e), kMapEmptyFile);
}

TEST_F(FileMapTest, MimeTypesByLevel) {
  struct Case {
    int level;
    const char* ext;
    const char* type;  // "" for none
  } cases[] = {
      {0, "txt", ""},          {1, "TXT", "text/plain"},      {1, "png", ""},
      {2, "JPEG", "image/jpeg"}, {3, "pdf", "application/pdf"}, {4, "mp4", ""},
      {4, "html", "text/html"}, {5, "MP4", "video/mp4"},       {9, "epub", ""},
      {10, "epub", "application/epub+zip"}, {10, "azw", "application/vnd.amazon.ebook"}, {10, "exe", ""},
  };
  for (const Case& c : cases) {
    map_.mime_level = c.level;
    std::string t;
    EXPECT_EQ(map_.MimeType(c.ext, &t), c.type[0] != '\0') << c.level << c.ext;
    EXPECT_EQ(t, c.type) << c.level << " " << c.ext;
  }
}

TEST_F(FileMapTest, OpenChecksOwnerFamilyAndExtension) {
  const Added v4 = Add(File("a.mp4"));
  const Added v6 = Add(File("b.mp4"), false, kClient6, false);
  const Added lng = Add(File("c.mp4"), true);
  const Added plain = Add(File("d.a-b"));
  struct Case {
    const Added* item;
    const char* ext;
    const uint8_t* addr;
    bool v4;
    int expect;  // 0: opens
    const char* mime;
  } cases[] = {
      {&v4, "mp4", kClientA, true, 0, "video/mp4"},
      {&v4, "MP4", kClientA, true, 0, ""},  // another case: the file, no type
      {&v4, "avi", kClientA, true, 0, ""},
      {&v4, nullptr, kClientA, true, -20, ""},
      {&v4, "", kClientA, true, -21, ""},
      {&v4, "mp4", kClientB, true, -14, ""},
      {&v4, "mp4", kClient6, false, -13, ""},
      {&v6, "mp4", kClient6, false, 0, "video/mp4"},
      {&v6, "mp4", kOther6, false, -15, ""},
      {&lng, "mp4", kClientB, true, 0, "video/mp4"},
      {&lng, "mp4", kOther6, false, 0, "video/mp4"},
      {&plain, "anything", kClientA, true, 0, ""},
      {&plain, nullptr, kClientA, true, 0, ""},
  };
  for (const Case& c : cases) {
    WL_OpenedItem out;
    const int r = Open(*c.item, c.ext, c.addr, c.v4, &out);
    if (c.expect == 0) {
      EXPECT_EQ(r, c.item->slot) << (c.ext ? c.ext : "(none)");
      EXPECT_EQ(out.mime, c.mime);
      EXPECT_EQ(out.file_size, 10);
    } else {
      EXPECT_EQ(r, c.expect) << (c.ext ? c.ext : "(none)");
    }
  }
  // Numbers that do not match, and a slot outside the table.
  EXPECT_EQ(map_.OpenItem(v4.dir64, v4.unicode + 1, v4.hash, "mp4", 0, true, kClientA, nullptr), -11);
  EXPECT_EQ(map_.OpenItem((v4.dir64 & ~0xFFFFull) | 1999, v4.unicode, v4.hash, "mp4", 0, true, kClientA, nullptr),
            -101);
  EXPECT_EQ(map_.OpenItem((v4.dir64 & ~0xFFFFull) | 250, v4.unicode, v4.hash, "mp4", 0, true, kClientA, nullptr), -10);
}

TEST_F(FileMapTest, LongMapLimits) {
  const std::string path = File("same.bin");
  EXPECT_GE(Add(path, true).slot, 0);
  EXPECT_EQ(Add(path, true).slot, kMapLongExists);
  // A table of 280 holds at most 71 long maps (280 / 4 + 1).
  for (int i = 1; i < 71; ++i) ASSERT_GE(Add(File(Numbered("l", i)), true).slot, 0) << i;
  EXPECT_EQ(map_.long_count(), 71);
  EXPECT_EQ(Add(File("l71"), true).slot, kMapTooManyLong);
  EXPECT_GE(Add(File("normal")).slot, 0);  // normal maps are not limited by it
  EXPECT_FALSE(map_.FirstLongUrl().empty());
  EXPECT_TRUE(map_.RemoveLongByPath(path));
  EXPECT_FALSE(map_.RemoveLongByPath(path));
  EXPECT_EQ(map_.RemoveAllLong(), 70);
  EXPECT_EQ(map_.long_count(), 0);
  EXPECT_EQ(map_.FirstLongUrl(), "");
}

TEST_F(FileMapTest, FullTableDropsLongMaps) {
  map_.table_size = 64;
  ASSERT_TRUE(map_.StartMap());
  EXPECT_GE(Add(File("long"), true).slot, 0);
  for (int i = 0; i < 63; ++i) ASSERT_GE(Add(File(Numbered("n", i))).slot, 0);
  EXPECT_EQ(Add(File("one-more")).slot, kMapFull);
  EXPECT_EQ(map_.long_count(), 0);
  EXPECT_GE(Add(File("one-more")).slot, 0);  // the next try succeeds
}

// Runs the housekeeping every 30 seconds until the item leaves its slot;
// returns the seconds that passed, or -1 after an hour.
int64_t SecondsUntilRemoved(WL_MapFiles& map, int slot, uint32_t serial) {
  const int64_t start = g_now;
  for (int i = 0; i < 120; ++i) {
    g_now += 30;
    map.MapMaintenance();
    WL_MapItem it;
    map.CopyItem(slot, &it);
    if (!it.in_use || it.serial != serial) return g_now - start;
  }
  return -1;
}

TEST_F(FileMapTest, NormalMapsExpireAfterLastUse) {
  struct Case {
    bool mark;
    int64_t size;
    int64_t low, high;  // seconds after the last serving session ended
  } cases[] = {
      {false, 10, 330, 390},        // about six minutes
      {true, 10, 150, 210},         // about three minutes when marked
      {false, 40 << 20, 570, 630},  // big files stay longer
  };
  int n = 0;
  for (const Case& c : cases) {
    const Added a = Add(File(Numbered("m", n++), static_cast<size_t>(c.size)));
    ASSERT_GE(a.slot, 0);
    ASSERT_EQ(Open(a, "bin"), a.slot);
    WL_MapItem it;
    map_.CopyItem(a.slot, &it);
    // Served for five minutes: nothing happens to it.
    g_serving = 3;
    for (int i = 0; i < 10; ++i) {
      g_now += 30;
      map_.MapMaintenance();
    }
    map_.CopyItem(a.slot, &it);
    ASSERT_TRUE(it.in_use);
    EXPECT_EQ(it.out_times, 0);
    if (c.mark) {
      EXPECT_TRUE(map_.MarkItem(a.slot, a.dir64, a.unicode, a.hash));
    }
    g_serving = -1;
    const int64_t gone = SecondsUntilRemoved(map_, a.slot, it.serial);
    EXPECT_GE(gone, c.low) << n;
    EXPECT_LE(gone, c.high) << n;
  }
  EXPECT_EQ(map_.normal_count(), 0);
}

TEST_F(FileMapTest, UnplayedMapsAndLongMapsExpire) {
  const Added a = Add(File("never-played"));
  WL_MapItem it;
  map_.CopyItem(a.slot, &it);
  const int64_t gone = SecondsUntilRemoved(map_, a.slot, it.serial);
  EXPECT_GE(gone, 90 + 330);
  EXPECT_LE(gone, 90 + 390);

  map_.long_timeout = 3601;
  const Added l = Add(File("long"), true);
  g_now += 3600;
  map_.MapMaintenance();
  EXPECT_EQ(map_.long_count(), 1);
  g_now += 61440;  // the clock-driven long check runs at most every 61440 s
  map_.MapMaintenance();
  EXPECT_EQ(map_.long_count(), 0);
  EXPECT_EQ(l.slot >= 0, true);

  // Housekeeping does nothing once the server stops.
  const Added b = Add(File("kept"));
  map_.SetStopping();
  g_now += 3600;
  for (int i = 0; i < 30; ++i) EXPECT_EQ(map_.MapMaintenance(), 0);
  map_.CopyItem(b.slot, &it);
  EXPECT_TRUE(it.in_use);
}

TEST_F(FileMapTest, MarkByUrlForms) {
  const Added a = Add(File("movie.mp4"));
  const Added lng = Add(File("long.mp4"), true);
  const std::string url = MappedUrl(a.dir64, a.unicode, a.hash, a.ext);
  char hex[64];
  snprintf(hex, sizeof(hex), "%llx/fx_%llx_%llx", static_cast<unsigned long long>(a.dir64),
           static_cast<unsigned long long>(a.unicode), static_cast<unsigned long long>(a.hash));
  const std::string bare(hex);
  struct Case {
    std::string text;
    int expect;  // -1000: the slot
  } cases[] = {
      {"", -1},
      {"nourl", -3},
      {"abc/xx_1_2", -4},
      {"abc/fx_", -5},
      {"zz/fx_1_2", -7},
      {bare.substr(0, bare.find('/')) + "/fx_zz", -8},
      {bare + ".avi", -23},
      {bare + ".mpeg", -22},
      {bare + ".toolongext", -21},
      {bare, -29},
      {MappedUrl(lng.dir64, lng.unicode, lng.hash, lng.ext), -20},
      {MappedUrl(a.dir64, a.unicode, a.hash + 1, a.ext), -12},
      {MappedUrl(a.dir64, a.unicode + 1, a.hash, a.ext), -15},
      {MappedUrl((a.dir64 & ~0xFFFFull) | 270, 1, 2, "mp4"), -11},
      {MappedUrl((a.dir64 & ~0xFFFFull) | 1999, 1, 2, "mp4"), -10},
      {url, -1000},
      {"/" + url, -1000},
      {"http://127.0.0.1:8080/" + url, -1000},
      {"/some/prefix/" + url, -1000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_.MarkByUrl(c.text.c_str()), c.expect == -1000 ? a.slot : c.expect) << c.text;
  }
  WL_MapItem it;
  map_.CopyItem(a.slot, &it);
  EXPECT_EQ(it.marked, 1);
  EXPECT_EQ(map_.MarkByUrl(nullptr), -1);
}

TEST_F(FileMapTest, StatusLines) {
  char buf[1400];
  EXPECT_EQ(std::string(buf, map_.ItemText(300, buf, sizeof(buf))), "200 out of range [max:280]\r\n");
  EXPECT_EQ(std::string(buf, map_.ItemText(5, buf, sizeof(buf))), "200 5 [max:280] item not active\r\n");
  EXPECT_EQ(map_.ItemListLine(5, buf), 0);
  const Added a = Add(File("x.txt"));
  const Added b = Add(File("noext"), true);
  ASSERT_EQ(Open(a, "txt"), a.slot);
  const std::string line(buf, map_.ItemText(a.slot, buf, sizeof(buf)));
  EXPECT_TRUE(std::regex_match(
      line, std::regex("200 0 \\[max:280\\] serial=[0-9a-f]+ ssl=0 ip=4 long map=0 start=\\d+-\\d+-\\d+ \\d+:\\d+:\\d+ "
                       "type=0 sub=0 out-times:0  play-times:1 mark:0 last used=3 time=[-0-9: ]+ filesize=10 "
                       "url=[0-9a-f]+/fx_[0-9a-f]+_[0-9a-f]+\\.txt \r\n")))
      << line;
  const std::string list(buf, map_.ItemListLine(b.slot, buf));
  EXPECT_EQ(list.substr(0, 6), "200-1 ");
  EXPECT_NE(list.find("long map=1"), std::string::npos);
  EXPECT_NE(list.find("last used=-1"), std::string::npos);
  EXPECT_EQ(list.substr(list.size() - 5), ".  \r\n");  // no extension: a blank after the '.'
  map_.StopMap();
  EXPECT_EQ(std::string(buf, map_.ItemText(0, buf, sizeof(buf))), "200 map file not ready.\r\n");
}

TEST_F(FileMapTest, Subtitles) {
  const std::string movie = File("film.mkv", 100);
  File("film.ass", 20);
  File("film.srt", 0);  // empty: not taken
  uint64_t d, u, h;
  std::string ext, sub;
  const int slot = map_.AddItem(movie, true, false, false, kClientA, &d, &u, &h, &ext, true, &sub);
  ASSERT_GE(slot, 0);
  EXPECT_EQ(sub, "ass");
  WL_OpenedItem out;
  EXPECT_EQ(map_.OpenItem(d, u, h, "ass", 1, true, kClientA, &out), slot);
  EXPECT_EQ(out.path, home_.dir() + "/film.ass");
  EXPECT_EQ(out.file_size, 20);
  EXPECT_EQ(map_.OpenItem(d, u, h, "mkv", 1, true, kClientA, &out), slot);
  EXPECT_EQ(out.path, movie);
  EXPECT_EQ(out.file_size, 100);
  char buf[1400];
  EXPECT_NE(std::string(buf, map_.ItemText(slot, buf, sizeof(buf))).find(" sub=1 "), std::string::npos);

  // Not asked for, not a media file, or a long map: no subtitle.
  const std::string doc = File("notes.txt");
  File("notes.srt", 5);
  struct Case {
    std::string path;
    bool want, long_map;
  } none[] = {{movie, false, false}, {doc, true, false}, {movie, true, true}};
  for (const Case& c : none) {
    sub = "x";
    ASSERT_GE(map_.AddItem(c.path, true, false, c.long_map, kClientA, &d, &u, &h, &ext, c.want, &sub), 0);
    EXPECT_EQ(sub, "") << c.path;
  }
}

// URLs drawn in a row are all different, and their random parts show no
// bias in any bit.
TEST_F(FileMapTest, UrlsAreUniqueAndBalanced) {
  map_.table_size = 1024;
  ASSERT_TRUE(map_.StartMap());
  const std::string path = File("p.bin");
  std::set<std::string> urls;
  int ones_unicode[64] = {}, ones_dir[64] = {};
  const int kCount = 10000;
  for (int i = 0; i < kCount; ++i) {
    if (i % 1000 == 999) {
      ASSERT_TRUE(map_.StartMap());  // a fresh table, the counters go on
    }
    const Added a = Add(path);
    ASSERT_GE(a.slot, 0);
    urls.insert(MappedUrl(a.dir64, a.unicode, a.hash, a.ext));
    for (int b = 0; b < 64; ++b) {
      ones_unicode[b] += (a.unicode >> b) & 1;
      ones_dir[b] += (a.dir64 >> b) & 1;
    }
  }
  EXPECT_EQ(urls.size(), static_cast<size_t>(kCount));
  // About half of the draws set each random bit (the expected spread at
  // 10,000 draws is 50 either side of 5,000; 400 is eight times that).
  for (int b = 0; b < 64; ++b) {
    EXPECT_NEAR(ones_unicode[b], kCount / 2, 400) << "unicode bit " << b;
    if (b >= 16 && b < 48) {
      EXPECT_NEAR(ones_dir[b], kCount / 2, 400) << "dir64 bit " << b;
    }
  }
}

}  // namespace
