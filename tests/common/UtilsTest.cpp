#include <gtest/gtest.h>

#include "common/Globals.h"
#include "common/Utils.h"

namespace zelvo {
namespace {

struct TSplitCase {
  std::u16string FText;
  char16_t FChar;
  std::u16string FBefore;
  std::u16string FLeft;
  std::u16string FRight;
};

TEST(UtilsTest, TextBeforeAndSplitText) {
  const TSplitCase FCases[] = {
      {u"一班(127.0.0.1)", u'(', u"一班", u"一班", u"127.0.0.1)"},
      {u"A(1)(H)", u'(', u"A", u"A", u"1)(H)"},
      {u"noparen", u'(', u"noparen", u"noparen", u""},
      {u"(host)", u'(', u"", u"", u"host)"},
      {u"", u'(', u"", u"", u""},
      {u"\\a\\b|\\c\\d|1", u'|', u"\\a\\b", u"\\a\\b", u"\\c\\d|1"},
      {u"trailing|", u'|', u"trailing", u"trailing", u""},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(std::string(FCase.FText.begin(), FCase.FText.end()));
    EXPECT_EQ(TextBefore(FCase.FText, FCase.FChar), FCase.FBefore);
    const auto [FLeft, FRight] = SplitText(FCase.FText, FCase.FChar);
    EXPECT_EQ(FLeft, FCase.FLeft);
    EXPECT_EQ(FRight, FCase.FRight);
  }
}

TEST(UtilsTest, HomeDirAlwaysEndsInSlash) {
  EXPECT_EQ(HomeDirFromExePath(u"/opt/zelvo/zelvo"), u"/opt/zelvo/");
  EXPECT_EQ(HomeDirFromExePath(u"/zelvo"), u"/");
  EXPECT_EQ(HomeDirFromExePath(u"zelvo"), u"/");
  EXPECT_EQ(HomeDirFromExePath(u"/opt/云盘/zelvo"), u"/opt/云盘/");
}

TEST(UtilsTest, InitHomeDirFindsTheRunningExecutable) {
  InitHomeDir();
  ASSERT_FALSE(HomeDir.empty());
  EXPECT_EQ(HomeDir.back(), u'/');
  EXPECT_EQ(HomeDir.front(), u'/');
}

} // namespace
} // namespace zelvo
