#include "common/DateTimeText.h"

#include <array>
#include <optional>

#include "common/TextCodec.h"

namespace zelvo {
namespace {

constexpr int kCenturyWindow = 50;

bool IsDigit(char16_t aChar) {
  return aChar >= u'0' && aChar <= u'9';
}

class TScanner {
public:
  explicit TScanner(std::u16string_view aText) : FText(aText) {}

  void SkipBlanks() {
    while (FAt < FText.size() && FText[FAt] == u' ')
      ++FAt;
  }
  bool SkipTo(char16_t aSeparator) {
    SkipBlanks();
    if (FAt >= FText.size() || FText[FAt] != aSeparator) return false;
    ++FAt;
    return true;
  }
  // A number; aDigits counts its digits. None when no digit stands here.
  std::optional<int> Number(int& aDigits) {
    SkipBlanks();
    int FValue = 0;
    aDigits = 0;
    while (FAt < FText.size() && IsDigit(FText[FAt]) && FValue < 1000) {
      FValue = FValue * 10 + (FText[FAt++] - u'0');
      ++aDigits;
    }
    return aDigits > 0 ? std::optional<int>(FValue) : std::nullopt;
  }
  std::optional<int> Number() {
    int FDigits = 0;
    return Number(FDigits);
  }
  // Skips to the next digit; reports an AM/PM marker met on the way (0 none, 1 AM, 2 PM).
  int SkipToDigit() {
    int FMarker = 0;
    while (FAt < FText.size() && !IsDigit(FText[FAt])) {
      if (const int FFound = MarkerHere()) FMarker = FFound;
      ++FAt;
    }
    return FMarker;
  }
  int MarkerHere() const {
    const std::u16string_view FRest = FText.substr(FAt);
    const auto FStarts = [&](std::u16string_view aUpper, std::u16string_view aLower) {
      return FRest.substr(0, aUpper.size()) == aUpper || FRest.substr(0, aLower.size()) == aLower;
    };
    if (FStarts(u"AM", u"am") || FRest.starts_with(u"上午")) return 1;
    if (FStarts(u"PM", u"pm") || FRest.starts_with(u"下午")) return 2;
    return 0;
  }
  bool AtEnd() const { return FAt >= FText.size(); }

private:
  std::u16string_view FText;
  size_t FAt = 0;
};

bool IsLeapYear(int aYear) {
  return (aYear % 4 == 0 && aYear % 100 != 0) || aYear % 400 == 0;
}

int DaysInMonth(int aYear, int aMonth) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return aMonth == 2 && IsLeapYear(aYear) ? 29 : kDays[aMonth - 1];
}

// 0 = Sunday (Zeller's congruence, Gregorian).
int DayOfWeek(int aYear, int aMonth, int aDay) {
  if (aMonth < 3) {
    aMonth += 12;
    --aYear;
  }
  const int FCentury = aYear / 100;
  const int FYear = aYear % 100;
  const int FDay =
      (aDay + 13 * (aMonth + 1) / 5 + FYear + FYear / 4 + FCentury / 4 + 5 * FCentury) % 7;
  return (FDay + 6) % 7;
}

int WindowedYear(int aYear, int aCurrentYear) {
  const int FBase = aCurrentYear - kCenturyWindow;
  int FYear = aYear + FBase / 100 * 100;
  if (FYear < FBase) FYear += 100;
  return FYear;
}

} // namespace

SYSTEMTIME ReadDateTimeText(std::u16string_view aText, int aCurrentYear) {
  const auto FInvalid = [&] {
    return EConvertError("'" + Utf16ToUtf8(aText) + "' is not a valid date and time");
  };
  TScanner FScan(aText);
  FScan.SkipToDigit();
  int FYearDigits = 0;
  const auto FFirst = FScan.Number(FYearDigits);
  if (!FFirst || !FScan.SkipTo(u'-')) throw FInvalid();
  const auto FSecond = FScan.Number();
  if (!FSecond) throw FInvalid();
  std::optional<int> FThird;
  if (FScan.SkipTo(u'-') && !(FThird = FScan.Number())) throw FInvalid();
  int FYear = FThird ? *FFirst : aCurrentYear;
  if (FThird && FYearDigits <= 2) FYear = WindowedYear(FYear, aCurrentYear);
  const int FMonth = FThird ? *FSecond : *FFirst;
  const int FDay = FThird ? *FThird : *FSecond;

  int FHour = 0, FMinute = 0, FSecondOfMinute = 0, FMillis = 0;
  int FMarker = FScan.SkipToDigit();
  if (!FScan.AtEnd()) {
    FHour = *FScan.Number();
    if (FScan.SkipTo(u':')) {
      const auto FMinutes = FScan.Number();
      if (!FMinutes) throw FInvalid();
      FMinute = *FMinutes;
      if (FScan.SkipTo(u':')) {
        const auto FSeconds = FScan.Number();
        if (!FSeconds) throw FInvalid();
        FSecondOfMinute = *FSeconds;
        if (FScan.SkipTo(u'.')) {
          const auto FMs = FScan.Number();
          if (!FMs) throw FInvalid();
          FMillis = *FMs;
        }
      }
    }
    FScan.SkipBlanks();
    if (const int FAfter = FScan.MarkerHere()) FMarker = FAfter;
  }
  if (FMarker != 0) {
    if (FHour < 1 || FHour > 12) throw FInvalid();
    FHour = FHour % 12 + (FMarker == 2 ? 12 : 0);
  }
  if (FYear < 1 || FYear > 9999 || FMonth < 1 || FMonth > 12 || FDay < 1 ||
      FDay > DaysInMonth(FYear, FMonth) || FHour > 23 || FMinute > 59 || FSecondOfMinute > 59 ||
      FMillis > 999)
    throw FInvalid();
  SYSTEMTIME FTime;
  FTime.wYear = static_cast<uint16_t>(FYear);
  FTime.wMonth = static_cast<uint16_t>(FMonth);
  FTime.wDay = static_cast<uint16_t>(FDay);
  FTime.wDayOfWeek = static_cast<uint16_t>(DayOfWeek(FYear, FMonth, FDay));
  FTime.wHour = static_cast<uint16_t>(FHour);
  FTime.wMinute = static_cast<uint16_t>(FMinute);
  FTime.wSecond = static_cast<uint16_t>(FSecondOfMinute);
  FTime.wMilliseconds = static_cast<uint16_t>(FMillis);
  return FTime;
}

} // namespace zelvo
