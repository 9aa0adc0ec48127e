#include "protocol/ReplyReader.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/TextCodec.h"
#include "platform/WinTypes.h"
#include "protocol/ServerVersion.h"

namespace zelvo {
namespace {

constexpr int64_t kReceivePiece = 1 << 20; // what one receive may take

TReplyFault ReadCounted(TByteSource& aSource, TStream& aStream, int64_t aCount) {
  // Big pieces: fewer system calls and cache writes for large contents.
  std::vector<uint8_t> FPiece(static_cast<size_t>(std::min(aCount, kReceivePiece)));
  while (aCount > 0) {
    const int64_t FWant = std::min<int64_t>(aCount, static_cast<int64_t>(FPiece.size()));
    size_t FGot = 0;
    if (aSource.Receive(FPiece.data(), static_cast<size_t>(FWant), FGot) != TReceiveStatus::Data)
      return TReplyFault::Network;
    if (aStream.Write(FPiece.data(), static_cast<int64_t>(FGot)) != static_cast<int64_t>(FGot))
      return TReplyFault::Network;
    aCount -= static_cast<int64_t>(FGot);
  }
  return TReplyFault::None;
}

TReplyFault ReadUntilClose(TByteSource& aSource, TStream& aStream, int64_t aMax) {
  std::vector<uint8_t> FPiece(static_cast<size_t>(std::min(aMax + 1, kReceivePiece)));
  for (int64_t FTotal = 0;;) {
    size_t FGot = 0;
    switch (aSource.Receive(FPiece.data(), FPiece.size(), FGot)) {
    case TReceiveStatus::Data:
      // Nothing past the bound is stored: the byte that crosses it ends the reply.
      if (FTotal + static_cast<int64_t>(FGot) > aMax) return TReplyFault::Oversized;
      if (aStream.Write(FPiece.data(), static_cast<int64_t>(FGot)) != static_cast<int64_t>(FGot))
        return TReplyFault::Network;
      FTotal += static_cast<int64_t>(FGot);
      break;
    case TReceiveStatus::Closed:
    case TReceiveStatus::Aborted:
      return TReplyFault::None;
    case TReceiveStatus::TimedOut:
    case TReceiveStatus::Failed:
      return TReplyFault::Network;
    }
  }
}

} // namespace

TBlockBounds DownloadBounds(int64_t aListedSize) {
  if (aListedSize < 0) return {kMaxDownload, kMaxDownload};
  return {std::min(aListedSize + kDownloadSlack, kMaxDownload),
          std::min(aListedSize, kMaxDownload)};
}

bool ReadExact(TByteSource& aSource, void* aBuffer, size_t aCount) {
  auto* FBytes = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    size_t FGot = 0;
    if (aSource.Receive(FBytes, aCount, FGot) != TReceiveStatus::Data) return false;
    FBytes += FGot;
    aCount -= FGot;
  }
  return true;
}

TReplyFault ReadBlock(TByteSource& aSource, TStream& aStream, const TBlockBounds& aBounds) {
  std::array<uint8_t, 4> FHeader;
  if (!ReadExact(aSource, FHeader.data(), FHeader.size())) return TReplyFault::Network;
  const int32_t FCount = DecodeBlockCount(FHeader);
  TReplyFault FFault = TReplyFault::Oversized;
  if (FCount > aBounds.FMaxCount)
    ; // refused before a byte of it is stored
  else if (FCount >= 0)
    FFault = aStream.PrepareSize(aStream.GetPosition() + FCount)
                 ? ReadCounted(aSource, aStream, FCount)
                 : TReplyFault::Network;
  else
    FFault = ReadUntilClose(aSource, aStream, aBounds.FMaxUntilClose);
  if (aStream.GetSize() > aStream.GetPosition()) aStream.SetSize(aStream.GetPosition());
  return FFault;
}

TReplyFault ReadListing(TByteSource& aSource, TStream& aRecords, int64_t aMaxRecords) {
  std::array<uint8_t, 4> FHeader;
  if (!ReadExact(aSource, FHeader.data(), FHeader.size())) return TReplyFault::Network;
  const int32_t FCount = DecodeListingCount(FHeader);
  if (FCount <= 0) return TReplyFault::None;
  aRecords.PrepareSize(FCount);
  if (FCount > aMaxRecords * static_cast<int64_t>(kFindDataSize)) return TReplyFault::Oversized;
  return ReadCounted(aSource, aRecords, FCount);
}

TConfirmationReply ReadConfirmation(TByteSource& aSource) {
  using TKind = TConfirmationReply::TKind;
  std::array<uint8_t, 4> FHeader;
  size_t FGot = 0;
  switch (aSource.Receive(FHeader.data(), 1, FGot)) {
  case TReceiveStatus::Closed:
    return {TKind::Silent, {}};
  case TReceiveStatus::Data:
    break;
  default: // a reset (died while working, or refused unread), a time-out, a failure
    return {TKind::Broken, {}};
  }
  if (!ReadExact(aSource, FHeader.data() + 1, 3)) return {TKind::Broken, {}};
  const int32_t FCount = DecodeBlockCount(FHeader);
  TMemoryStream FReply;
  if (FCount < 0 || FCount > static_cast<int32_t>(kMaxConfirmationBytes) ||
      ReadCounted(aSource, FReply, FCount) != TReplyFault::None)
    return {TKind::Broken, {}};
  return {TKind::Text, SplitTextLines(DecodeTextReply(FReply.Text()))};
}

bool IsPassingRefusal(std::u16string_view aText) {
  return aText.starts_with(u"refused (busy") || aText.starts_with(u"refused (too many");
}

TCommandResult JudgeConfirmation(const TConfirmationReply& aReply, bool aConfirms,
                                 std::u16string& aConfirmation, std::u16string& aRefusal) {
  using TKind = TConfirmationReply::TKind;
  // Only a server that never confirms anything may close without a word.
  if (aReply.FKind == TKind::Broken) return TCommandResult::Failed;
  if (aReply.FKind == TKind::Silent || aReply.FLines.empty())
    return aConfirms ? TCommandResult::Failed : TCommandResult::Done;
  const std::u16string& FFirst = aReply.FLines.front();
  if (FFirst == u"OK" || FFirst.starts_with(u"OK ")) {
    aConfirmation = FFirst;
    return TCommandResult::Done;
  }
  aRefusal = FFirst;
  if (IsPassingRefusal(FFirst)) return TCommandResult::Failed;
  return FFirst == kDiskFullRefusal ? TCommandResult::Full : TCommandResult::Refused;
}

} // namespace zelvo
