#include "common/Utils.h"

#include <algorithm>

namespace zelvo {

std::u16string TextBefore(std::u16string_view aText, char16_t aChar) {
  return std::u16string(aText.substr(0, aText.find(aChar)));
}

std::pair<std::u16string, std::u16string> SplitText(std::u16string_view aText, char16_t aChar) {
  const auto FPos = aText.find(aChar);
  if (FPos == std::u16string_view::npos) return {std::u16string(aText), {}};
  return {std::u16string(aText.substr(0, FPos)), std::u16string(aText.substr(FPos + 1))};
}

namespace {

// Reads a quoted text starting at aPos (a double quote); leaves aPos after its closing quote.
std::u16string ExtractQuoted(std::u16string_view aText, size_t& aPos) {
  std::u16string FResult;
  for (++aPos; aPos < aText.size(); ++aPos) {
    if (aText[aPos] != u'"') {
      FResult += aText[aPos];
    } else if (aPos + 1 < aText.size() && aText[aPos + 1] == u'"') {
      FResult += u'"';
      ++aPos;
    } else {
      ++aPos;
      break;
    }
  }
  return FResult;
}

} // namespace

std::vector<std::u16string> SplitDelimited(std::u16string_view aText, char16_t aDelimiter) {
  std::vector<std::u16string> FPieces;
  size_t FPos = 0;
  while (FPos < aText.size()) {
    if (aText[FPos] == u'"') {
      FPieces.push_back(ExtractQuoted(aText, FPos));
    } else {
      const size_t FEnd = std::min(aText.find(aDelimiter, FPos), aText.size());
      FPieces.emplace_back(aText.substr(FPos, FEnd - FPos));
      FPos = FEnd;
    }
    if (FPos < aText.size() && aText[FPos] == aDelimiter) {
      ++FPos;
      if (FPos == aText.size()) FPieces.emplace_back();
    }
  }
  return FPieces;
}

} // namespace zelvo
