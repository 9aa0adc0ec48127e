#include "tests/support/BrokenServer.h"

#include <chrono>
#include <thread>

#include "common/TextCodec.h"
#include "platform/WinTypes.h"

namespace zelvo::test {
namespace {

std::string Record(const TListedFile& aFile) {
  WIN32_FIND_DATAW FData;
  FData.dwFileAttributes = aFile.FFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  FData.nFileSizeHigh = static_cast<uint32_t>(aFile.FSize >> 32);
  FData.nFileSizeLow = static_cast<uint32_t>(aFile.FSize);
  FData.ftLastWriteTime = FileTimeFromInt(kFileTimeUnixEpoch + 10000000);
  SetFieldText(FData.cFileName, aFile.FName);
  const auto FBytes = EncodeFindData(FData);
  return std::string(FBytes.begin(), FBytes.end());
}

void Dribble(TFakeConnection& aConnection) {
  for (int i = 0; i < 600 && aConnection.Send("x"); ++i)
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

} // namespace

std::string ListingOf(const std::vector<TListedFile>& aFiles) {
  std::string FData;
  for (const auto& FFile : aFiles)
    FData += Record(FFile);
  return ListingCount(static_cast<uint32_t>(FData.size())) + FData;
}

TBrokenServer::TBrokenServer(TScript aScript)
    : FScript(std::move(aScript)),
      FServer([this](TFakeConnection& aConnection) { Serve(aConnection); }, "127.0.0.1", 0, true) {}

// Sends aPiece again and again until the client goes, the server stops or aMaxPieces were sent
// (a bound of the test's own, far past any bound of the client's).
void TBrokenServer::Flood(TFakeConnection& aConnection, const std::string& aPiece, int aMaxPieces) {
  for (int i = 0; i < aMaxPieces && aConnection.Send(aPiece); ++i)
    FFlooded += static_cast<int64_t>(aPiece.size());
}

int TBrokenServer::Count(const std::string& aPrefix) const {
  int FCount = 0;
  for (const auto& FLine : Requests())
    FCount += FLine.starts_with(aPrefix) ? 1 : 0;
  return FCount;
}

void TBrokenServer::HugeText(TFakeConnection& aConnection) {
  aConnection.Send(BlockCount(-1));
  Flood(aConnection, std::string(1 << 20, 'a'), 100);
}

void TBrokenServer::Serve(TFakeConnection& aConnection) {
  const std::string FLine = aConnection.ReadLine();
  // The client joins a root and a name with one more "\\".
  const std::string FOwnList = std::string("LIST ") + kOwnRoot + "\\\\*";
  if (FLine.starts_with("LOGIN ")) {
    if (FScript.FLogin == TBehaviour::HugeText) return HugeText(aConnection);
    aConnection.Send(
        Block(std::string(kOwnRoot) + "\r\n\\share\r\nu\r\nshare\r\n2026-12-11 10:00:00\r\n"));
  } else if (FLine == "GLIST") {
    aConnection.Send(Block("c\r\n"));
  } else if (FLine.starts_with("ULIST ")) {
    if (FScript.FUlist == TBehaviour::HugeText) return HugeText(aConnection);
    aConnection.Send(Block("u\r\n"));
  } else if (FLine == FOwnList) {
    aConnection.Send(ListingOf(FScript.FFiles));
  } else if (FLine == "LIST \\share\\\\*") {
    aConnection.Send(ListingOf({{u"shared.txt", 2}}));
  } else if (FLine.starts_with("LIST ")) {
    if (FScript.FList == TBehaviour::Endless) {
      aConnection.Send(ListingCount(1'000'001 * kFindDataSize));
      return Flood(aConnection, std::string(1 << 20, '\0'), 1024);
    }
    aConnection.Send(ListingCount(1'000 * kFindDataSize));
    if (FScript.FList == TBehaviour::Dribble) return Dribble(aConnection);
  } else if (FLine.starts_with("GET \\share\\")) {
    aConnection.Send(Block("xx"));
  } else if (FLine.starts_with("GET ")) {
    const std::u16string FName = Utf8ToUtf16(FLine.substr(FLine.rfind('\\') + 1));
    int64_t FSize = 0;
    for (const auto& FFile : FScript.FFiles)
      if (FFile.FName == FName) FSize = FFile.FSize;
    switch (FScript.FGet) {
    case TBehaviour::EndlessCount:
      aConnection.Send(BlockCount(-1));
      return Flood(aConnection, std::string(1 << 20, 'x'), 1024);
    case TBehaviour::Dribble:
      aConnection.Send(BlockCount(static_cast<int32_t>(FSize)));
      return Dribble(aConnection);
    default:
      aConnection.Send(Block(std::string(static_cast<size_t>(FSize), 'x')));
    }
  }
}

} // namespace zelvo::test
