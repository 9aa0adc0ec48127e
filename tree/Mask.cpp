#include "tree/Mask.h"

#include <algorithm>
#include <cstdint>

#include "common/TextCodec.h"

namespace zelvo {
namespace {

constexpr int kMaxStars = 30;

[[noreturn]] void Invalid(std::u16string_view aMask, size_t aPosition) {
  throw EMaskException("'" + Utf16ToUtf8(aMask) + "' is an invalid mask at (" +
                       std::to_string(aPosition + 1) + ")");
}

} // namespace

char16_t AsciiLower(char16_t aChar) {
  return aChar >= u'A' && aChar <= u'Z' ? static_cast<char16_t>(aChar + 32) : aChar;
}

bool SameNameAscii(std::u16string_view aLeft, std::u16string_view aRight) {
  return std::equal(aLeft.begin(), aLeft.end(), aRight.begin(), aRight.end(),
                    [](char16_t a, char16_t b) { return AsciiLower(a) == AsciiLower(b); });
}

std::u16string FoldNameAscii(std::u16string_view aName) {
  std::u16string FFolded(aName);
  std::transform(FFolded.begin(), FFolded.end(), FFolded.begin(), AsciiLower);
  return FFolded;
}

size_t FoldedNameHash(std::u16string_view aName) {
  uint64_t FHash = 14695981039346656037ull; // FNV-1a
  for (const char16_t FUnit : aName) {
    FHash = (FHash ^ AsciiLower(FUnit)) * 1099511628211ull;
  }
  return static_cast<size_t>(FHash);
}

TMask::TMask(std::u16string_view aMask) {
  int FStars = 0;
  for (size_t i = 0; i < aMask.size(); ++i) {
    TToken FToken{TToken::TKind::Literal, AsciiLower(aMask[i])};
    if (aMask[i] == u'*') {
      if (++FStars > kMaxStars) Invalid(aMask, i);
      FToken.FKind = TToken::TKind::AnyRun;
    } else if (aMask[i] == u'?') {
      FToken.FKind = TToken::TKind::AnyOne;
    } else if (aMask[i] == u'[') {
      FToken.FKind = TToken::TKind::Set;
      ++i;
      if (i < aMask.size() && aMask[i] == u'!') {
        FToken.FNegate = true;
        ++i;
      }
      for (; i < aMask.size() && aMask[i] != u']'; ++i) {
        if (aMask[i] == u'-') Invalid(aMask, i); // a range without its first character
        char16_t FLast = aMask[i];
        if (i + 2 < aMask.size() && aMask[i + 1] == u'-' && aMask[i + 2] != u']') {
          FLast = aMask[i + 2];
          FToken.FRanges.emplace_back(AsciiLower(aMask[i]), AsciiLower(FLast));
          i += 2;
        } else {
          FToken.FRanges.emplace_back(AsciiLower(aMask[i]), AsciiLower(aMask[i]));
        }
      }
      if (i >= aMask.size()) Invalid(aMask, aMask.size()); // no closing "]"
    }
    FTokens.push_back(std::move(FToken));
  }
}

bool TMask::TToken::MatchesOne(char16_t aChar) const {
  switch (FKind) {
  case TKind::Literal:
    return AsciiLower(aChar) == FChar;
  case TKind::AnyOne:
    return true;
  case TKind::Set: {
    const char16_t FLower = AsciiLower(aChar);
    const bool FIn = std::any_of(FRanges.begin(), FRanges.end(), [&](const auto& aRange) {
      return FLower >= aRange.first && FLower <= aRange.second;
    });
    return FIn != FNegate;
  }
  case TKind::AnyRun:
    return false;
  }
  return false;
}

// Greedy matching with a single backtrack point: the last "*" seen.
bool TMask::Matches(std::u16string_view aName) const {
  size_t FToken = 0;
  size_t FChar = 0;
  size_t FStarToken = std::u16string_view::npos;
  size_t FStarChar = 0;
  while (FChar < aName.size()) {
    if (FToken < FTokens.size() && FTokens[FToken].FKind == TToken::TKind::AnyRun) {
      FStarToken = FToken++;
      FStarChar = FChar;
    } else if (FToken < FTokens.size() && FTokens[FToken].MatchesOne(aName[FChar])) {
      ++FToken;
      ++FChar;
    } else if (FStarToken != std::u16string_view::npos) {
      FToken = FStarToken + 1;
      FChar = ++FStarChar;
    } else {
      return false;
    }
  }
  while (FToken < FTokens.size() && FTokens[FToken].FKind == TToken::TKind::AnyRun)
    ++FToken;
  return FToken == FTokens.size();
}

} // namespace zelvo
