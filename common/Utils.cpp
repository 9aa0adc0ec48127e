#include "common/Utils.h"

namespace zelvo {

std::u16string TextBefore(std::u16string_view aText, char16_t aChar) {
  return std::u16string(aText.substr(0, aText.find(aChar)));
}

std::pair<std::u16string, std::u16string> SplitText(std::u16string_view aText, char16_t aChar) {
  const auto FPos = aText.find(aChar);
  if (FPos == std::u16string_view::npos) return {std::u16string(aText), {}};
  return {std::u16string(aText.substr(0, FPos)), std::u16string(aText.substr(FPos + 1))};
}

} // namespace zelvo
