#include "protocol/YunClientUnit.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/TextCodec.h"
#include "protocol/Commands.h"

namespace zelvo {

TYunClient::TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut,
                       bool aConfirms, std::shared_ptr<TExchangeGroup> aGroup)
    : FHost(std::move(aServerHost)), FPort(static_cast<uint16_t>(aServerPort & 0xFFFF)),
      FConnectTimeOut(aTimeOut), FReadTimeOut(aTimeOut), FConfirms(aConfirms),
      FGroup(std::move(aGroup)) {}

bool TYunClient::ConnectAndSend(const std::u16string& aCmd) {
  FStarted = TClock::now();
  if (FHost.empty() || FPort == 0) return false;
  // A line break inside the text would end the request early and start another one.
  if (aCmd.find_first_of(u"\r\n") != std::u16string::npos) return false;
  if (FGroup) {
    if (FGroup->Cancelled()) return false;
    FSocket.WatchCancel(FGroup->CancelFd());
  }
  if (!FSocket.Connect(Utf16ToUtf8(FHost), FPort, FConnectTimeOut)) return false;
  const std::string FLine = EncodeRequestLine(aCmd);
  return Send(FLine.data(), FLine.size());
}

void TYunClient::LimitWholeReply() {
  if (FReadTimeOut > 0)
    FDeadline = TClock::now() + kWholeReplyTimeOuts * std::chrono::milliseconds(FReadTimeOut);
}

TYunClient::TClock::time_point TYunClient::PaceLimit(int64_t aMoved) const {
  const auto FPaced = FStarted + kRateGrace + std::chrono::milliseconds(aMoved * 1000 / kRateFloor);
  return std::min(FPaced, FDeadline);
}

// The wait for the next piece is the read time-out, or what is left of the exchange's pace or
// deadline when that is shorter.
TReceiveStatus TYunClient::Receive(void* aBuffer, size_t aCapacity, size_t& aGot) {
  aGot = 0;
  const auto FLeft =
      std::chrono::ceil<std::chrono::milliseconds>(PaceLimit(FMoved) - TClock::now()).count();
  if (FLeft <= 0) return TReceiveStatus::TimedOut;
  const auto FWait = static_cast<int32_t>(
      FReadTimeOut > 0 ? std::min<int64_t>(FLeft, FReadTimeOut)
                       : std::min<int64_t>(FLeft, std::numeric_limits<int32_t>::max()));
  const TReceiveStatus FStatus = FSocket.Receive(aBuffer, aCapacity, aGot, FWait);
  FMoved += static_cast<int64_t>(aGot);
  return FStatus;
}

bool TYunClient::Send(const void* aData, size_t aCount) {
  if (!FSocket.SendAll(aData, aCount, FReadTimeOut,
                       PaceLimit(FMoved + static_cast<int64_t>(aCount))))
    return false;
  FMoved += static_cast<int64_t>(aCount);
  return true;
}

bool TYunClient::Failed(TReplyFault aFault) {
  FFault = aFault;
  return aFault == TReplyFault::None;
}

TCommandResult TYunClient::Command(const std::u16string& aCmd) {
  if (!ConnectAndSend(aCmd)) return TCommandResult::Failed;
  FSocket.ShutdownSend();
  return JudgeConfirmation(ReadConfirmation(*this), FConfirms, FConfirmation, FRefusal);
}

bool TYunClient::DoCommand(const std::u16string& aCmd) {
  return Command(aCmd) == TCommandResult::Done;
}

bool TYunClient::ReceiveListing(const std::u16string& aCmd, TStream& aRecords) {
  if (!ConnectAndSend(aCmd)) return false;
  LimitWholeReply();
  return Failed(ReadListing(*this, aRecords));
}

bool TYunClient::DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf) {
  // Grows as bytes arrive: an announced count that never comes reserves nothing.
  TMemoryStream FData;
  if (!ReceiveListing(aCmd, FData)) return false;
  if (aBuf.size() < FData.Data().size()) aBuf.resize(FData.Data().size());
  std::copy(FData.Data().begin(), FData.Data().end(), aBuf.begin());
  return true;
}

bool TYunClient::DoCommand(const std::u16string& aCmd, TStream& aStream,
                           const TBlockBounds& aBounds) {
  return ConnectAndSend(aCmd) && Failed(ReadBlock(*this, aStream, aBounds));
}

bool TYunClient::DoCommand(const std::u16string& aCmd, TStringList& aList) {
  TMemoryStream FReply;
  if (!ConnectAndSend(aCmd)) return false;
  LimitWholeReply();
  if (!Failed(ReadBlock(*this, FReply, kTextBounds))) return false;
  aList = SplitTextLines(DecodeTextReply(FReply.Text()));
  return true;
}

bool TYunClient::DoCommand(const std::u16string& aCmd, std::u16string& aBuf) {
  if (!ConnectAndSend(aCmd)) return false;
  LimitWholeReply();
  std::string FLine;
  while (!FLine.ends_with("\r\n")) {
    if (FLine.size() > kMaxLineBytes + 2) return false;
    char FByte = 0;
    size_t FGot = 0;
    switch (Receive(&FByte, 1, FGot)) {
    case TReceiveStatus::Data:
      FLine += FByte;
      break;
    case TReceiveStatus::TimedOut:
      aBuf.clear();
      return true;
    default:
      return false;
    }
  }
  FLine.resize(FLine.size() - 2);
  if (FLine.size() > kMaxLineBytes) return false;
  aBuf = Utf8ToUtf16(FLine);
  return true;
}

TCommandResult TYunClient::Put(TStream& aStream, const std::u16string& aFileName) {
  const int64_t FSize = aStream.GetSize();
  // The count is a signed 32-bit number: nothing larger can be announced.
  if (FSize > std::numeric_limits<int32_t>::max()) return TCommandResult::Failed;
  if (!ConnectAndSend(PutRequest(aFileName))) return TCommandResult::Failed;
  aStream.SetPosition(0);
  const auto FHeader = EncodeBlockCount(static_cast<int32_t>(FSize));
  if (!Send(FHeader.data(), FHeader.size())) return TCommandResult::Failed;
  std::array<uint8_t, kPieceSize> FPiece;
  for (int64_t FLeft = FSize; FLeft > 0;) {
    const int64_t FGot = aStream.Read(FPiece.data(), std::min(FLeft, kPieceSize));
    if (FGot <= 0 || !Send(FPiece.data(), static_cast<size_t>(FGot))) return TCommandResult::Failed;
    FLeft -= FGot;
  }
  FSocket.ShutdownSend();
  return JudgeConfirmation(ReadConfirmation(*this), FConfirms, FConfirmation, FRefusal);
}

bool TYunClient::PutFile(TStream& aStream, const std::u16string& aFileName) {
  return Put(aStream, aFileName) == TCommandResult::Done;
}

bool TYunClient::GetFile(TStream& aStream, const std::u16string& aFileName, int64_t aListedSize) {
  aStream.SetPosition(0);
  return DoCommand(GetRequest(aFileName), aStream, DownloadBounds(aListedSize));
}

} // namespace zelvo
