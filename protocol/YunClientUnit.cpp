#include "protocol/YunClientUnit.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/TextCodec.h"
#include "protocol/Commands.h"
#include "protocol/ServerVersion.h"

namespace zelvo {

TYunClient::TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut,
                       bool aConfirms)
    : FHost(std::move(aServerHost)), FPort(static_cast<uint16_t>(aServerPort & 0xFFFF)),
      FConnectTimeOut(aTimeOut), FReadTimeOut(aTimeOut), FConfirms(aConfirms) {}

bool IsPassingRefusal(std::u16string_view aText) {
  return aText.starts_with(u"refused (busy") || aText.starts_with(u"refused (too many");
}

bool TYunClient::ConnectAndSend(const std::u16string& aCmd) {
  if (FHost.empty() || FPort == 0) return false;
  // A line break inside the text would end the request early and start another one.
  if (aCmd.find_first_of(u"\r\n") != std::u16string::npos) return false;
  if (!FSocket.Connect(Utf16ToUtf8(FHost), FPort, FConnectTimeOut)) return false;
  const std::string FLine = EncodeRequestLine(aCmd);
  return FSocket.SendAll(FLine.data(), FLine.size(), FReadTimeOut);
}

bool TYunClient::ReceiveExact(void* aBuffer, size_t aCount) {
  auto* FBytes = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    size_t FGot = 0;
    if (FSocket.Receive(FBytes, aCount, FGot, FReadTimeOut) != TReceiveStatus::Data) return false;
    FBytes += FGot;
    aCount -= FGot;
  }
  return true;
}

bool TYunClient::ReceiveCounted(TStream& aStream, int64_t aCount) {
  // Big pieces: fewer system calls and cache writes for large contents.
  std::vector<uint8_t> FPiece(static_cast<size_t>(std::min(aCount, kReceivePiece)));
  while (aCount > 0) {
    const int64_t FWant = std::min<int64_t>(aCount, static_cast<int64_t>(FPiece.size()));
    size_t FGot = 0;
    if (FSocket.Receive(FPiece.data(), static_cast<size_t>(FWant), FGot, FReadTimeOut) !=
        TReceiveStatus::Data)
      return false;
    if (aStream.Write(FPiece.data(), static_cast<int64_t>(FGot)) != static_cast<int64_t>(FGot))
      return false;
    aCount -= static_cast<int64_t>(FGot);
  }
  return true;
}

bool TYunClient::ReceiveUntilClose(TStream& aStream) {
  std::vector<uint8_t> FPiece(static_cast<size_t>(kReceivePiece));
  for (;;) {
    size_t FGot = 0;
    switch (FSocket.Receive(FPiece.data(), FPiece.size(), FGot, FReadTimeOut)) {
    case TReceiveStatus::Data:
      if (aStream.Write(FPiece.data(), static_cast<int64_t>(FGot)) != static_cast<int64_t>(FGot))
        return false;
      break;
    case TReceiveStatus::Closed:
    case TReceiveStatus::Aborted:
      return true;
    case TReceiveStatus::TimedOut:
    case TReceiveStatus::Failed:
      return false;
    }
  }
}

bool TYunClient::ReceiveBlock(TStream& aStream) {
  std::array<uint8_t, 4> FHeader;
  if (!ReceiveExact(FHeader.data(), FHeader.size())) return false;
  const int32_t FCount = DecodeBlockCount(FHeader);
  bool FOk = false;
  if (FCount >= 0)
    FOk = aStream.PrepareSize(aStream.GetPosition() + FCount) && ReceiveCounted(aStream, FCount);
  else
    FOk = ReceiveUntilClose(aStream);
  if (aStream.GetSize() > aStream.GetPosition()) aStream.SetSize(aStream.GetPosition());
  return FOk;
}

TCommandResult TYunClient::ReadConfirmation() {
  FSocket.ShutdownSend();
  std::array<uint8_t, 4> FHeader;
  size_t FGot = 0;
  switch (FSocket.Receive(FHeader.data(), 1, FGot, FReadTimeOut)) {
  case TReceiveStatus::Closed:
    // Only a server that never confirms anything may close without a word.
    return FConfirms ? TCommandResult::Failed : TCommandResult::Done;
  case TReceiveStatus::Aborted: // reset: died while working, or refused the connection unread
  case TReceiveStatus::TimedOut:
  case TReceiveStatus::Failed:
    return TCommandResult::Failed;
  case TReceiveStatus::Data:
    break;
  }
  if (!ReceiveExact(FHeader.data() + 1, 3)) return TCommandResult::Failed;
  const int32_t FCount = DecodeBlockCount(FHeader);
  TMemoryStream FReply;
  if (FCount < 0 || FCount > static_cast<int32_t>(kMaxLineBytes) || !ReceiveCounted(FReply, FCount))
    return TCommandResult::Failed;
  const TStringList FLines = SplitTextLines(DecodeTextReply(FReply.Text()));
  if (FLines.empty()) return FConfirms ? TCommandResult::Failed : TCommandResult::Done;
  if (FLines.front() == u"OK" || FLines.front().starts_with(u"OK ")) {
    FConfirmation = FLines.front();
    return TCommandResult::Done;
  }
  FRefusal = FLines.front();
  if (IsPassingRefusal(FRefusal)) return TCommandResult::Failed;
  return FRefusal == kDiskFullRefusal ? TCommandResult::Full : TCommandResult::Refused;
}

TCommandResult TYunClient::Command(const std::u16string& aCmd) {
  if (!ConnectAndSend(aCmd)) return TCommandResult::Failed;
  return ReadConfirmation();
}

bool TYunClient::DoCommand(const std::u16string& aCmd) {
  return Command(aCmd) == TCommandResult::Done;
}

bool TYunClient::ReceiveListing(const std::u16string& aCmd, TStream& aRecords) {
  if (!ConnectAndSend(aCmd)) return false;
  std::array<uint8_t, 4> FHeader;
  if (!ReceiveExact(FHeader.data(), FHeader.size())) return false;
  const int32_t FCount = DecodeListingCount(FHeader);
  return FCount <= 0 || ReceiveCounted(aRecords, FCount);
}

bool TYunClient::DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf) {
  // Grows as bytes arrive: an announced count that never comes reserves nothing.
  TMemoryStream FData;
  if (!ReceiveListing(aCmd, FData)) return false;
  if (aBuf.size() < FData.Data().size()) aBuf.resize(FData.Data().size());
  std::copy(FData.Data().begin(), FData.Data().end(), aBuf.begin());
  return true;
}

bool TYunClient::DoCommand(const std::u16string& aCmd, TStream& aStream) {
  return ConnectAndSend(aCmd) && ReceiveBlock(aStream);
}

bool TYunClient::DoCommand(const std::u16string& aCmd, TStringList& aList) {
  TMemoryStream FReply;
  if (!ConnectAndSend(aCmd) || !ReceiveBlock(FReply)) return false;
  aList = SplitTextLines(DecodeTextReply(FReply.Text()));
  return true;
}

bool TYunClient::DoCommand(const std::u16string& aCmd, std::u16string& aBuf) {
  if (!ConnectAndSend(aCmd)) return false;
  std::string FLine;
  while (!FLine.ends_with("\r\n")) {
    if (FLine.size() > kMaxLineBytes + 2) return false;
    char FByte = 0;
    size_t FGot = 0;
    switch (FSocket.Receive(&FByte, 1, FGot, FReadTimeOut)) {
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
  if (!FSocket.SendAll(FHeader.data(), FHeader.size(), FReadTimeOut)) return TCommandResult::Failed;
  std::array<uint8_t, kPieceSize> FPiece;
  for (int64_t FLeft = FSize; FLeft > 0;) {
    const int64_t FGot = aStream.Read(FPiece.data(), std::min(FLeft, kPieceSize));
    if (FGot <= 0 || !FSocket.SendAll(FPiece.data(), static_cast<size_t>(FGot), FReadTimeOut))
      return TCommandResult::Failed;
    FLeft -= FGot;
  }
  return ReadConfirmation();
}

bool TYunClient::PutFile(TStream& aStream, const std::u16string& aFileName) {
  return Put(aStream, aFileName) == TCommandResult::Done;
}

bool TYunClient::GetFile(TStream& aStream, const std::u16string& aFileName) {
  aStream.SetPosition(0);
  return DoCommand(GetRequest(aFileName), aStream);
}

} // namespace zelvo
