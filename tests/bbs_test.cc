// The bulletin board's rings, limits and text.
#include <gtest/gtest.h>

#include <string>

#include "bbs/bbs_board.h"

namespace {

// One message line of the board text.
std::string Line(const std::string& message) {
  std::string s("200-");
  s += message;
  s += "\r\n";
  return s;
}

constexpr const char kSeparator[] = "200-========\r\n";
constexpr const char kEnd[] = "200 .\r\n";

std::string Text(WL_BBSBoard& b) {
  char out[WL_BBSBoard::kTextRoom];
  const int n = b.BoardText(out, sizeof(out));
  return n > 0 ? std::string(out, static_cast<size_t>(n)) : std::string();
}

TEST(BbsBoard, EmptyBoardIsTheSeparatorAndTheEnd) {
  WL_BBSBoard b;
  ASSERT_TRUE(b.Prepare());
  EXPECT_EQ(Text(b), "200-========\r\n200 .\r\n");
}

TEST(BbsBoard, SeventhMessageOverwritesTheOldestOfItsRingOnly) {
  WL_BBSBoard b;
  ASSERT_TRUE(b.Prepare());
  ASSERT_TRUE(b.Post(true, "admin says"));
  const char* const users[] = {"user 1", "user 2", "user 3", "user 4", "user 5", "user 6", "user 7"};
  for (const char* u : users) ASSERT_TRUE(b.Post(false, u));
  EXPECT_EQ(Text(b),
            "200-admin says\r\n200-========\r\n200-user 2\r\n200-user 3\r\n200-user 4\r\n200-user 5\r\n"
            "200-user 6\r\n200-user 7\r\n200 .\r\n");
  // The admin ring wraps the same way, above the separator.
  for (const char* a : {"a1", "a2", "a3", "a4", "a5", "a6"}) ASSERT_TRUE(b.Post(true, a));
  EXPECT_EQ(Text(b).substr(0, 62), "200-a1\r\n200-a2\r\n200-a3\r\n200-a4\r\n200-a5\r\n200-a6\r\n200-========\r\n");
}

TEST(BbsBoard, MessageLengthLimits) {
  struct Case {
    size_t length;
    bool stored;
  } cases[] = {{1, true}, {119, true}, {120, false}, {0, false}};
  for (const Case& c : cases) {
    WL_BBSBoard b;
    ASSERT_TRUE(b.Prepare());
    const std::string msg(c.length, 'm');
    EXPECT_EQ(b.Post(false, msg), c.stored) << c.length;
    std::string want = kSeparator;
    if (c.stored) want += Line(msg);
    want += kEnd;
    EXPECT_EQ(Text(b), want) << c.length;
  }
}

TEST(BbsBoard, ClearEmptiesBothRingsAndRestartsThem) {
  WL_BBSBoard b;
  ASSERT_TRUE(b.Prepare());
  for (int i = 0; i < 4; ++i) {
    b.Post(true, "x");
    b.Post(false, "y");
  }
  b.Clear();
  EXPECT_EQ(Text(b), "200-========\r\n200 .\r\n");
  b.Post(false, "first");
  b.Post(false, "second");
  EXPECT_EQ(Text(b), "200-========\r\n200-first\r\n200-second\r\n200 .\r\n");
}

TEST(BbsBoard, NothingIsStoredUnlessPreparedAndAfterRelease) {
  WL_BBSBoard b;
  EXPECT_FALSE(b.ready());
  EXPECT_FALSE(b.Post(false, "early"));
  ASSERT_TRUE(b.Prepare());
  ASSERT_TRUE(b.Post(false, "kept"));
  b.Release();
  EXPECT_FALSE(b.ready());
  EXPECT_FALSE(b.Post(false, "late"));
  // A new start begins with an empty board.
  ASSERT_TRUE(b.Prepare());
  EXPECT_EQ(Text(b), "200-========\r\n200 .\r\n");
}

TEST(BbsBoard, FullBoardFitsAndASmallRoomStopsTheWalk) {
  WL_BBSBoard b;
  ASSERT_TRUE(b.Prepare());
  const std::string longest(119, 'z');
  for (int i = 0; i < 6; ++i) {
    b.Post(true, longest);
    b.Post(false, longest);
  }
  // Twelve lines of 125 characters, the separator and the end.
  EXPECT_EQ(Text(b).size(), 12u * 125u + 14u + 7u);
  // Fewer than 140 characters left: no further message line.
  char out[200];
  const int n = b.BoardText(out, sizeof(out));
  std::string want = Line(longest);
  want += kSeparator;
  want += kEnd;
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), want);
}

}  // namespace
