// Locale-aware text operations of the user's default locale (the stand-in for the Windows
// locale functions). The locale is ICU's default, taken from the environment (LANG, LC_ALL).
// Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// Negative, zero or positive, comparing without regard to case.
int CompareTextLocale(std::u16string_view aLeft, std::u16string_view aRight);
// Sorts ascending with CompareTextLocale; texts that compare equal keep their order.
void SortTextLocale(std::vector<std::u16string>& aTexts);
// Full Unicode lower-casing in the user's locale.
std::u16string LowerCaseLocale(std::u16string_view aText);

} // namespace zelvo
