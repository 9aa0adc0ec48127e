#include "platform/PrivateProfile.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unistd.h>
#include <vector>

#include "common/TextCodec.h"

namespace zelvo {
namespace {

constexpr std::u16string_view kBlanks = u" \t";

std::u16string_view Trim(std::u16string_view aText) {
  const auto FFirst = aText.find_first_not_of(kBlanks);
  if (FFirst == std::u16string_view::npos) return {};
  const auto FLast = aText.find_last_not_of(kBlanks);
  return aText.substr(FFirst, FLast - FFirst + 1);
}

bool SameName(std::u16string_view aLeft, std::u16string_view aRight) {
  // ICU refuses an empty view (no data pointer) with an error and a result of 0, "equal": an
  // empty name ("[]", "=value") would match every section or key.
  if (aLeft.empty() || aRight.empty()) return aLeft.empty() && aRight.empty();
  UErrorCode FStatus = U_ZERO_ERROR;
  const int32_t FOrder =
      u_strCaseCompare(aLeft.data(), static_cast<int32_t>(aLeft.size()), aRight.data(),
                       static_cast<int32_t>(aRight.size()), U_FOLD_CASE_DEFAULT, &FStatus);
  return U_SUCCESS(FStatus) && FOrder == 0;
}

struct TIniLines {
  std::vector<std::u16string> FLines;
  bool FCrLf = false;
  bool FBom = false; // written back, so the lines read the same afterwards
};

std::optional<TIniLines> LoadLines(const std::u16string& aFileName) {
  std::ifstream FFile(Utf16ToUtf8(aFileName), std::ios::binary);
  if (!FFile) return std::nullopt;
  std::stringstream FBuffer;
  FBuffer << FFile.rdbuf();
  std::string FText = FBuffer.str();
  TIniLines FResult;
  if (FText.starts_with("\xEF\xBB\xBF")) {
    FText.erase(0, 3);
    FResult.FBom = true;
  }
  std::istringstream FInput(FText);
  for (std::string FLine; std::getline(FInput, FLine);) {
    if (!FLine.empty() && FLine.back() == '\r') {
      FLine.pop_back();
      FResult.FCrLf = true;
    }
    FResult.FLines.push_back(Utf8ToUtf16(FLine));
  }
  return FResult;
}

std::optional<std::u16string_view> SectionName(std::u16string_view aLine) {
  const auto FLine = Trim(aLine);
  if (FLine.empty() || FLine.front() != u'[') return std::nullopt;
  const auto FClose = FLine.find(u']');
  if (FClose == std::u16string_view::npos) return std::nullopt;
  return Trim(FLine.substr(1, FClose - 1));
}

// Where a section's lines are: [FBegin, FEnd) after its header; FBegin is npos when absent.
struct TSectionSpan {
  size_t FBegin = std::u16string::npos;
  size_t FEnd = 0;
};

TSectionSpan FindSection(const std::vector<std::u16string>& aLines, std::u16string_view aAppName) {
  TSectionSpan FSpan;
  for (size_t i = 0; i < aLines.size(); ++i) {
    const auto FName = SectionName(aLines[i]);
    if (!FName) continue;
    if (FSpan.FBegin != std::u16string::npos) {
      FSpan.FEnd = i;
      return FSpan;
    }
    if (SameName(*FName, aAppName)) FSpan.FBegin = i + 1;
  }
  FSpan.FEnd = aLines.size();
  return FSpan;
}

std::optional<size_t> FindKey(const std::vector<std::u16string>& aLines, TSectionSpan aSpan,
                              std::u16string_view aKeyName) {
  for (size_t i = aSpan.FBegin; i < aSpan.FEnd; ++i) {
    const std::u16string_view FLine = aLines[i];
    const auto FEquals = FLine.find(u'=');
    if (FEquals != std::u16string_view::npos && SameName(Trim(FLine.substr(0, FEquals)), aKeyName))
      return i;
  }
  return std::nullopt;
}

std::u16string_view Unquote(std::u16string_view aValue) {
  if (aValue.size() >= 2 && (aValue.front() == u'"' || aValue.front() == u'\'') &&
      aValue.back() == aValue.front())
    return aValue.substr(1, aValue.size() - 2);
  return aValue;
}

uint32_t CopyOut(std::u16string_view aValue, std::u16string& aReturned, uint32_t aSize) {
  aReturned.assign(aValue.substr(0, aSize == 0 ? 0 : aSize - 1));
  return static_cast<uint32_t>(aReturned.size());
}

bool SaveLines(const TIniLines& aIni, const std::u16string& aFileName) {
  const std::string FTarget = Utf16ToUtf8(aFileName);
  const std::string FTemp = FTarget + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream FFile(FTemp, std::ios::binary | std::ios::trunc);
    if (!FFile) return false;
    if (aIni.FBom) FFile << "\xEF\xBB\xBF";
    for (const auto& FLine : aIni.FLines)
      FFile << Utf16ToUtf8(FLine) << (aIni.FCrLf ? "\r\n" : "\n");
    FFile.flush();
    if (!FFile) {
      std::remove(FTemp.c_str());
      return false;
    }
  }
  if (std::rename(FTemp.c_str(), FTarget.c_str()) != 0) {
    std::remove(FTemp.c_str());
    return false;
  }
  return true;
}

} // namespace

uint32_t GetPrivateProfileStringW(const std::u16string& aAppName, const std::u16string& aKeyName,
                                  const std::u16string& aDefault, std::u16string& aReturned,
                                  uint32_t aSize, const std::u16string& aFileName) {
  const auto FDefault = std::u16string_view(aDefault);
  const auto FTrimmedDefault = FDefault.substr(0, FDefault.find_last_not_of(kBlanks) + 1);
  const auto FIni = LoadLines(aFileName);
  if (!FIni) return CopyOut(FTrimmedDefault, aReturned, aSize);
  const auto FSpan = FindSection(FIni->FLines, aAppName);
  if (FSpan.FBegin == std::u16string::npos) return CopyOut(FTrimmedDefault, aReturned, aSize);
  const auto FKey = FindKey(FIni->FLines, FSpan, aKeyName);
  if (!FKey) return CopyOut(FTrimmedDefault, aReturned, aSize);
  const std::u16string_view FLine = FIni->FLines[*FKey];
  return CopyOut(Unquote(Trim(FLine.substr(FLine.find(u'=') + 1))), aReturned, aSize);
}

bool WritePrivateProfileStringW(const std::u16string& aAppName, const std::u16string& aKeyName,
                                const std::u16string& aString, const std::u16string& aFileName) {
  TIniLines FIni = LoadLines(aFileName).value_or(TIniLines{});
  const std::u16string FEntry = aKeyName + u"=" + aString;
  const auto FSpan = FindSection(FIni.FLines, aAppName);
  if (FSpan.FBegin == std::u16string::npos) {
    FIni.FLines.push_back(u"[" + aAppName + u"]");
    FIni.FLines.push_back(FEntry);
  } else if (const auto FKey = FindKey(FIni.FLines, FSpan, aKeyName)) {
    FIni.FLines[*FKey] = FEntry;
  } else {
    // After the section's last non-blank line, so a blank separator line stays in place.
    size_t FAt = FSpan.FEnd;
    while (FAt > FSpan.FBegin && Trim(FIni.FLines[FAt - 1]).empty())
      --FAt;
    FIni.FLines.insert(FIni.FLines.begin() + static_cast<std::ptrdiff_t>(FAt), FEntry);
  }
  return SaveLines(FIni, aFileName);
}

} // namespace zelvo
