#include "protocol/RangedRead.h"

#include "common/TextCodec.h"
#include "protocol/Commands.h"

namespace zelvo {

std::string RangeReplyText(const TServerVersion& aVersion, std::string_view aBytes) {
  std::string FText = ConfirmationText(aVersion) + "\r\n";
  FText.append(aBytes);
  return FText;
}

std::optional<TRangeReply> ParseRangeReply(std::string_view aBlock) {
  const size_t FEnd = aBlock.find("\r\n");
  if (FEnd == std::string_view::npos) return std::nullopt;
  const auto FVersion = ParseConfirmation(Utf8ToUtf16(aBlock.substr(0, FEnd)));
  if (!FVersion) return std::nullopt;
  return TRangeReply{*FVersion, std::string(aBlock.substr(FEnd + 2))};
}

bool GetRange(TYunClient& aClient, const std::u16string& aFullName, int64_t aOffset,
              int64_t aLength, TRangeReply& aReply) {
  if (aOffset < 0 || aLength <= 0 || aLength > kMaxRangeLength) return false;
  TMemoryStream FBlock;
  // The version line is short: more than it and the bytes asked for is not an answer to this.
  const int64_t FMost = aLength + static_cast<int64_t>(kMaxConfirmationBytes);
  if (!aClient.DoCommand(RangeRequest(aOffset, aLength, aFullName), FBlock, {FMost, FMost}))
    return false;
  auto FReply = ParseRangeReply(FBlock.Text());
  if (!FReply || static_cast<int64_t>(FReply->FBytes.size()) > aLength) return false;
  aReply = std::move(*FReply);
  return true;
}

} // namespace zelvo
