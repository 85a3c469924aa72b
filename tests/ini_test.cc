#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/ini_rw.h"
#include "harness.h"

namespace {

class IniTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return path_;
  }
  std::string ReadBack() {
    std::ifstream f(path_, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  zt::TempHome home_;
  std::string path_ = home_.dir() + "/t.ini";
};

TEST_F(IniTest, LookupRules) {
  WL_IniRW ini;
  ASSERT_TRUE(ini.Open(Write("[Sec]\r\nKey=first\r\nKEY=second\r\nspaced =x\r\n"
                             "; comment=1\r\n  indented=  v  \r\n[Sec]\r\nlater=1\r\n[Other]\r\nKey=other\r\n")));
  const char* v = ini.GetValue("sEC", "kEy");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "first");
  EXPECT_EQ(ini.GetValue("Sec", "spaced"), nullptr);
  ASSERT_NE(ini.GetValue("Sec", "spaced "), nullptr);
  EXPECT_STREQ(ini.GetValue("Sec", "spaced "), "x");
  // Leading white space of the line is dropped, that of the value kept,
  // trailing white space trimmed.
  EXPECT_STREQ(ini.GetValue("Sec", "indented"), "  v");
  EXPECT_EQ(ini.GetValue("Sec", "; comment"), nullptr);
  // A second header of the same name is never searched.
  EXPECT_EQ(ini.GetValue("Sec", "later"), nullptr);
  EXPECT_STREQ(ini.GetValue("Other", "Key"), "other");
  EXPECT_EQ(ini.GetValue("", "Key"), nullptr);
  EXPECT_EQ(ini.GetValue("Sec", ""), nullptr);
  EXPECT_EQ(ini.GetValue("Missing", "Key"), nullptr);
}

TEST_F(IniTest, LongLinesByteOrderMarkAndTrailingBlanks) {
  std::string long_value(3990, 'v');
  WL_IniRW ini;
  ASSERT_TRUE(ini.Open(Write("\xEF\xBB\xBF[Bom]\r\na=1\r\n[Long]\r\nk=" + long_value + "\r\n\r\n\r\n\r\n")));
  // The mark stays in the first line, so that header is not recognised.
  EXPECT_EQ(ini.GetValue("Bom", "a"), nullptr);
  // 4000 bytes become two table lines; trailing blank lines are dropped.
  ASSERT_EQ(ini.LineCount(), 5u);
  EXPECT_EQ(ini.LineText(3).size(), 3599u);
  EXPECT_EQ(ini.LineText(4).size(), 2u + 3990u - 3599u);
}

TEST_F(IniTest, SetValueOnMissingFileWritesCrLf) {
  WL_IniRW ini;
  EXPECT_FALSE(ini.Open(path_));
  ASSERT_TRUE(ini.SetValue("Mail", "Last", "1"));
  ASSERT_TRUE(ini.SetValue("Mail", "Next", nullptr));
  ASSERT_TRUE(ini.Save());
  // Keys added to the last section appear under the header in reverse order.
  EXPECT_EQ(ReadBack(), "[Mail]\r\nNext=\r\nLast=1\r\n");
}

TEST_F(IniTest, SetValueKeepsTheBlankThatClosesASection) {
  {
    WL_IniRW ini;
    ASSERT_TRUE(ini.Open(Write("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n")));
    ASSERT_TRUE(ini.SetValue("a", "z", "3"));
    ASSERT_TRUE(ini.SetValue("B", "Y", "4"));
    // Close saves a dirty table.
  }
  EXPECT_EQ(ReadBack(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\nY=4\r\n");
}

TEST_F(IniTest, SaveReportsAFileThatCannotBeCreated) {
  WL_IniRW ini;
  ini.Open(home_.dir() + "/no/such/dir/t.ini");
  ASSERT_TRUE(ini.SetValue("S", "k", "v"));
  EXPECT_FALSE(ini.Save());
}

}  // namespace
