#include "common/TextCodec.h"

#include <memory>
#include <stdexcept>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace zelvo {
namespace {

constexpr UChar32 kReplacement = 0xFFFD;

struct TConverterCloser {
  void operator()(UConverter* aConverter) const { ucnv_close(aConverter); }
};
using TConverterPtr = std::unique_ptr<UConverter, TConverterCloser>;

// One converter per thread: ICU converters carry state and are not shareable.
UConverter* AnsiConverter() {
  thread_local TConverterPtr FConverter = [] {
    UErrorCode FStatus = U_ZERO_ERROR;
    TConverterPtr FResult(ucnv_open("GB18030", &FStatus));
    if (U_FAILURE(FStatus)) throw std::runtime_error("GB18030 converter unavailable");
    return FResult;
  }();
  ucnv_reset(FConverter.get());
  return FConverter.get();
}

} // namespace

std::string Utf16ToUtf8(std::u16string_view aText) {
  if (aText.empty()) return {};
  std::string FResult(aText.size() * 3, '\0');
  int32_t FLength = 0;
  UErrorCode FStatus = U_ZERO_ERROR;
  u_strToUTF8WithSub(FResult.data(), static_cast<int32_t>(FResult.size()), &FLength, aText.data(),
                     static_cast<int32_t>(aText.size()), kReplacement, nullptr, &FStatus);
  if (U_FAILURE(FStatus)) return {};
  FResult.resize(FLength);
  return FResult;
}

std::u16string Utf8ToUtf16(std::string_view aBytes) {
  if (aBytes.empty()) return {};
  std::u16string FResult(aBytes.size(), u'\0');
  int32_t FLength = 0;
  UErrorCode FStatus = U_ZERO_ERROR;
  u_strFromUTF8WithSub(FResult.data(), static_cast<int32_t>(FResult.size()), &FLength,
                       aBytes.data(), static_cast<int32_t>(aBytes.size()), kReplacement, nullptr,
                       &FStatus);
  if (U_FAILURE(FStatus)) return {};
  FResult.resize(FLength);
  return FResult;
}

bool IsValidUtf8(std::string_view aBytes) {
  int32_t FLength = 0;
  UErrorCode FStatus = U_ZERO_ERROR;
  u_strFromUTF8(nullptr, 0, &FLength, aBytes.data(), static_cast<int32_t>(aBytes.size()), &FStatus);
  return FStatus == U_BUFFER_OVERFLOW_ERROR || FStatus == U_STRING_NOT_TERMINATED_WARNING ||
         U_SUCCESS(FStatus);
}

bool IsWellFormedUtf16(std::u16string_view aText) {
  for (size_t i = 0; i < aText.size(); ++i) {
    const char16_t FUnit = aText[i];
    if (U16_IS_LEAD(FUnit) && i + 1 < aText.size() && U16_IS_TRAIL(aText[i + 1])) {
      ++i;
    } else if (U16_IS_SURROGATE(FUnit)) {
      return false;
    }
  }
  return true;
}

std::u16string AnsiToUtf16(std::string_view aBytes) {
  if (aBytes.empty()) return {};
  std::u16string FResult(aBytes.size() * 2 + 2, u'\0');
  UErrorCode FStatus = U_ZERO_ERROR;
  const int32_t FLength =
      ucnv_toUChars(AnsiConverter(), FResult.data(), static_cast<int32_t>(FResult.size()),
                    aBytes.data(), static_cast<int32_t>(aBytes.size()), &FStatus);
  if (U_FAILURE(FStatus)) return {};
  FResult.resize(FLength);
  return FResult;
}

std::string Utf16ToAnsi(std::u16string_view aText) {
  if (aText.empty()) return {};
  std::string FResult(aText.size() * 4 + 4, '\0');
  UErrorCode FStatus = U_ZERO_ERROR;
  const int32_t FLength =
      ucnv_fromUChars(AnsiConverter(), FResult.data(), static_cast<int32_t>(FResult.size()),
                      aText.data(), static_cast<int32_t>(aText.size()), &FStatus);
  if (U_FAILURE(FStatus)) return {};
  FResult.resize(FLength);
  return FResult;
}

} // namespace zelvo
