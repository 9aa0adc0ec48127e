#include "protocol/ServerVersion.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "common/Streams.h"
#include "common/TextCodec.h"
#include "protocol/Commands.h"

namespace zelvo {
namespace {

using namespace std::chrono;

constexpr int64_t kUnitsPerSecond = 10000000;

char16_t FoldAscii(char16_t aChar) {
  return aChar >= u'A' && aChar <= u'Z' ? static_cast<char16_t>(aChar - u'A' + u'a') : aChar;
}

// Names compare as the tree compares them: ASCII letters without case.
bool SameName(std::u16string_view aLeft, std::u16string_view aRight) {
  return std::ranges::equal(aLeft, aRight, {}, FoldAscii, FoldAscii);
}

// Digits only: no sign, so no field of a version can be negative.
bool ReadNumber(std::string_view& aText, int64_t& aValue, char aEnd) {
  const auto FEnd = aText.find(aEnd);
  const std::string_view FDigits = aText.substr(0, FEnd);
  if (FDigits.empty() || FDigits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const auto FResult = std::from_chars(FDigits.data(), FDigits.data() + FDigits.size(), aValue);
  if (FResult.ec != std::errc() || FResult.ptr != FDigits.data() + FDigits.size()) return false;
  aText.remove_prefix(FEnd == std::string_view::npos ? aText.size() : FEnd + 1);
  return true;
}

} // namespace

std::string ConfirmationText(const TServerVersion& aVersion) {
  const int64_t FUnits = FileTimeToInt(aVersion.FWriteTime) - kFileTimeUnixEpoch;
  const int64_t FSeconds =
      floor<seconds>(duration<int64_t, std::ratio<1, kUnitsPerSecond>>(FUnits)).count();
  const sys_days FDay = floor<days>(sys_seconds(seconds(FSeconds)));
  const year_month_day FDate(FDay);
  const hh_mm_ss FTime(seconds(FSeconds) - FDay.time_since_epoch());
  char FText[96];
  std::snprintf(FText, sizeof FText, "OK %lld %04d-%02u-%02u %02lld:%02lld:%02lld.%07lld",
                static_cast<long long>(aVersion.FSize), static_cast<int>(FDate.year()),
                static_cast<unsigned>(FDate.month()), static_cast<unsigned>(FDate.day()),
                static_cast<long long>(FTime.hours().count()),
                static_cast<long long>(FTime.minutes().count()),
                static_cast<long long>(FTime.seconds().count()),
                static_cast<long long>(FUnits - FSeconds * kUnitsPerSecond));
  return FText;
}

std::optional<TServerVersion> ParseConfirmation(std::u16string_view aLine) {
  const std::string FLine = Utf16ToUtf8(aLine);
  std::string_view FText = FLine;
  if (!FText.starts_with("OK ")) return std::nullopt;
  FText.remove_prefix(3);
  int64_t FSize = 0, FYear = 0, FMonth = 0, FDay = 0, FHour = 0, FMinute = 0, FSecond = 0;
  int64_t FFraction = 0;
  if (!ReadNumber(FText, FSize, ' ') || !ReadNumber(FText, FYear, '-') ||
      !ReadNumber(FText, FMonth, '-') || !ReadNumber(FText, FDay, ' ') ||
      !ReadNumber(FText, FHour, ':') || !ReadNumber(FText, FMinute, ':') ||
      !ReadNumber(FText, FSecond, '.') || FText.size() != 7 || !ReadNumber(FText, FFraction, ' '))
    return std::nullopt;
  // The years a file time and its text can both hold.
  if (FYear < 1601 || FYear > 9999 || FMonth > 12 || FDay > 31) return std::nullopt;
  const year_month_day FDate{year(static_cast<int>(FYear)), month(static_cast<unsigned>(FMonth)),
                             day(static_cast<unsigned>(FDay))};
  if (!FDate.ok() || FHour > 23 || FMinute > 59 || FSecond > 60) return std::nullopt;
  const int64_t FSeconds =
      sys_days(FDate).time_since_epoch() / seconds(1) + FHour * 3600 + FMinute * 60 + FSecond;
  return TServerVersion{
      FSize, FileTimeFromInt(kFileTimeUnixEpoch + FSeconds * kUnitsPerSecond + FFraction)};
}

bool AskServerVersion(TYunClient& aClient, const std::u16string& aFullName, bool aExact,
                      std::optional<TServerVersion>& aVersion) {
  const auto FSlash = aFullName.rfind(u'\\');
  if (FSlash == std::u16string::npos) return false;
  const std::u16string_view FName = std::u16string_view(aFullName).substr(FSlash + 1);
  TMemoryStream FRecords;
  // An older server is asked for the whole folder (what comes before the last "\").
  const std::u16string FRequest =
      aExact ? EntryRequest(aFullName) : ListRequest(aFullName.substr(0, FSlash));
  if (!aClient.ReceiveListing(FRequest, FRecords)) return false;
  aVersion.reset();
  const std::string& FData = FRecords.Text();
  for (size_t FAt = 0; FAt + kFindDataSize <= FData.size(); FAt += kFindDataSize) {
    const auto FRecord = DecodeFindData(reinterpret_cast<const uint8_t*>(FData.data()) + FAt);
    if (FRecord.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!SameName(FieldText(FRecord.cFileName), FName)) continue;
    aVersion = TServerVersion{
        static_cast<int64_t>(uint64_t{FRecord.nFileSizeHigh} << 32 | FRecord.nFileSizeLow),
        FRecord.ftLastWriteTime};
    // The exact name wins over one that differs in case only.
    if (FieldText(FRecord.cFileName) == FName) break;
  }
  return true;
}

} // namespace zelvo
