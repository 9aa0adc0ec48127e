#include "platform/Locale.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace zelvo {
namespace {

// A collator per thread: ICU collators are not safe for concurrent use.
icu::Collator* CaseInsensitiveCollator() {
  thread_local std::unique_ptr<icu::Collator> FCollator = [] {
    UErrorCode FStatus = U_ZERO_ERROR;
    // The POSIX locale ("C") orders by code and keeps case apart; a comparison that ignores
    // case then uses the root order.
    icu::Locale FLocale = icu::Locale::getDefault();
    if (std::string_view(FLocale.getVariant()) == "POSIX") FLocale = icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> FResult(icu::Collator::createInstance(FLocale, FStatus));
    if (U_FAILURE(FStatus) || !FResult) {
      FStatus = U_ZERO_ERROR;
      FResult.reset(icu::Collator::createInstance(icu::Locale::getRoot(), FStatus));
    }
    FResult->setStrength(icu::Collator::SECONDARY);
    return FResult;
  }();
  return FCollator.get();
}

icu::UnicodeString View(std::u16string_view aText) {
  return icu::UnicodeString(false, aText.data(), static_cast<int32_t>(aText.size()));
}

} // namespace

int CompareTextLocale(std::u16string_view aLeft, std::u16string_view aRight) {
  UErrorCode FStatus = U_ZERO_ERROR;
  return CaseInsensitiveCollator()->compare(View(aLeft), View(aRight), FStatus);
}

void SortTextLocale(std::vector<std::u16string>& aTexts) {
  std::stable_sort(aTexts.begin(), aTexts.end(), [](const auto& aLeft, const auto& aRight) {
    return CompareTextLocale(aLeft, aRight) < 0;
  });
}

std::u16string LowerCaseLocale(std::u16string_view aText) {
  icu::UnicodeString FText(aText.data(), static_cast<int32_t>(aText.size()));
  FText.toLower(icu::Locale::getDefault());
  return std::u16string(FText.getBuffer(), FText.getBuffer() + FText.length());
}

} // namespace zelvo
