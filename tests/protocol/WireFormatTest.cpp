#include <gtest/gtest.h>

#include "protocol/WireFormat.h"

namespace zelvo {
namespace {

TEST(WireFormatTest, RequestLineAndCounts) {
  EXPECT_EQ(EncodeRequestLine(u"GLIST"), "GLIST\r\n");
  EXPECT_EQ(EncodeRequestLine(u"ULIST 一班"), "ULIST \xE4\xB8\x80\xE7\x8F\xAD\r\n");
  EXPECT_EQ(EncodeBlockCount(5), (std::array<uint8_t, 4>{0, 0, 0, 5}));
  EXPECT_EQ(EncodeBlockCount(-1), (std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(DecodeBlockCount({0x7F, 0xFF, 0xFF, 0xFF}), 0x7FFFFFFF);
  EXPECT_EQ(DecodeBlockCount({0xFF, 0xFF, 0xFF, 0xFF}), -1);
  EXPECT_EQ(DecodeListingCount({0x50, 0x02, 0, 0}), 592);
  EXPECT_LT(DecodeListingCount({0, 0, 0, 0x80}), 0);
}

struct TLinesCase {
  std::u16string FText;
  TStringList FLines;
};

TEST(WireFormatTest, LineSplitting) {
  const TLinesCase FCases[] = {
      {u"a\r\n\r\nb", {u"a", u"", u"b"}},
      {u"a\r\n", {u"a"}},
      {u"a\rb\nc", {u"a", u"b", u"c"}},
      {u"a\n\r", {u"a", u""}},
      {u"\r\n", {u""}},
      {u"", {}},
      {u"x\n\n", {u"x", u""}},
  };
  for (const auto& FCase : FCases)
    EXPECT_EQ(SplitTextLines(FCase.FText), FCase.FLines);
}

struct TDecodeCase {
  std::string FData;
  std::u16string FText;
};

TEST(WireFormatTest, TextReplyDecoding) {
  const TDecodeCase FCases[] = {
      {"\xEF\xBB\xBF\xE4\xB8\x80\xE7\x8F\xAD", u"一班"},
      {std::string("\xFF\xFE\x00\x4E\x61\x00", 6), u"一a"},
      {std::string("\xFE\xFF\x4E\x00\x00\x61", 6), u"一a"},
      {"\xD2\xBB\xB0\xE0", u"一班"}, // no mark: GB18030
      {std::string("ab\0cd", 5), u"ab"},
      {std::string("\xFF\xFE"
                   "a\0\0\0b\0",
                   8),
       u"a"},
      {"", u""},
  };
  for (const auto& FCase : FCases)
    EXPECT_EQ(DecodeTextReply(FCase.FData), FCase.FText);
}

} // namespace
} // namespace zelvo
