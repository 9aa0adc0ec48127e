#include "protocol/RangedRead.h"

#include "common/TextCodec.h"
#include "protocol/Commands.h"

namespace zelvo {
namespace {

// The reply block as it arrives: the version line, checked, then the bytes passed on.
class TRangeSink final : public TStream {
public:
  TRangeSink(const TRangeAsk& aAsk, const TRangeTarget& aTarget, TRangeReply& aReply)
      : FAsk(aAsk), FTarget(aTarget), FReply(aReply) {}

  int64_t GetSize() const override { return GetPosition(); }
  bool SetSize(int64_t) override { return true; }
  int64_t Read(void*, int64_t) override { return 0; }
  bool PrepareSize(int64_t) override { return true; }
  // A short count ends the read: the exchange fails.
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    std::string_view FPiece(static_cast<const char*>(aBuffer), static_cast<size_t>(aCount));
    if (!FReply.FVersion && !TakeHead(FPiece)) return 0;
    if (FReply.FLength + static_cast<int64_t>(FPiece.size()) > FAsk.FLength) return 0;
    if (!FPiece.empty() && !FTarget(FPiece)) return 0;
    FReply.FLength += static_cast<int64_t>(FPiece.size());
    SetPosition(GetPosition() + aCount);
    return aCount;
  }

  bool OtherVersion() const { return FOther; }

private:
  // Moves what belongs to the version line from aPiece; false when the line is broken or names
  // a version other than the one expected.
  bool TakeHead(std::string_view& aPiece) {
    const size_t FEnd = aPiece.find('\n');
    const size_t FTake = FEnd == std::string_view::npos ? aPiece.size() : FEnd + 1;
    FHead.append(aPiece.substr(0, FTake));
    aPiece.remove_prefix(FTake);
    if (FHead.size() > kMaxConfirmationBytes + 2) return false;
    if (FEnd == std::string_view::npos) return true; // the line goes on in the next piece
    if (!FHead.ends_with("\r\n")) return false;
    FReply.FVersion = ParseConfirmation(Utf8ToUtf16(FHead.substr(0, FHead.size() - 2)));
    if (!FReply.FVersion) return false;
    FOther = FAsk.FExpected && !(*FReply.FVersion == *FAsk.FExpected);
    return !FOther;
  }

  const TRangeAsk& FAsk;
  const TRangeTarget& FTarget;
  TRangeReply& FReply;
  std::string FHead;
  bool FOther = false;
};

} // namespace

std::string RangeReplyHead(const TServerVersion& aVersion) {
  return ConfirmationText(aVersion) + "\r\n";
}

TRangeResult GetRange(TYunClient& aClient, const TRangeAsk& aAsk, const TRangeTarget& aTarget,
                      TRangeReply& aReply) {
  aReply = {};
  if (aAsk.FOffset < 0 || aAsk.FLength <= 0 || aAsk.FLength > kMaxRangeLength)
    return TRangeResult::Failed;
  TRangeSink FSink(aAsk, aTarget, aReply);
  // The version line is short: more than it and the bytes asked for is not an answer to this.
  const int64_t FMost = aAsk.FLength + static_cast<int64_t>(kMaxConfirmationBytes);
  const bool FOk = aClient.DoCommand(RangeRequest(aAsk.FOffset, aAsk.FLength, aAsk.FFullName),
                                     FSink, {FMost, FMost});
  if (FSink.OtherVersion()) return TRangeResult::OtherVersion;
  return FOk && aReply.FVersion ? TRangeResult::Done : TRangeResult::Failed;
}

} // namespace zelvo
