#include "protocol/WireFormat.h"

#include "common/TextCodec.h"

namespace zelvo {
namespace {

std::u16string DecodeUtf16(std::string_view aData, bool aBigEndian) {
  std::u16string FResult;
  FResult.reserve(aData.size() / 2);
  for (size_t i = 0; i + 1 < aData.size(); i += 2) {
    const auto FFirst = static_cast<uint8_t>(aData[i]);
    const auto FSecond = static_cast<uint8_t>(aData[i + 1]);
    FResult.push_back(
        static_cast<char16_t>(aBigEndian ? (FFirst << 8) | FSecond : (FSecond << 8) | FFirst));
  }
  return FResult;
}

} // namespace

std::string EncodeRequestLine(std::u16string_view aCommand) {
  return Utf16ToUtf8(aCommand) + "\r\n";
}

std::array<uint8_t, 4> EncodeBlockCount(int32_t aCount) {
  const auto FValue = static_cast<uint32_t>(aCount);
  return {static_cast<uint8_t>(FValue >> 24), static_cast<uint8_t>(FValue >> 16),
          static_cast<uint8_t>(FValue >> 8), static_cast<uint8_t>(FValue)};
}

int32_t DecodeBlockCount(const std::array<uint8_t, 4>& aBytes) {
  return static_cast<int32_t>(uint32_t{aBytes[0]} << 24 | uint32_t{aBytes[1]} << 16 |
                              uint32_t{aBytes[2]} << 8 | uint32_t{aBytes[3]});
}

std::array<uint8_t, 4> EncodeListingCount(uint32_t aCount) {
  return {static_cast<uint8_t>(aCount), static_cast<uint8_t>(aCount >> 8),
          static_cast<uint8_t>(aCount >> 16), static_cast<uint8_t>(aCount >> 24)};
}

int32_t DecodeListingCount(const std::array<uint8_t, 4>& aBytes) {
  return static_cast<int32_t>(uint32_t{aBytes[3]} << 24 | uint32_t{aBytes[2]} << 16 |
                              uint32_t{aBytes[1]} << 8 | uint32_t{aBytes[0]});
}

std::u16string DecodeTextReply(std::string_view aData) {
  std::u16string FText;
  if (aData.starts_with("\xEF\xBB\xBF"))
    FText = Utf8ToUtf16(aData.substr(3));
  else if (aData.starts_with("\xFF\xFE"))
    FText = DecodeUtf16(aData.substr(2), false);
  else if (aData.starts_with("\xFE\xFF"))
    FText = DecodeUtf16(aData.substr(2), true);
  else
    FText = AnsiToUtf16(aData);
  if (const auto FNul = FText.find(u'\0'); FNul != std::u16string::npos) FText.resize(FNul);
  return FText;
}

TStringList SplitTextLines(std::u16string_view aText) {
  TStringList FLines;
  size_t FStart = 0;
  while (FStart < aText.size()) {
    const auto FEnd = aText.find_first_of(u"\r\n", FStart);
    if (FEnd == std::u16string_view::npos) {
      FLines.emplace_back(aText.substr(FStart));
      break;
    }
    FLines.emplace_back(aText.substr(FStart, FEnd - FStart));
    const bool FCrLf = aText[FEnd] == u'\r' && FEnd + 1 < aText.size() && aText[FEnd + 1] == u'\n';
    FStart = FEnd + (FCrLf ? 2 : 1);
  }
  return FLines;
}

} // namespace zelvo
