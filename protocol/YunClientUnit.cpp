#include "protocol/YunClientUnit.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/TextCodec.h"
#include "protocol/Commands.h"

namespace zelvo {

TYunClient::TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut)
    : FHost(std::move(aServerHost)), FPort(static_cast<uint16_t>(aServerPort & 0xFFFF)),
      FConnectTimeOut(aTimeOut), FReadTimeOut(aTimeOut) {}

bool TYunClient::ConnectAndSend(const std::u16string& aCmd) {
  if (FHost.empty() || FPort == 0) return false;
  if (!FSocket.Connect(Utf16ToUtf8(FHost), FPort, FConnectTimeOut)) return false;
  const std::string FLine = EncodeRequestLine(aCmd);
  return FSocket.SendAll(FLine.data(), FLine.size());
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
  std::array<uint8_t, kPieceSize> FPiece;
  while (aCount > 0) {
    const int64_t FWant = std::min(aCount, kPieceSize);
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
  std::array<uint8_t, kPieceSize> FPiece;
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

void TYunClient::AwaitServerClose() {
  FSocket.ShutdownSend();
  std::array<uint8_t, 256> FIgnored;
  size_t FGot = 0;
  while (FSocket.Receive(FIgnored.data(), FIgnored.size(), FGot, FReadTimeOut) ==
         TReceiveStatus::Data) {
  }
}

bool TYunClient::DoCommand(const std::u16string& aCmd) {
  if (!ConnectAndSend(aCmd)) return false;
  AwaitServerClose();
  return true;
}

bool TYunClient::DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf) {
  if (!ConnectAndSend(aCmd)) return false;
  std::array<uint8_t, 4> FHeader;
  if (!ReceiveExact(FHeader.data(), FHeader.size())) return false;
  const int32_t FCount = DecodeListingCount(FHeader);
  if (FCount <= 0) return true;
  // Grows as bytes arrive: an announced count that never comes reserves nothing.
  TMemoryStream FData;
  if (!ReceiveCounted(FData, FCount)) return false;
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

bool TYunClient::PutFile(TStream& aStream, const std::u16string& aFileName) {
  if (!ConnectAndSend(PutRequest(aFileName))) return false;
  const int64_t FSize = aStream.GetSize();
  if (FSize > std::numeric_limits<int32_t>::max()) return false;
  aStream.SetPosition(0);
  const auto FHeader = EncodeBlockCount(static_cast<int32_t>(FSize));
  if (!FSocket.SendAll(FHeader.data(), FHeader.size())) return false;
  std::array<uint8_t, kPieceSize> FPiece;
  for (int64_t FLeft = FSize; FLeft > 0;) {
    const int64_t FGot = aStream.Read(FPiece.data(), std::min(FLeft, kPieceSize));
    if (FGot <= 0 || !FSocket.SendAll(FPiece.data(), static_cast<size_t>(FGot))) return false;
    FLeft -= FGot;
  }
  AwaitServerClose();
  return true;
}

bool TYunClient::GetFile(TStream& aStream, const std::u16string& aFileName) {
  aStream.SetPosition(0);
  return DoCommand(GetRequest(aFileName), aStream);
}

} // namespace zelvo
