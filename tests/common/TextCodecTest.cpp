#include <gtest/gtest.h>

#include "common/TextCodec.h"

namespace zelvo {
namespace {

TEST(TextCodecTest, Utf8RoundTrip) {
  const std::u16string FText = u"班级 张三 a.txt \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(FText)), FText);
  EXPECT_EQ(Utf16ToUtf8(u"张三"), "\xE5\xBC\xA0\xE4\xB8\x89");
  EXPECT_EQ(Utf16ToUtf8(u""), "");
}

// Malformed input is replaced, never dropped or passed through, so it can be detected.
TEST(TextCodecTest, MalformedInputBecomesReplacementCharacter) {
  const std::u16string FLoneLead = {u'a', char16_t(0xD800), u'b'};
  const std::u16string FLoneTrail = {char16_t(0xDC00)};
  EXPECT_EQ(Utf16ToUtf8(FLoneLead), "a\xEF\xBF\xBD"
                                    "b");
  EXPECT_EQ(Utf16ToUtf8(FLoneTrail), "\xEF\xBF\xBD");
  EXPECT_FALSE(IsWellFormedUtf16(FLoneLead));
  EXPECT_FALSE(IsWellFormedUtf16(FLoneTrail));
  EXPECT_TRUE(IsWellFormedUtf16(u"\U0001F600x"));

  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");           // overlong "/"
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // encoded surrogate
  EXPECT_FALSE(IsValidUtf8("a\xFF"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(IsValidUtf8("\xE5\xBC")); // cut short
  EXPECT_TRUE(IsValidUtf8("\xE5\xBC\xA0"));
  EXPECT_TRUE(IsValidUtf8(""));
}

TEST(TextCodecTest, AnsiIsGb18030) {
  EXPECT_EQ(AnsiToUtf16("\xD6\xD0\xCE\xC4"), u"中文");
  EXPECT_EQ(Utf16ToAnsi(u"中文"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(AnsiToUtf16("abc"), u"abc");
  EXPECT_EQ(AnsiToUtf16(Utf16ToAnsi(u"\U0001F600")), u"\U0001F600");
}

} // namespace
} // namespace zelvo
