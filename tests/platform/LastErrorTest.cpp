#include <gtest/gtest.h>
#include <thread>

#include "platform/LastError.h"
#include "platform/Locale.h"

namespace zelvo {
namespace {

TEST(LastErrorTest, EachThreadHasItsOwnSlot) {
  SetLastError(183);
  uint32_t FOther = 1;
  std::thread([&] {
    FOther = GetLastError();
    SetLastError(5);
  }).join();
  EXPECT_EQ(FOther, 0u);
  EXPECT_EQ(GetLastError(), 183u);
}

// Comparisons that ignore case do so in every locale, the POSIX one included.
TEST(LocaleTest, CaseInsensitiveComparisonAndSorting) {
  EXPECT_EQ(CompareTextLocale(u"abc", u"ABC"), 0);
  EXPECT_LT(CompareTextLocale(u"a", u"B"), 0);
  std::vector<std::u16string> FTexts{u"b", u"A", u"C", u"a"};
  SortTextLocale(FTexts);
  EXPECT_EQ(FTexts, (std::vector<std::u16string>{u"A", u"a", u"b", u"C"}));
  EXPECT_EQ(LowerCaseLocale(u"ÄB.ZIP"), u"äb.zip");
}

} // namespace
} // namespace zelvo
