#include <gtest/gtest.h>

#include "common/DateTimeText.h"

namespace zelvo {
namespace {

SYSTEMTIME Time(int aYear, int aMonth, int aDay, int aDayOfWeek, int aHour = 0, int aMinute = 0,
                int aSecond = 0, int aMillis = 0) {
  SYSTEMTIME FTime;
  FTime.wYear = static_cast<uint16_t>(aYear);
  FTime.wMonth = static_cast<uint16_t>(aMonth);
  FTime.wDay = static_cast<uint16_t>(aDay);
  FTime.wDayOfWeek = static_cast<uint16_t>(aDayOfWeek);
  FTime.wHour = static_cast<uint16_t>(aHour);
  FTime.wMinute = static_cast<uint16_t>(aMinute);
  FTime.wSecond = static_cast<uint16_t>(aSecond);
  FTime.wMilliseconds = static_cast<uint16_t>(aMillis);
  return FTime;
}

TEST(DateTimeTextTest, ReadsYearFirstDatesAndTimes) {
  const std::pair<std::u16string, SYSTEMTIME> FCases[] = {
      {u"2019-05-21 08:30:00.000", Time(2019, 5, 21, 2, 8, 30)},
      {u"2026-12-10 23:59:58.123", Time(2026, 12, 10, 4, 23, 59, 58, 123)},
      {u"2019-05-21", Time(2019, 5, 21, 2)},
      {u"  2019 - 5 - 21   8 : 30", Time(2019, 5, 21, 2, 8, 30)},
      {u"time: 2019-05-21T08:30:05", Time(2019, 5, 21, 2, 8, 30, 5)},
      {u"05-21 08:30", Time(2026, 5, 21, 4, 8, 30)},
      {u"19-05-21", Time(2019, 5, 21, 2)},
      {u"80-01-02", Time(1980, 1, 2, 3)},
      {u"2019-05-21 8:30 PM", Time(2019, 5, 21, 2, 20, 30)},
      {u"2019-05-21 AM 12:05", Time(2019, 5, 21, 2, 0, 5)},
      {u"2019-05-21 下午 3:00", Time(2019, 5, 21, 2, 15, 0)},
      {u"2024-02-29 00:00:00.000 trailing words", Time(2024, 2, 29, 4)},
  };
  for (const auto& [FText, FTime] : FCases)
    EXPECT_EQ(ReadDateTimeText(FText, 2026), FTime) << std::string(FText.begin(), FText.end());
}

TEST(DateTimeTextTest, RejectsWhatIsNotADateAndTime) {
  for (const std::u16string FText :
       {u"", u"2019", u"2019-13-01", u"2023-02-29", u"2019-05-21 24:00", u"2019-05-21 8:61",
        u"2019-05-21 13:00 PM", u"20190521", u"no digits", u"2019-05-21 08:"}) {
    try {
      ReadDateTimeText(FText, 2026);
      ADD_FAILURE() << std::string(FText.begin(), FText.end());
    } catch (const EConvertError& aError) {
      EXPECT_EQ(aError.what(),
                "'" + std::string(FText.begin(), FText.end()) + "' is not a valid date and time");
    }
  }
}

} // namespace
} // namespace zelvo
